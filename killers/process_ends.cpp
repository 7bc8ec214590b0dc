#include "killers/process_ends.h"

#include <windows.h>
#include <shlwapi.h>

#include "platform/process.h"
#include "undo/change_gate.h"

namespace {

struct PathPatterns
{
    const wchar_t* const* patterns;
    size_t count;
};

void EndIfPathContainsAny(HANDLE process, const wchar_t* imagePath, void* context)
{
    const PathPatterns* wanted = static_cast<const PathPatterns*>(context);
    for (size_t i = 0; i < wanted->count; ++i)
    {
        if (::StrStrIW(imagePath, wanted->patterns[i]))
        {
            GateEndProcess(process, imagePath);
            return;
        }
    }
}

struct RunningFile
{
    const std::wstring* file;
    int ended;
};

void EndIfRunsFile(HANDLE process, const wchar_t* imagePath, void* context)
{
    RunningFile* running = static_cast<RunningFile*>(context);
    if (ProcessRunsFile(process, imagePath, *running->file) && GateEndProcess(process, imagePath))
        ++running->ended;
}

}  // namespace

int TerminateProcessesByPath(const wchar_t* pattern) { return TerminateProcessesByPaths(&pattern, 1); }

int TerminateProcessesByPaths(const wchar_t* const* patterns, size_t count)
{
    PathPatterns wanted = {patterns, count};
    ForEachOtherProcess(EndIfPathContainsAny, &wanted);
    return 0;
}

int EndProcessesRunning(const std::wstring& file)
{
    RunningFile running = {&file, 0};
    if (!file.empty())
        ForEachOtherProcess(EndIfRunsFile, &running);
    return running.ended;
}
