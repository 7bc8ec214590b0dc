// The roots of the per-user registry checks. Normally HKEY_CURRENT_USER;
// run as LocalSystem (as deployment tools start programs), HKEY_CURRENT_USER
// is the system's own hive, so the users' hives loaded under HKEY_USERS
// (every account's SID: S-1-5-21-..., S-1-12-1-... of Entra ID users) are
// the ones to check instead; their *_Classes hives and the system's own
// accounts (S-1-5-18, -19, -20, .DEFAULT) are left out.
#pragma once
#include <windows.h>

#include <string>

// Called once per root; `name` is "HKEY_CURRENT_USER" or
// "HKEY_USERS\<SID>". The key is open only during the call.
typedef void (*PFNUSERROOTCHECK)(HKEY root, const std::wstring& name, void* context);

// Whether this process runs as LocalSystem (S-1-5-18).
bool IsRunningAsLocalSystem();

// The SID of the user this process runs as, as text; empty when unknown.
std::wstring CurrentUserSid();

// Whether a subkey name of HKEY_USERS is a user's own hive.
bool IsUserHiveName(const std::wstring& name);

// Runs `check` on every root the per-user checks cover; the number of roots.
int ForEachUserRoot(PFNUSERROOTCHECK check, void* context);

// In tables of checks, the root that stands for every root of the per-user
// checks in turn.
const HKEY kEachUserRoot = NULL;

// Runs `check` on `root` (named "") or, for kEachUserRoot, on every user
// root as ForEachUserRoot does; the number of roots.
int ForEachRootOf(HKEY root, PFNUSERROOTCHECK check, void* context);

// For tests: true has ForEachUserRoot(check, context) walk HKEY_USERS as it
// does when run as LocalSystem; false has it ask the system again.
void SetLocalSystemForTests(bool localSystem);

// The same with what it asks the system given: whether to walk the loaded
// hives, and the key that holds them (HKEY_USERS). For tests.
int ForEachUserRoot(PFNUSERROOTCHECK check, void* context, bool localSystem, HKEY users,
                    const std::wstring& usersName);
