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

// Copies this program into its own protected folder for the next start of
// Windows; the copy's path, or empty when it could not be made.
std::wstring KeepProgramForBoot();

// Writes HKLM\...\RunOnce "QuorvelKillerTools" =
// "\"<the kept copy>\" second_proc E:\ <serial>": the program as kept in its
// own folder (the started file may be replaced before the next start), the
// drive's root and its volume serial number (eight hexadecimal digits), so
// that the format at the next start hits this volume only. Nothing is
// written (false) when the path names no drive, the drive's serial number
// cannot be read or the program cannot be kept.
bool ScheduleFormatAtRestart(const wchar_t* path);

// The value name.
extern const wchar_t kRunOnceValueName[];

// The volume serial number of the path's drive; false when the path does not
// begin with a drive letter or the drive has no readable volume.
bool GetDriveSerial(const wchar_t* path, DWORD& serial);

// The boot-time format (started by the RunOnce value): formats the path's
// drive, when `hasSerial`, only if the volume there now has that serial
// number (another volume that got the letter is left alone); a value written
// without a serial formats the drive as it is. 1 when the format ran and
// succeeded.
int FormatAtBoot(const wchar_t* path, bool hasSerial, DWORD serial);

// The format button of the main window (control 1006), given the window,
// and the flag the result dialog reads.
void OnForceFormatButton(HWND dialog, int* pbUserStopped);

// Lets the user pick a folder; false when cancelled or without a path.
bool ChooseFormatFolder(HWND owner, std::wstring& path);
