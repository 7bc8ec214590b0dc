// Where a user's autostart entries point: the variables they expand with and
// the Startup folders, each from the records of the system and of that
// user's own profile and hive, never from the environment of the process
// that walks them (SYSTEM's, or the elevated user's).
#pragma once
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "killers/autostart_judge.h"
#include "killers/command_target.h"

// The machine's variables: the Windows, Program Files and all-users data
// folders as the system records them, then the machine's environment
// (Session Manager), expanded with them.
VariableMap MachineVariables();

// A user's variables over `machine`: the profile (the shell's known folder
// for HKEY_CURRENT_USER, the profile list's record for a loaded hive of
// `sid`) and the folders of its layout. What the user himself records (his
// shell folders, the TEMP and TMP of his Environment key) is taken only for
// the profile's own variables, and only when it lies inside the profile;
// nothing of his replaces a machine's variable. `startup`: the user's
// Startup folder with its trailing backslash, or empty when unknown;
// `owner`: the profile and SID (the process's user's for
// HKEY_CURRENT_USER).
void UserVariables(HKEY root, const std::wstring& sid, const VariableMap& machine, VariableMap& variables,
                   std::wstring& startup, EntryOwner& owner);

// The all-users Startup folder (the shell's known folder) with its trailing
// backslash; empty when unknown.
std::wstring CommonStartupFolder();

// A profile of the profile list whose hive is not loaded (its user is not
// logged on): no Run keys to read, but its Startup folder, where the
// profile's default layout puts it (the user's own shell folders are in
// the hive), and its variables the same way.
struct UnloadedProfile
{
    EntryOwner owner;
    VariableMap variables;
    std::wstring startup;  // with its trailing backslash
};

// The users' profiles (S-1-5-21-...) whose SIDs are not in `loaded`.
void UnloadedProfiles(const std::set<std::wstring>& loaded, const VariableMap& machine,
                      std::vector<UnloadedProfile>& profiles);
