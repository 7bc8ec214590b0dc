// The shortcut worms that fill sticks today: a shortcut in the root of a
// removable or USB drive that starts a script host, a command interpreter or
// a program hidden on the stick (the launcher), the files it starts (the
// payload), and the user's files the worm hid behind it.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "killers/command.h"
#include "platform/file_helpers.h"

struct LauncherSweep;

class CKillerForLaunchers : public CCommand
{
public:
    // With COM on this thread for the shell link object, cleans the root of
    // every removable drive and of every fixed drive on a USB bus; stops
    // between entries when asked. Returns 0.
    virtual int Run(ICommunication* comm);

    int Deleted() const { return m_nDeleted; }
    int Repaired() const { return m_nRepaired; }

private:
    void CleanRoot(const std::wstring& root, const CNameIndex& index);
    // Its passes, sharing what they found; false when a stop was asked.
    // The launchers: only shortcuts are read, one file each.
    bool ReadLaunchers(LauncherSweep& sweep);
    // Each launcher, then the hidden files it names.
    bool DeleteLaunchersAndPayloads(LauncherSweep& sweep);
    // The folders the payload came from, when only the worm's files are left.
    bool ClearPayloadFolders(LauncherSweep& sweep);
    // The user's files back in view.
    void ShowUserItems(const LauncherSweep& sweep);
    // Deletes one file of the worm's through the gateway and logs it: as
    // deleted, or as left with the reason (the quarantine kept no copy, or
    // the deletion failed). True when it went. A payload's bytes are noted
    // first, for its copies on the PC.
    bool DeleteLogged(const std::wstring& path, const char* deleted, const char* left, bool payload);
    // Removes the emptied folder below the root and the hidden folders above
    // it that are left empty; top-level ones go into `gone` (folded).
    void RemoveEmptyFolders(const std::wstring& root, std::wstring folder, const std::wstring& label,
                            std::set<std::wstring>& gone);
};

// Log texts (GBK), each followed by a path and CR LF. Folders made visible
// are logged with kLogFolderShown (killers/file_fx.h).
extern const char kLogLauncherDeleted[];  // "删除病毒快捷方式" TAB
extern const char kLogPayloadDeleted[];   // "删除病毒文件" TAB
extern const char kLogFileShown[];        // "恢复被木马隐藏的文件" TAB
// What was found and left, followed by the path, a TAB, the reason, CR LF.
extern const char kLogLauncherLeft[];     // "未删除病毒快捷方式" TAB
extern const char kLogPayloadLeft[];      // "未删除病毒文件" TAB
extern const char kLogReasonNotKept[];    // "无法备份" (no copy could be kept: left in place)
extern const char kLogReasonFailed[];     // "删除失败"
// A root shortcut too large to be read whole that did not load from its
// first bytes, followed by the path and CR LF.
extern const char kLogShortcutNotRead[];  // "快捷方式过大，未读取" TAB
