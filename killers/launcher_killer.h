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
