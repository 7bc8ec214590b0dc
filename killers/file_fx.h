// Drive root repair: dangling autorun.inf files, shortcuts and executables
// that stand in for hidden folders, and the hidden folders themselves.
#pragma once
#include "killers/command.h"

class CKillerForFileFX : public CCommand
{
public:
    // RepairAutorunInf, then RepairDriveFiles; returns 0.
    virtual int Run(ICommunication* comm);
};

// Deletes every drive root's autorun.inf whose "Open" or "ShellExecute"
// entry names a program that does not exist.
void RepairAutorunInf();

// In every drive root: deletes the shortcut beside a hidden folder, makes
// hidden folders visible (not the protected ones) and deletes executables
// under 5 MiB that carry a folder's name.
void RepairDriveFiles();

// Whether a hidden or system root folder of this name keeps its attributes:
// system, recycle, backup and quarantine folders (substrings, any case).
bool IsProtectedFolderName(const wchar_t* name);

// Log texts (GBK), each followed by a path and CR LF.
extern const char kLogAutorunFixed[];     // "empty autorun fixed" TAB
extern const char kLogShortcutDeleted[];  // "删除文件夹1KB快捷方式" TAB
extern const char kLogFolderShown[];      // "恢复被木马隐藏的文件夹" TAB
extern const char kLogFolderExeDeleted[]; // "删除文件夹EXE" TAB
