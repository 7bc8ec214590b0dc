// Where a user's autostart entries point: the variables they expand with and
// the Startup folders, each from the records of the system and of that
// user's own profile and hive, never from the environment of the process
// that walks them (SYSTEM's, or the elevated user's).
#pragma once
#include <windows.h>

#include <string>

#include "killers/command_target.h"

// The machine's variables: the Windows, Program Files and all-users data
// folders as the system records them, then the machine's environment
// (Session Manager), expanded with them.
VariableMap MachineVariables();

// A user's variables over `machine`: the profile (the shell's known folder
// for HKEY_CURRENT_USER, the profile list's record for a loaded hive of
// `sid`), the application data folders of the user's shell folders, and
// the variables of the hive's own Environment key. `startup`: the user's
// Startup folder with its trailing backslash, or empty when unknown.
void UserVariables(HKEY root, const std::wstring& sid, const VariableMap& machine, VariableMap& variables,
                   std::wstring& startup);

// The all-users Startup folder (the shell's known folder) with its trailing
// backslash; empty when unknown.
std::wstring CommonStartupFolder();
