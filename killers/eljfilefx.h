// The worm known by its files: program and driver files at fixed places.
// Found, its files and what it altered are scheduled for deletion at the
// next start of Windows.
#pragma once
#include <string>
#include <vector>

#include "killers/command.h"

class CEljfilefx : public IModuleKillClientNull
{
public:
    virtual int Query();
    // Fills m_files; 1 when one of the core files exists.
    virtual int Scan();
    // Deletes the hidden-files option keys, schedules every gathered file
    // for deletion at the next start, resets root attributes; returns 1.
    virtual int Clean();

    const std::vector<std::wstring>& Files() const { return m_files; }

private:
    void AddIfExists(const std::wstring& path);
    std::vector<std::wstring> m_files;
};

// In the roots of the fixed drives, clears hidden, system and read-only
// where the worm set them, sparing the system's boot and paging files.
void ResetRootFileAttributes();

// Appends the full paths of the files in `folder` (and, with `recurse`, in
// all its subfolders) to `list`.
void CollectFiles(const std::wstring& folder, std::vector<std::wstring>& list, bool recurse);

// "%HOMEPATH%\rest" becomes the user's profile folder (as the shell gives it,
// CSIDL_PROFILE; never from the environment) + "\" + rest; any other text
// stays as it is, no variable expanded. False when the profile folder is
// unknown or not a full local path: such an entry is not looked for.
bool ResolveProfilePath(std::wstring& text);

// The roots of the fixed drives, in the system's order.
std::vector<std::wstring> ListFixedDriveRoots();

extern const char kLogKnownFileFound[];    // "扫描伪装文件夹型病毒!"
extern const char kLogKnownFileCleaned[];  // "修复病毒修改的文件属性!"
