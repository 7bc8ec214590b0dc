#include "killers/autostart_places.h"

#include <shlobj.h>

#include <vector>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/user_hives.h"

namespace {

const wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const wchar_t kUserShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t kUserEnvironment[] = L"Environment";

// The user's shell folders that his variables name, and the variable each
// gives.
struct ShellFolderVariable
{
    const wchar_t* value;     // in User Shell Folders
    const wchar_t* variable;  // "" for the Startup folder, which no variable names
};
const ShellFolderVariable kShellFolders[] = {
    {L"AppData", L"APPDATA"},
    {L"Local AppData", L"LOCALAPPDATA"},
    {L"Startup", L""},
};

std::wstring WithoutBackslash(const std::wstring& folder)
{
    return !folder.empty() && folder[folder.size() - 1] == L'\\' ? folder.substr(0, folder.size() - 1) : folder;
}

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    if (::SHGetFolderPathW(NULL, csidl | CSIDL_FLAG_DONT_VERIFY, NULL, SHGFP_TYPE_CURRENT, path) != S_OK)
        return std::wstring();
    return path;
}

// Sets a variable unless it is set already; an empty value sets nothing.
void Define(VariableMap& variables, const wchar_t* name, const std::wstring& value)
{
    if (!value.empty() && !variables.count(FoldCase(name)))
        variables[FoldCase(name)] = value;
}

// A text value of the key, expanded with `variables`; empty when missing,
// of another type, or naming a variable not known.
std::wstring ExpandedValue(HKEY key, const wchar_t* name, const VariableMap& variables)
{
    std::wstring text;
    std::wstring expanded;
    if (!ReadRegString(key, name, text) || !ExpandVariables(text, variables, expanded))
        return std::wstring();
    return expanded;
}

// Every text value of root\path, expanded with what is known so far; later
// values see earlier ones. With `replace`, a value overrides the one known.
void AddKeyVariables(HKEY root, const wchar_t* path, REGSAM view, bool replace, VariableMap& variables)
{
    CRegKey key;
    if (key.Open(root, path, KEY_READ | view) != ERROR_SUCCESS)
        return;
    std::vector<std::wstring> names;
    for (DWORD i = 0; i < 512; ++i)
    {
        wchar_t name[256] = {0};
        DWORD chars = 256;
        if (::RegEnumValueW(key, i, name, &chars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    // Twice: a value may name one listed after it.
    for (int pass = 0; pass < 2; ++pass)
    {
        for (size_t i = 0; i < names.size(); ++i)
        {
            const std::wstring value = ExpandedValue(key, names[i].c_str(), variables);
            if (!value.empty() && (replace || !variables.count(FoldCase(names[i]))))
                variables[FoldCase(names[i])] = value;
        }
    }
}

std::wstring ProfileOf(const std::wstring& sid, const VariableMap& machine)
{
    if (sid.empty())
        return KnownFolder(CSIDL_PROFILE);
    CRegKey key;
    const REGSAM native = HasTwoRegViews() ? KEY_WOW64_64KEY : 0;
    if (key.Open(HKEY_LOCAL_MACHINE, (kProfileList + sid).c_str(), KEY_READ | native) != ERROR_SUCCESS)
        return std::wstring();
    return ExpandedValue(key, L"ProfileImagePath", machine);
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The folders of a profile as Vista and later lay them out, or as XP did.
struct ProfileLayout
{
    const wchar_t* appData;
    const wchar_t* localAppData;
    const wchar_t* startup;  // below appData
};
const ProfileLayout kProfileLayouts[] = {
    {L"\\AppData\\Roaming", L"\\AppData\\Local", L"\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"},
    {L"\\Application Data", L"\\Local Settings\\Application Data", L"\\..\\Start Menu\\Programs\\Startup"},
};

// The profile's own variables and Startup folder, where its layout puts
// them; false when `home` is no local profile folder.
bool ProfileDefaults(const std::wstring& home, VariableMap& variables, std::wstring& startup)
{
    if (home.size() < 3 || home[1] != L':' || !IsFolder(home))
        return false;
    for (size_t i = 0; i < ArrayCount(kProfileLayouts); ++i)
    {
        const std::wstring appData = home + kProfileLayouts[i].appData;
        if (!IsFolder(appData))
            continue;
        variables[FoldCase(L"USERPROFILE")] = home;
        variables[FoldCase(L"HOMEDRIVE")] = home.substr(0, 2);
        variables[FoldCase(L"HOMEPATH")] = home.substr(2);
        variables[FoldCase(L"USERNAME")] = home.substr(home.find_last_of(L'\\') + 1);
        variables[FoldCase(L"APPDATA")] = appData;
        variables[FoldCase(L"LOCALAPPDATA")] = home + kProfileLayouts[i].localAppData;
        variables[FoldCase(L"TEMP")] = home + kProfileLayouts[i].localAppData + L"\\Temp";
        variables[FoldCase(L"TMP")] = home + kProfileLayouts[i].localAppData + L"\\Temp";
        wchar_t full[MAX_PATH] = {0};
        const DWORD length = ::GetFullPathNameW((appData + kProfileLayouts[i].startup).c_str(), MAX_PATH, full, NULL);
        startup = length && length < MAX_PATH ? WithBackslash(full) : std::wstring();
        return true;
    }
    return false;
}

// The full path of a folder, its short names expanded. Windows makes a
// short name only with a "~" in it (one without is a name of its own, and
// setting another takes a privilege only administrators hold), so a path
// with none is taken as it is: the system's expansion reads every folder
// on the way.
bool LongFullFolderPath(const std::wstring& folder, std::wstring& longFolder)
{
    if (folder.find(L'~') != std::wstring::npos)
        return LongFullPath(folder, longFolder);
    wchar_t full[MAX_PATH * 2] = {0};
    const DWORD length = ::GetFullPathNameW(folder.c_str(), MAX_PATH * 2, full, NULL);
    if (length == 0 || length >= MAX_PATH * 2)
        return false;
    longFolder.assign(full, length);
    return true;
}

// What the user records for a folder of his profile, taken when it lies
// inside `profile` (long form, with its trailing backslash) as itself;
// `longFolder` is its full path with the short names expanded, the form it
// is walked by.
bool InsideProfile(const std::wstring& folder, const std::wstring& profile, std::wstring& longFolder)
{
    if (folder.empty() || IsRemoteOrDevicePath(folder.c_str()) || !LongFullFolderPath(folder, longFolder) ||
        !IsInsideFolder(WithBackslash(longFolder), profile))
        return false;
    // A link inside the profile leads out of it: every folder from the
    // profile down is itself.
    for (std::wstring::size_type at = profile.size() - 1; at < longFolder.size(); at = longFolder.find(L'\\', at + 1))
    {
        if (!IsFolder(longFolder.substr(0, at)))
            return false;
    }
    return IsFolder(longFolder);
}

// The profile's variables a user may set for himself in his Environment key.
const wchar_t* const kUserSetVariables[] = {L"TEMP", L"TMP"};

// The user's own TEMP and TMP, each where it lies inside his profile.
void AddUserEnvironment(HKEY root, const std::wstring& profile, VariableMap& variables)
{
    CRegKey key;
    if (key.Open(root, kUserEnvironment, KEY_READ) != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < ArrayCount(kUserSetVariables); ++i)
    {
        const std::wstring value = ExpandedValue(key, kUserSetVariables[i], variables);
        std::wstring longValue;
        if (InsideProfile(value, profile, longValue))
            variables[FoldCase(kUserSetVariables[i])] = WithoutBackslash(longValue);
    }
}

bool ProfileOfUnloaded(const std::wstring& sid, const VariableMap& machine, UnloadedProfile& profile)
{
    const std::wstring home = ProfileOf(sid, machine);
    std::wstring longHome;
    profile.variables = machine;
    if (!ProfileDefaults(home, profile.variables, profile.startup) || !LongFullPath(home, longHome))
        return false;
    profile.owner.sid = sid;
    profile.owner.profile = WithBackslash(longHome);
    return true;
}

}  // namespace

VariableMap MachineVariables()
{
    VariableMap variables;
    std::wstring windows;
    if (GetWindowsDirSlash(windows))
    {
        Define(variables, L"SystemRoot", WithoutBackslash(windows));
        Define(variables, L"windir", WithoutBackslash(windows));
        Define(variables, L"SystemDrive", windows.substr(0, 2));
    }
    const std::vector<std::wstring> programs = ProgramFilesDirsSlash();
    if (!programs.empty())
    {
        // A 32-bit program's own ProgramFiles is the x86 one; the entries
        // are read by 64-bit Explorer as well, which sees the native one.
        Define(variables, L"ProgramFiles", WithoutBackslash(programs[0]));
        Define(variables, L"ProgramW6432", WithoutBackslash(programs[0]));
        Define(variables, L"ProgramFiles(x86)", WithoutBackslash(programs.back()));
    }
    const std::wstring common = KnownFolder(CSIDL_COMMON_APPDATA);
    Define(variables, L"ProgramData", common);
    Define(variables, L"ALLUSERSPROFILE", common);
    AddKeyVariables(HKEY_LOCAL_MACHINE, kMachineEnvironment, 0, false, variables);
    return variables;
}

void UserVariables(HKEY root, const std::wstring& sid, const VariableMap& machine, VariableMap& variables,
                   std::wstring& startup, EntryOwner& owner)
{
    variables = machine;
    startup.clear();
    owner.sid = sid.empty() ? CurrentUserSid() : sid;
    owner.profile.clear();
    const std::wstring profile = ProfileOf(sid, machine);
    std::wstring longProfile;
    if (!ProfileDefaults(profile, variables, startup) || !LongFullPath(profile, longProfile) || owner.sid.empty())
    {
        variables = machine;  // without the profile nothing of the user's expands
        startup.clear();
        return;
    }
    owner.profile = WithBackslash(longProfile);
    // The user's shell folders, read from his hive as the shell reads them
    // (for this program's own user too: asking the shell for each costs more
    // than the rest of his walk), may move a folder inside his profile,
    // never out of it.
    CRegKey folders;
    folders.Open(root, kUserShellFolders, KEY_READ);
    for (size_t i = 0; i < ArrayCount(kShellFolders); ++i)
    {
        const std::wstring folder =
            folders.IsOpen() ? ExpandedValue(folders, kShellFolders[i].value, variables) : std::wstring();
        std::wstring longFolder;
        if (!InsideProfile(folder, owner.profile, longFolder))
            continue;
        if (*kShellFolders[i].variable)
            variables[FoldCase(kShellFolders[i].variable)] = WithoutBackslash(longFolder);
        else
            startup = WithBackslash(longFolder);
    }
    AddUserEnvironment(root, owner.profile, variables);
}

std::wstring CommonStartupFolder()
{
    const std::wstring folder = KnownFolder(CSIDL_COMMON_STARTUP);
    return folder.empty() ? folder : WithBackslash(folder);
}

void UnloadedProfiles(const std::set<std::wstring>& loaded, const VariableMap& machine,
                      std::vector<UnloadedProfile>& profiles)
{
    CRegKey list;
    const REGSAM native = HasTwoRegViews() ? KEY_WOW64_64KEY : 0;
    const std::wstring path(kProfileList);
    if (list.Open(HKEY_LOCAL_MACHINE, path.substr(0, path.size() - 1).c_str(), KEY_READ | native) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0; index < 4096; ++index)
    {
        wchar_t name[256];
        DWORD chars = 256;
        const LONG status = ::RegEnumKeyExW(list, index, name, &chars, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        UnloadedProfile profile;
        if (IsUserHiveName(name) && !loaded.count(FoldCase(name)) && ProfileOfUnloaded(name, machine, profile))
            profiles.push_back(profile);
    }
}
