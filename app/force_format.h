// Force format: format.com in quick mode on a chosen drive, now, or at the
// next start of Windows through RunOnce and the "second_proc" switch.
#pragma once
#include <windows.h>

#include <string>

// "<system dir>\format.com /q/x E:" for a path beginning with "E:"; empty
// when the path does not begin with a drive letter and a colon.
std::wstring BuildFormatCommandLine(const wchar_t* path);

// Runs format.com on the path's drive, answering its prompts with Enter,
// until it ends. 1 when it ran and ended with exit code 0; 0 when it could
// not be started, failed, or the path names no drive.
int FormatDrive(const wchar_t* path);

// Writes HKLM\...\RunOnce "QuorvelKillerTools" = "\"<this program>\" second_proc <path>".
bool ScheduleFormatAtRestart(const wchar_t* path);

// The value name and the switch.
extern const wchar_t kRunOnceValueName[];
extern const wchar_t kSecondProcSwitch[];  // " second_proc", with its leading blank

// The argument of " second_proc" in a command line (the text 13 characters
// after the match); false when the switch is absent. An empty argument
// (the line ends with the switch) is returned as found and empty.
bool FindSecondProcArgument(const wchar_t* commandLine, std::wstring& argument);

// The format button of the main window (control 1006), given the window,
// and the flag the result dialog reads.
void OnForceFormatButton(HWND dialog, int* pbUserStopped);

// Lets the user pick a folder; false when cancelled or without a path.
bool ChooseFormatFolder(HWND owner, std::wstring& path);
