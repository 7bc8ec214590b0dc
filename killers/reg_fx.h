// System registry repair: Winlogon, the hidden-files option, the computer
// and folder open commands, the "load" value, file-type commands, the
// shortcut association and the .exe association.
#pragma once
#include "killers/command.h"

class CKillerForRegFX : public CCommand
{
public:
    // The five routines in order, then tells the shell that associations
    // changed. Never polls the stop request; counts nothing.
    virtual int Run(ICommunication* comm);
};

void RepairWinlogon();
void RepairHiddenOption();
void RepairComputerOpen();
void RepairWindowsLoad();
void RepairAssociations();

extern const char kLogExeAssociationFixed[];  // "修复exe文件打不开的问题" CR LF
