// The shortcut hijacker: a worm that gives lnkfile its own open command so
// that every shortcut first starts its script.
#pragma once
#include "killers/command.h"

class CKillerForLnkKiller : public CCommand
{
public:
    // Undoes the hijack unless the shortcut association is intact, then
    // puts the .exe association back. Never polls the stop request.
    virtual int Run(ICommunication* comm);
};

// Rewrites the .exe association (".exe", "exefile\shell\open\command",
// "exefile\DefaultIcon") unless ".exe" holds REG_SZ "exefile". Returns
// whether it rewrote.
bool RepairExeAssociation();

extern const char kLogLnkFileDeleted[];    // "清除LNK流氓" TAB
extern const char kLogLnkFolderRemoved[];  // "清除LNK流氓残留文件夹" TAB
extern const char kLogLnkShellRemoved[];   // the fixed registry line
