// Whether the files a command line names are there, looked for as the
// programs that start them see the file system.
#pragma once
#include <string>

// How a path on another machine, or a device, counts: it is never opened
// (that would connect to the host, or let a pipe's server act as this
// program), so the caller says what it means: present (a registry value
// naming it is left alone) or missing (an autorun.inf naming it goes).
enum RemoteTarget
{
    kRemoteIsPresent,
    kRemoteIsMissing,
};

// Whose path a probe opens. A value of the user this program runs for is
// probed as that user's files are opened; a value of another user's hive,
// read as LocalSystem, is opened level by level, never through a link
// (ProbeNativeFileLevelByLevel): a link anywhere on its way, or a path that
// does not work out as a local one, counts as present and leaves the value.
enum ProbeOwner
{
    kOwnValue,
    kOtherUsersValue,
};

// Whether a token of a command line names a file that opens: a token with
// ":\" is taken as it is; one with "%SystemRoot%\" is looked for in the
// Windows directory; any other in baseDir (the current directory when NULL),
// then the Windows directory, then the system directory.
bool ProbeTargetFile(const wchar_t* token, const wchar_t* baseDir, RemoteTarget remote = kRemoteIsPresent,
                     ProbeOwner owner = kOwnValue);

// True when every token holding a "." names a file that opens (all are
// probed); an empty command line, or one that does not split, is valid.
bool CheckCommandTargets(const wchar_t* commandLine, const wchar_t* baseDir,
                         RemoteTarget remote = kRemoteIsPresent, ProbeOwner owner = kOwnValue);
