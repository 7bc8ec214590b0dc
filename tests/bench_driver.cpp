// The benchmark's hands inside the sandbox (scripts/bench.sh):
//   bench_driver run FILE     with E:\ filled from the host: hides every folder
//                             that has a same-name shortcut (hidden+system, as
//                             the worms leave them), times three bare listings
//                             of E:\, runs StickMedic.exe in its window from
//                             the press on "开始查杀" to the result dialog while
//                             another thread asks the main window for replies,
//                             then checks what the scan did to E:\.
// FILE gets one line of figures
//   entries scan_seconds bare_seconds longest_reply_ms peak_working_set_bytes
// followed by one line per failed check. Exit code 0 when every check held.
// An empty E:\ is the scan's fixed part: the same run, with nothing on the
// stick to check.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/screen.h"

namespace {

const wchar_t kProgram[] = L"C:\\bench\\StickMedic.exe";
const wchar_t kRoot[] = L"E:\\";
const wchar_t kMainTitle[] = L"QuorvelU盘专杀工具V1.3";
const wchar_t kResultTitle[] = L"注意";
const int kStartButton = 1008;
const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
const DWORD kScanLimitMs = 30 * 60 * 1000;

double Now()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        ::QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Entry
{
    std::wstring name;
    DWORD attributes;
};

// The bare pass: one FindFirstFileW/FindNextFileW walk, nothing kept.
size_t BareListing()
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((std::wstring(kRoot) + L"*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    size_t count = 0;
    do
        ++count;
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return count;
}

std::vector<Entry> List()
{
    std::vector<Entry> entries;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((std::wstring(kRoot) + L"*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return entries;
    do
    {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        Entry entry = {name, data.dwFileAttributes};
        entries.push_back(entry);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return entries;
}

bool EndsWith(const std::wstring& name, const wchar_t* suffix)
{
    const size_t length = lstrlenW(suffix);
    return name.size() >= length && lstrcmpiW(name.c_str() + name.size() - length, suffix) == 0;
}

// What a root holds, by the kinds of the mix.
struct Census
{
    size_t entries, folders, hiddenFolders, shortcuts, programs;
};

Census Count(const std::vector<Entry>& entries)
{
    Census census = {entries.size(), 0, 0, 0, 0};
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const Entry& entry = entries[i];
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            ++census.folders;
            if (entry.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
                ++census.hiddenFolders;
        }
        else if (EndsWith(entry.name, L".lnk"))
            ++census.shortcuts;
        else if (EndsWith(entry.name, L".exe"))
            ++census.programs;
    }
    return census;
}

// Every folder with a same-name shortcut beside it becomes hidden+system.
// The host cannot set DOS attributes the way Wine keeps them, so it is done
// here, through the system, and read back.
size_t HideShortcutFolders(const std::vector<Entry>& entries)
{
    std::vector<std::wstring> shortcuts;
    for (size_t i = 0; i < entries.size(); ++i)
        if (EndsWith(entries[i].name, L".lnk"))
            shortcuts.push_back(entries[i].name.substr(0, entries[i].name.size() - 4));
    size_t hidden = 0;
    for (size_t i = 0; i < shortcuts.size(); ++i)
    {
        const std::wstring folder = kRoot + shortcuts[i];
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        ::SetFileAttributesW(folder.c_str(), kHiddenSystem);
        if ((::GetFileAttributesW(folder.c_str()) & kHiddenSystem) == kHiddenSystem)
            ++hidden;
    }
    return hidden;
}

// Asks the window for a reply every ~10 ms and keeps the longest wait.
class CReplyWatch
{
public:
    explicit CReplyWatch(HWND window) : m_window(window), m_longest(0), m_stop(FALSE), m_thread(NULL)
    {
        m_thread = ::CreateThread(NULL, 0, Loop, this, 0, NULL);
    }
    ~CReplyWatch() { Stop(); }
    double Stop()
    {
        if (m_thread)
        {
            ::InterlockedExchange(&m_stop, TRUE);
            ::WaitForSingleObject(m_thread, INFINITE);
            ::CloseHandle(m_thread);
            m_thread = NULL;
        }
        return m_longest;
    }

private:
    static DWORD WINAPI Loop(void* self)
    {
        CReplyWatch* watch = static_cast<CReplyWatch*>(self);
        while (!::InterlockedCompareExchange(&watch->m_stop, FALSE, FALSE))
        {
            const double start = Now();
            DWORD_PTR reply = 0;
            ::SendMessageTimeoutW(watch->m_window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &reply);
            watch->m_longest = std::max(watch->m_longest, (Now() - start) * 1000.0);
            ::Sleep(10);
        }
        return 0;
    }

    HWND m_window;
    double m_longest;
    volatile LONG m_stop;
    HANDLE m_thread;
};

struct Figures
{
    size_t entries;
    double scanSeconds;
    double bareSeconds;
    double longestReplyMs;
    SIZE_T peakWorkingSet;
};

// The process's visible dialog with this title, asked of the system by
// class and title: the dialogs are few, while a walk over every top-level
// window (each asked for its process and text) every 2 ms kept the
// server and the cores the timed scan runs on busy.
HWND FindShownDialog(DWORD pid, const wchar_t* title)
{
    for (HWND dialog = ::FindWindowExW(NULL, NULL, L"#32770", title); dialog;
         dialog = ::FindWindowExW(NULL, dialog, L"#32770", title))
    {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(dialog, &owner);
        if (owner == pid && ::IsWindowVisible(dialog))
            return dialog;
    }
    return NULL;
}

// Runs the program, presses the start button and waits for the result
// dialog. False with a reason when the window or the result never showed.
bool TimeScan(Figures& figures, std::string& failure)
{
    std::wstring command = std::wstring(L"\"") + kProgram + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, L"C:\\bench", &startup,
                          &info))
    {
        failure = "StickMedic.exe did not start";
        return false;
    }
    bool ok = false;
    HWND main = testing_util::WaitProcessWindow(info.dwProcessId, kMainTitle, 20000);
    if (!main)
        failure = "the main window did not show";
    else
    {
        ::Sleep(500);  // the window's start-up work is not part of the scan
        HWND result = NULL;
        double start = 0, end = 0;
        {
            CReplyWatch watch(main);
            start = Now();
            ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(kStartButton, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(main, kStartButton)));
            const DWORD began = ::GetTickCount();
            while (!result && ::GetTickCount() - began < kScanLimitMs)
            {
                result = FindShownDialog(info.dwProcessId, kResultTitle);
                if (!result)
                    ::Sleep(2);
            }
            end = Now();
            figures.longestReplyMs = watch.Stop();
        }
        figures.scanSeconds = end - start;
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof(memory);
        if (::GetProcessMemoryInfo(info.hProcess, &memory, sizeof(memory)))
            figures.peakWorkingSet = memory.PeakWorkingSetSize;
        if (!result)
            failure = "no result dialog within the time limit";
        else
        {
            ok = true;
            ::PostMessageW(result, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            for (int i = 0; i < 100 && ::IsWindow(result); ++i)
                ::Sleep(50);
        }
        ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    if (::WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0)
        ::TerminateProcess(info.hProcess, 1);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return ok;
}

void Check(bool ok, const char* what, std::vector<std::string>& failures)
{
    if (!ok)
        failures.push_back(what);
}

int Run(const wchar_t* file)
{
    std::vector<std::string> failures;
    Figures figures = {0, 0, 0, 0, 0};

    const std::vector<Entry> planted = List();
    const Census before = Count(planted);
    figures.entries = before.entries;
    // The mix: per hidden folder one shortcut and one program named like a
    // visible folder, 80 visible folders, the rest plain files.
    const size_t blocks = before.shortcuts;
    Check(before.entries == blocks * 200 && before.programs == blocks &&
              before.folders == blocks * 81,
          "E:\\ does not hold the mix of entries", failures);
    Check(HideShortcutFolders(planted) == blocks, "the folders of the shortcuts could not be hidden", failures);
    Check(Count(List()).hiddenFolders == blocks, "the system does not list the hidden folders as hidden",
          failures);

    double bare[3];
    for (int i = 0; i < 3; ++i)
    {
        const double start = Now();
        const size_t listed = BareListing();
        bare[i] = Now() - start;
        Check(listed >= before.entries, "the bare listing missed entries", failures);
    }
    std::sort(bare, bare + 3);
    figures.bareSeconds = bare[1];

    std::string failure;
    if (!TimeScan(figures, failure))
        failures.push_back(failure);
    else
    {
        // The scan did its job: folders shown, shortcuts gone, nothing else.
        const Census after = Count(List());
        Check(after.hiddenFolders == 0, "hidden folders are left hidden", failures);
        Check(after.shortcuts == 0, "shortcuts standing in for folders are left", failures);
        Check(after.folders == before.folders, "folders went missing", failures);
        Check(after.programs == before.programs, "files that are no programs were deleted", failures);
        Check(after.entries == before.entries - blocks, "other entries changed", failures);
    }

    FILE* out = _wfopen(file, L"w");
    if (!out)
        return 1;
    std::fprintf(out, "%u %.3f %.4f %.1f %lu\n", static_cast<unsigned>(figures.entries), figures.scanSeconds,
                 figures.bareSeconds, figures.longestReplyMs, static_cast<unsigned long>(figures.peakWorkingSet));
    for (size_t i = 0; i < failures.size(); ++i)
        std::fprintf(out, "%s\n", failures[i].c_str());
    std::fclose(out);
    return failures.empty() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"run")
        return Run(argv[2]);
    return 2;
}
