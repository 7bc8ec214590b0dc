#include "platform/target_probe.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "platform/drives.h"
#include "platform/reg_views.h"
#include "platform/registry.h"

namespace {

// Opens only what lies on this machine. Commands are started by 64-bit
// programs on 64-bit Windows: files are looked for as they see them.
bool Probe(const std::wstring& path, RemoteTarget remote, ProbeOwner owner)
{
    if (IsRemoteOrDevicePath(path.c_str()))
        return remote == kRemoteIsPresent;
    if (owner == kOtherUsersValue)
        return ProbeNativeFileLevelByLevel(path.c_str()) != kProbeMissing;
    return ProbeNativeFile(path.c_str());
}

}  // namespace

bool ProbeTargetFile(const wchar_t* token, const wchar_t* baseDir, RemoteTarget remote, ProbeOwner owner)
{
    if (!token)
        return false;
    static const wchar_t kSystemRoot[] = L"%SystemRoot%\\";
    std::wstring dir;
    if (IsRemoteOrDevicePath(token) || ::StrStrIW(token, L":\\"))
        return Probe(token, remote, owner);
    if (::StrStrIW(token, kSystemRoot))
        return GetWindowsDirSlash(dir) && Probe(dir + (token + lstrlenW(kSystemRoot)), remote, owner);

    if (baseDir)
        dir = baseDir;
    else if (!GetCurrentDirSlash(dir))
        dir.clear();
    if (!dir.empty() && Probe(dir + token, remote, owner))
        return true;
    if (GetWindowsDirSlash(dir) && Probe(dir + token, remote, owner))
        return true;
    return GetSystem32DirSlash(dir) && Probe(dir + token, remote, owner);
}

bool CheckCommandTargets(const wchar_t* commandLine, const wchar_t* baseDir, RemoteTarget remote, ProbeOwner owner)
{
    if (!commandLine || !commandLine[0])
        return true;
    int count = 0;
    LPWSTR* tokens = ::CommandLineToArgvW(commandLine, &count);
    if (!tokens)
        return true;
    bool valid = true;
    for (int i = 0; i < count; ++i)
    {
        if (::StrChrW(tokens[i], L'.') && !ProbeTargetFile(tokens[i], baseDir, remote, owner))
            valid = false;  // every dotted token is probed all the same
    }
    ::LocalFree(tokens);
    return valid;
}
