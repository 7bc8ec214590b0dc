// The registry views and system folders this Windows has. A 32-bit Windows
// has one of each: keys are opened without a view flag, files by their plain
// paths, exactly as the program always did. A 64-bit Windows has two
// registry views of HKLM\SOFTWARE (the native one and Wow6432Node), two
// system folders (System32 and SysWOW64) and two Program Files folders; a
// 32-bit process there is redirected to the 32-bit ones unless it asks.
// Every WOW64 function is looked up at run time: the program still starts
// on a Windows that has none of them.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The registry views a check runs in, native first; flags[i] is or-ed into
// the access of every open and deletion in view i. On 32-bit Windows, and
// for keys both views share, there is one view with flag 0.
struct RegViewList
{
    REGSAM flags[2];
    size_t count;
};

// Whether this Windows has two views: a 32-bit process under WOW64, or a
// 64-bit build. Detected once.
bool HasTwoRegViews();
// Whether this process is a 32-bit one under WOW64.
bool IsWow64Process32();

// The views of a Windows with two of them (KEY_WOW64_64KEY, then
// KEY_WOW64_32KEY) or with one (flag 0).
RegViewList RegViewsOf(bool twoViews);
// The views this system has.
RegViewList SystemRegViews();
// Whether root\path lies in the part of HKLM\SOFTWARE (or HKEY_CLASSES_ROOT)
// that has a copy per view: HKLM\SOFTWARE except the shared keys, among
// them Classes, whose CLSID (and a few other) subkeys have a copy per view.
bool IsRedirectedKey(HKEY root, const wchar_t* path);
// The views a check of root\path runs in: SystemRegViews() for a redirected
// key, one view with flag 0 for a shared one.
RegViewList RegViewsForKey(HKEY root, const wchar_t* path);
// The view flags as a log or record name: "" (the process's own view),
// "64" or "32".
const wchar_t* RegViewName(REGSAM view);

// The native system folder with a trailing backslash, as a path this process
// reaches: Sysnative under WOW64, the system folder otherwise.
bool GetNativeSystemDirSlash(std::wstring& dir);
// The system folders of this Windows, each as a path this process reaches
// and that is also valid at the next start of Windows: System32 first, then
// (64-bit Windows only) SysWOW64. Under WOW64 the first one is only reached
// with redirection off (ProbeNativeFile).
std::vector<std::wstring> SystemDirsSlash();
// The first of them: the native system folder under the name System32.
bool GetSystem32DirSlash(std::wstring& dir);
// The Program Files folders: the native one first, then (64-bit Windows only)
// "Program Files (x86)", as the system records them in HKLM (never from the
// environment, which the user sets); full local paths only.
std::vector<std::wstring> ProgramFilesDirsSlash();

// Whether path names a file (not a folder) that opens for reading, seen as a
// 64-bit program sees it: under WOW64 redirection is off around the one
// CreateFileW (should it not turn off, the probe is the plain one).
// Elsewhere CreateFileW as it is.
bool ProbeNativeFile(const wchar_t* path);

// The answer of a probe that refuses links (ProbeNativeFileLevelByLevel).
enum LevelProbe
{
    kProbeMissing,  // a level of the path is not there: the file is missing
    kProbeFile,     // every level opened as itself and the file opens
    kProbeRefused,  // a link, a form that is no local path, or a level that
                    // did not open as a folder: nothing further was opened
};

// The same probe, made for a path someone else chose (another user's
// registry value, read as LocalSystem): the path is worked out as text, then
// opened level by level from its drive root, each level as itself (never
// what a link points to), refused when a reparse point, and held open
// without sharing deletion until the file itself is opened, so no level can
// be swapped for a link meanwhile. Nothing on another machine or device is
// ever opened.
LevelProbe ProbeNativeFileLevelByLevel(const wchar_t* path);

// Whether anything exists at path as a 64-bit program sees it (under WOW64
// redirection is off around the one GetFileAttributesW).
bool NativeFileExists(const wchar_t* path);

// The copies of a file the two kinds of programs use: the path itself and,
// on 64-bit Windows, its twin in SysWOW64 for a path in System32 or in
// "Program Files (x86)" for one in the native Program Files. Every path is
// valid at the next start of Windows too.
std::vector<std::wstring> FileCopiesInViews(const std::wstring& path);

// Starts the registry editor of a view hidden on the script (regedit /s),
// by its full path in the Windows folder; with `wait`, waits for it
// (`waitMs` at most: an editor still running then is left running and
// counts as failed) and answers whether it exited with 0. nativeView: the 64-bit editor on 64-bit
// Windows (under WOW64 %windir%\regedit.exe started with redirection off
// around the one CreateProcessW), otherwise the 32-bit one (SysWOW64). On
// 32-bit Windows there is one editor, whatever is asked for.
bool StartRegEditInView(const std::wstring& script, bool nativeView, bool wait = false, DWORD waitMs = INFINITE);
