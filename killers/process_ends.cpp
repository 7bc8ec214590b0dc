#include "killers/process_ends.h"

#include <windows.h>
#include <shlwapi.h>

#include "platform/process.h"
#include "undo/change_gate.h"

namespace {

void EndIfPathContains(HANDLE process, const wchar_t* imagePath, void* context)
{
    if (::StrStrIW(imagePath, static_cast<const wchar_t*>(context)))
        GateEndProcess(process, imagePath);
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

int TerminateProcessesByPath(const wchar_t* pattern)
{
    ForEachOtherProcess(EndIfPathContains, const_cast<wchar_t*>(pattern));
    return 0;
}

int EndProcessesRunning(const std::wstring& file)
{
    RunningFile running = {&file, 0};
    if (!file.empty())
        ForEachOtherProcess(EndIfRunsFile, &running);
    return running.ended;
}
