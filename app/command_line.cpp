#include "app/command_line.h"

#include <shellapi.h>

#include <vector>

#include "platform/array_count.h"
#include "platform/handles.h"

namespace {

// What one switch does to the options; `value` is its argument (or NULL for
// a switch without one). False: the switch was given twice or is misplaced.
typedef bool (*PFNAPPLYSWITCH)(CommandLineOptions& options, const std::wstring* value);

struct SwitchEntry
{
    const wchar_t* name;  // as typed, matched without regard to case
    bool takesValue;      // the next argument, whole
    PFNAPPLYSWITCH apply;
};

bool ApplyScan(CommandLineOptions& options, const std::wstring*)
{
    if (options.mode == kStartSilentScan || options.mode == kStartRestore || options.mode == kStartList)
        return false;
    options.mode = kStartSilentScan;
    return true;
}

bool ApplyReportOnly(CommandLineOptions& options, const std::wstring*)
{
    if (options.reportOnly)
        return false;
    options.reportOnly = true;
    return true;
}

bool ApplyLog(CommandLineOptions& options, const std::wstring* value)
{
    if (!options.logCopy.empty() || value->empty())
        return false;
    options.logCopy = *value;
    return true;
}

bool ApplyRestore(CommandLineOptions& options, const std::wstring* value)
{
    if (options.mode != kStartWindow || value->empty())
        return false;
    options.mode = kStartRestore;
    options.restoreFolder = *value;
    return true;
}

bool ApplyRegistry(CommandLineOptions& options, const std::wstring*)
{
    if (options.restoreRegistry)
        return false;
    options.restoreRegistry = true;
    return true;
}

bool ApplyList(CommandLineOptions& options, const std::wstring*)
{
    if (options.mode != kStartWindow)
        return false;
    options.mode = kStartList;
    return true;
}

bool ApplyUsage(CommandLineOptions& options, const std::wstring*)
{
    options.mode = kStartUsage;
    return true;
}

// The switches of the command line, one line each.
const SwitchEntry kSwitches[] = {
    {L"/scan", false, ApplyScan},
    {L"/report-only", false, ApplyReportOnly},
    {L"/log", true, ApplyLog},
    {L"/restore", true, ApplyRestore},
    {L"/registry", false, ApplyRegistry},
    {L"/list", false, ApplyList},
    {L"/?", false, ApplyUsage},
};

const wchar_t kSecondProc[] = L"second_proc";

const SwitchEntry* FindSwitch(const std::wstring& argument)
{
    for (size_t i = 0; i < ArrayCount(kSwitches); ++i)
        if (lstrcmpiW(argument.c_str(), kSwitches[i].name) == 0)
            return &kSwitches[i];
    return NULL;
}

// Eight hexadecimal digits, as the schedule writes a volume serial number.
bool ParseSerial(const std::wstring& text, DWORD& serial)
{
    if (text.size() != 8)
        return false;
    DWORD value = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        DWORD digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else
            return false;
        value = (value << 4) | digit;
    }
    serial = value;
    return true;
}

std::vector<std::wstring> SplitArguments(const wchar_t* commandLine)
{
    std::vector<std::wstring> arguments;
    if (!commandLine || !*commandLine)
        return arguments;
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine, &count);
    if (!argv)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(argv[i]);
    ::LocalFree(argv);
    return arguments;
}

CommandLineOptions Bad(const std::wstring& error)
{
    CommandLineOptions options;
    options.mode = kStartBadArguments;
    options.error = error;
    return options;
}

}  // namespace

CommandLineOptions ParseCommandLine(const wchar_t* commandLine)
{
    CommandLineOptions options;
    const std::vector<std::wstring> arguments = SplitArguments(commandLine);
    if (arguments.size() < 2)
        return options;

    // The boot-time format: its switch first, then the drive and the serial
    // number the schedule wrote; what follows is not looked at.
    if (lstrcmpiW(arguments[1].c_str(), kSecondProc) == 0)
    {
        options.mode = kStartBootFormat;
        if (arguments.size() > 2)
            options.formatPath = arguments[2];
        if (arguments.size() > 3)
            options.hasSerial = ParseSerial(arguments[3], options.serial);
        return options;
    }

    // Without a switch the arguments are not ours (a file dropped on the
    // program, say): the window, as always.
    bool anySwitch = false;
    for (size_t i = 1; i < arguments.size(); ++i)
        anySwitch = anySwitch || (!arguments[i].empty() && arguments[i][0] == L'/');
    if (!anySwitch)
        return options;

    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const SwitchEntry* entry = FindSwitch(arguments[i]);
        if (!entry)
            return Bad(L"Unknown argument: " + arguments[i]);
        const std::wstring* value = NULL;
        if (entry->takesValue)
        {
            if (i + 1 >= arguments.size())
                return Bad(std::wstring(entry->name) + L" needs a value");
            value = &arguments[++i];
        }
        if (!entry->apply(options, value))
            return Bad(std::wstring(L"Misplaced or repeated argument: ") + entry->name);
    }
    if (options.mode == kStartUsage)
        return options;
    if (options.restoreRegistry && options.mode != kStartRestore)
        return Bad(L"/registry belongs to /restore");
    if ((options.reportOnly || !options.logCopy.empty()) && options.mode != kStartSilentScan)
        return Bad(L"/report-only and /log belong to /scan");
    return options;
}

bool WantsUsageReport(const CommandLineOptions& options)
{
    return options.mode == kStartWindow || options.mode == kStartBootFormat;
}

const wchar_t* UsageText()
{
    return L"StickMedic.exe                       the window\r\n"
           L"StickMedic.exe /scan [/report-only] [/log \"<path>\"]\r\n"
           L"  /scan          scan and repair without a window; the log is written as usual\r\n"
           L"  /report-only   change nothing: write what a scan would do to\r\n"
           L"                 StickMedic-report.log beside the log\r\n"
           L"  /log \"<path>\"  also copy the run's text to this file (its folder must exist)\r\n"
           L"StickMedic.exe /restore \"<quarantine folder>\" [/registry]\r\n"
           L"  put back what one scan deleted or changed (/registry: its registry values too)\r\n"
           L"StickMedic.exe /list       the quarantines, with their dates and items\r\n"
           L"Exit codes: 0 nothing found; 1 found and repaired; 2 found and repaired, restart\r\n"
           L"  needed; 3 found, a repair failed or was left; 4 report-only, something would be\r\n"
           L"  done; 64 bad arguments or /?; 66 another scan kept running for 10 minutes;\r\n"
           L"  67 the scan lock cannot be had; 68 no protected folder for the log and the\r\n"
           L"  quarantine can be made (nothing was done for 66 to 68)\r\n";
}

bool WriteToParentConsole(const std::wstring& text)
{
    // Redirected by the caller: that is where the text goes, in the ANSI code page.
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output && output != INVALID_HANDLE_VALUE && !::GetConsoleMode(output, &mode))
    {
        const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), NULL, 0,
                                                NULL, NULL);
        if (bytes <= 0)
            return false;
        std::string narrow(static_cast<size_t>(bytes), '\0');
        ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, NULL, NULL);
        DWORD written = 0;
        return ::WriteFile(output, narrow.data(), static_cast<DWORD>(narrow.size()), &written, NULL) != FALSE;
    }
    if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED)
        return false;  // ERROR_ACCESS_DENIED: attached already
    CHandle console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, 0, NULL));
    if (!console.IsValid())
        return false;
    DWORD written = 0;
    return ::WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, NULL) != FALSE;
}
