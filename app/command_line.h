// The program's command line, taken apart into whole arguments
// (CommandLineToArgvW): a switch is one argument, matched without regard to
// case, never a piece of a longer one. The switches are one table; a switch
// with a value takes the next argument whole.
#pragma once
#include <windows.h>

#include <string>

enum StartMode
{
    kStartWindow,        // no switch among the arguments: the main window
    kStartBootFormat,    // "second_proc <drive> [<serial>]" as the first argument
    kStartSilentScan,    // /scan
    kStartRestore,       // /restore "<quarantine folder>" [/registry]
    kStartList,          // /list
    kStartUsage,         // /?
    kStartBadArguments,  // a switch among the arguments, and anything wrong with them
};

struct CommandLineOptions
{
    StartMode mode;
    bool reportOnly;          // /report-only
    std::wstring logCopy;     // /log "<path>": where a copy of the run's text goes
    std::wstring restoreFolder;  // /restore: the quarantine to put back
    bool restoreRegistry;        // /registry: its registry script too
    std::wstring formatPath;  // second_proc: the drive to format ("" when none)
    bool hasSerial;           // second_proc: a volume serial number followed the drive
    DWORD serial;
    std::wstring error;       // kStartBadArguments: what was wrong, for the console

    CommandLineOptions() : mode(kStartWindow), reportOnly(false), restoreRegistry(false), hasSerial(false), serial(0)
    {
    }
};

// The exit code of bad arguments and of /?.
const int kExitBadArguments = 64;

// Takes a whole command line (as GetCommandLineW gives it, the program's
// path first) apart. "second_proc" counts only as the first argument after
// the program's path.
CommandLineOptions ParseCommandLine(const wchar_t* commandLine);

// Whether this start sends the usage ping (and makes sure of the machine
// identifier): the window and the boot-time format do; a silent scan, a
// report, the usage text and bad arguments do not.
bool WantsUsageReport(const CommandLineOptions& options);

// The text of /? (and of bad arguments, after their error).
const wchar_t* UsageText();

// Writes the text to the console of the process that started this one (or to
// the standard output it was given, when that was redirected); false when
// there is neither.
bool WriteToParentConsole(const std::wstring& text);
