// What the system says of a file on the PC before a rule takes it for a
// worm's: whether its publisher signed it, and whether the folder it lies in
// is one an ordinary user can write to.
#pragma once
#include <windows.h>

#include <string>

// Whether the file open at `file` (named `path`) carries a valid Authenticode
// signature, as WinVerifyTrust judges it without reaching the network.
bool HasValidSignature(HANDLE file, const std::wstring& path);

// Whether the folder open at `folder` grants anyone but SYSTEM,
// Administrators and the service accounts (TrustedInstaller) the right to
// add or change files in it, or is owned by anyone else, read from the
// folder's own security descriptor through the handle. With `user`, whether
// that user owns it or may add or change files in it himself or as one of
// the groups every user is in (Everyone, Authenticated Users, Users,
// Interactive). False when it cannot be read.
bool IsUserWritableFolder(HANDLE folder, PSID user = NULL);

// For tests: Wine's own programs carry no signatures. A hook answers
// whether a file is signed in place of the system; NULL (the default) asks
// the system.
typedef bool (*PFNSIGNATUREHOOK)(HANDLE file, const std::wstring& path, bool* signedFile);
void SetSignatureHook(PFNSIGNATUREHOOK hook);

// For tests: Wine keeps no access lists of its own for files. A hook
// answers the question (for `user`, or NULL for any user) in place of the
// system for every folder; NULL (the default) asks the system.
typedef bool (*PFNFOLDERWRITABLEHOOK)(HANDLE folder, PSID user, bool* writable);
void SetFolderWritableHook(PFNFOLDERWRITABLEHOOK hook);
