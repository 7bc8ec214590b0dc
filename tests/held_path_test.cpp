// Changes through held folders: a folder on the way swapped for another
// between the check and the change (standing in for a junction, which Wine
// does not make) never leads the change, or a write, into what was swapped
// in. Windows refuses to rename a folder that is held; Wine lets it happen,
// and the check just before the change has to catch it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/held_path.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"

using namespace testing_util;

namespace {

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The folder the hook swaps, once: renamed aside, and a new one of the
// same name made with an item of each name the cases change.
const wchar_t* g_folder = L"";
bool g_swapped = false;

void SwapFolder(const std::wstring&)
{
    SetHeldPathHook(NULL);
    const std::wstring folder = g_folder;
    g_swapped = ::MoveFileW(folder.c_str(), (folder + L".aside").c_str()) != FALSE;
    if (!g_swapped)
        return;
    ::CreateDirectoryW(folder.c_str(), NULL);
    WriteFileBytes(folder + L"\\x.vbs", "elsewhere");
    ::SetFileAttributesW((folder + L"\\x.vbs").c_str(), kHiddenSystem);
    ::CreateDirectoryW((folder + L"\\empty").c_str(), NULL);
}

bool DeleteScript() { return GateDeleteFile(L"\\\\?\\E:\\sub\\x.vbs", kKeepOrLeave); }
bool RemoveEmpty() { return GateRemoveFolder(L"\\\\?\\E:\\sub\\empty"); }
bool ShowScript() { return GateSetAttributes(L"\\\\?\\E:\\sub\\x.vbs", FILE_ATTRIBUTE_NORMAL); }

struct HeldCase
{
    const char* name;
    bool (*change)();
    const wchar_t* item;  // what the change is made to, in E:\sub
};

const HeldCase kCases[] = {
    {"deletion", DeleteScript, L"x.vbs"},
    {"folder removal", RemoveEmpty, L"empty"},
    {"attribute change", ShowScript, L"x.vbs"},
};

void PlantSub()
{
    RemoveTree(L"E:\\sub");
    RemoveTree(L"E:\\sub.aside");
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\sub", NULL));
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\sub\\empty", NULL));
    ASSERT_TRUE(WriteFileBytes(L"E:\\sub\\x.vbs", "the worm's"));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\sub\\x.vbs", kHiddenSystem));
}

}  // namespace

TEST(HeldChanges, AFolderSwappedBetweenCheckAndChangeLeadsTheChangeNowhereElse)
{
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i)
    {
        const HeldCase& held = kCases[i];
        PlantSub();
        g_folder = L"E:\\sub";
        g_swapped = false;
        SetHeldPathHook(SwapFolder);
        const bool made = held.change();
        SetHeldPathHook(NULL);
        // What was swapped in is untouched.
        EXPECT_EQ("elsewhere", ReadFileBytes(L"E:\\sub\\x.vbs")) << held.name;
        EXPECT_EQ(kHiddenSystem, ::GetFileAttributesW(L"E:\\sub\\x.vbs") & kHiddenSystem) << held.name;
        EXPECT_TRUE(FileExists(L"E:\\sub\\empty")) << held.name;
        if (g_swapped)
        {
            EXPECT_FALSE(made) << held.name;
            EXPECT_TRUE(FileExists(std::wstring(L"E:\\sub.aside\\") + held.item)) << held.name;
            EXPECT_EQ(kHiddenSystem, ::GetFileAttributesW(L"E:\\sub.aside\\x.vbs") & kHiddenSystem) << held.name;
        }
        else
        {
            EXPECT_TRUE(made) << held.name << ": the held folder stays, and the change is made in it";
        }
    }
    RemoveTree(L"E:\\sub");
    RemoveTree(L"E:\\sub.aside");
}

TEST(HeldChanges, WithoutASwapEachChangeIsMadeThroughItsHandle)
{
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i)
    {
        PlantSub();
        EXPECT_TRUE(kCases[i].change()) << kCases[i].name;
    }
    EXPECT_TRUE(FileExists(L"E:\\sub\\x.vbs"));
    EXPECT_EQ(DWORD(0), ::GetFileAttributesW(L"E:\\sub\\x.vbs") & kHiddenSystem) << "shown";
    PlantSub();
    EXPECT_TRUE(DeleteScript());
    EXPECT_TRUE(RemoveEmpty());
    EXPECT_FALSE(FileExists(L"E:\\sub\\x.vbs"));
    EXPECT_FALSE(FileExists(L"E:\\sub\\empty"));
    // A read-only file goes too; a folder with something in it does not.
    ASSERT_TRUE(WriteFileBytes(L"E:\\sub\\x.vbs", "again"));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\sub\\x.vbs", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(DeleteScript());
    EXPECT_FALSE(FileExists(L"E:\\sub\\x.vbs"));
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\sub\\empty", NULL));
    ASSERT_TRUE(WriteFileBytes(L"E:\\sub\\empty\\kept.txt", "mine"));
    EXPECT_FALSE(RemoveEmpty());
    EXPECT_EQ("mine", ReadFileBytes(L"E:\\sub\\empty\\kept.txt"));
    RemoveTree(L"E:\\sub");
}

TEST(HeldWrites, AFileIsWrittenOnlyIntoTheFolderThatWasChecked)
{
    // A /log file, or a script given to the user, in a folder the user
    // can swap while the program writes.
    RemoveTree(L"C:\\held");
    RemoveTree(L"C:\\held.aside");
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\held", NULL));
    g_folder = L"C:\\held";
    g_swapped = false;
    SetHeldPathHook(SwapFolder);
    const DWORD written = WriteFreshFile(L"C:\\held\\scan.txt", "log", 3);
    SetHeldPathHook(NULL);
    if (g_swapped)
    {
        EXPECT_NE(DWORD(ERROR_SUCCESS), written);
        EXPECT_FALSE(FileExists(L"C:\\held\\scan.txt")) << "nothing written into what was swapped in";
    }
    else
    {
        EXPECT_EQ(DWORD(ERROR_SUCCESS), written);
        EXPECT_EQ("log", ReadFileBytes(L"C:\\held\\scan.txt"));
    }
    // Not a path on a drive: refused.
    EXPECT_NE(DWORD(ERROR_SUCCESS), WriteFreshFile(L"\\\\127.0.0.1\\c$\\held\\scan.txt", "log", 3));
    RemoveTree(L"C:\\held");
    RemoveTree(L"C:\\held.aside");
}

// Where a 32-bit process's path to a system folder leads: System32 to
// SysWOW64 but for the folders WOW64 never redirects, Sysnative to System32,
// every other path as it is.
TEST(HeldPaths, TheSystemFoldersAsWow64RedirectsThem)
{
    wchar_t buffer[MAX_PATH] = {0};
    ASSERT_NE(0u, ::GetSystemWindowsDirectoryW(buffer, MAX_PATH));
    std::wstring windows = buffer;
    if (windows[windows.size() - 1] != L'\\')
        windows += L'\\';
    const struct
    {
        const wchar_t* path;
        const wchar_t* redirected;
    } rows[] = {
        {L"System32\\wscript.exe", L"SysWOW64\\wscript.exe"},
        {L"system32", L"SysWOW64"},
        {L"SYSTEM32\\Tasks\\x", L"SysWOW64\\Tasks\\x"},
        {L"Sysnative\\wscript.exe", L"System32\\wscript.exe"},
        {L"System32\\drivers\\etc\\hosts", L"System32\\drivers\\etc\\hosts"},
        {L"System32\\drivers\\x.sys", L"SysWOW64\\drivers\\x.sys"},
        {L"System32\\spool\\x", L"System32\\spool\\x"},
        {L"System32\\catroot2", L"System32\\catroot2"},
        {L"System32\\catroot2x\\y", L"SysWOW64\\catroot2x\\y"},
        {L"System32\\LogFiles\\x.log", L"System32\\LogFiles\\x.log"},
        {L"System32\\DriverStore\\x", L"System32\\DriverStore\\x"},
        {L"System32x\\y", L"System32x\\y"},
        {L"Temp\\System32\\y", L"Temp\\System32\\y"},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        EXPECT_EQ(windows + rows[i].redirected, Wow64RedirectedPath(windows + rows[i].path)) << rows[i].path;
        EXPECT_EQ(L"\\\\?\\" + windows + rows[i].redirected, Wow64RedirectedPath(L"\\\\?\\" + windows + rows[i].path))
            << rows[i].path;
    }
    EXPECT_EQ(L"D:\\System32\\x", Wow64RedirectedPath(L"D:\\System32\\x"));
}

// A path that names no drive cannot be held: its change is not made.
TEST(HeldChanges, APathOnNoDriveIsLeftAsItIs)
{
    const wchar_t* const paths[] = {L"\\\\?\\UNC\\localhost\\c$\\tests\\x.txt",
                                    L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x.txt"};
    for (size_t i = 0; i < sizeof(paths) / sizeof(paths[0]); ++i)
    {
        EXPECT_FALSE(GateDeleteFile(paths[i], kDeleteUncopied)) << paths[i];
        EXPECT_EQ(DWORD(ERROR_INVALID_NAME), ::GetLastError()) << paths[i];
    }
}

namespace {

// The root handle a chain made on another thread holds for `path`.
struct OtherThreadChain
{
    const wchar_t* path;
    HANDLE root;
    DWORD error;
};

DWORD WINAPI OpenOnOtherThread(void* parameter)
{
    OtherThreadChain* other = static_cast<OtherThreadChain*>(parameter);
    CFolderChain chain;
    other->error = chain.Open(other->path, false, false);
    other->root = chain.Last();
    return 0;
}

}  // namespace

TEST(SharedRoots, TheChainsOfTheScopesThreadShareEachRootAndChangeThroughIt)
{
    ASSERT_TRUE(WriteFileBytes(L"E:\\shared.vbs", "the worm's"));
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\shown", NULL));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\shown", kHiddenSystem));
    CFolderChain first, second, afterwards;
    {
        CSharedRoots roots;
        ASSERT_EQ(DWORD(ERROR_SUCCESS), first.Open(L"\\\\?\\E:\\one.txt", false, false));
        ASSERT_EQ(DWORD(ERROR_SUCCESS), second.Open(L"E:\\two.txt", false, false));
        EXPECT_TRUE(first.Last() != NULL);
        EXPECT_EQ(first.Last(), second.Last()) << "one handle of E:\\ for the scope";
        {
            CSharedRoots inner;  // shares the outer scope's roots, none of its own
            CFolderChain nested;
            ASSERT_EQ(DWORD(ERROR_SUCCESS), nested.Open(L"E:\\three.txt", false, false));
            EXPECT_EQ(first.Last(), nested.Last());
        }
        // Another thread opens its own.
        OtherThreadChain other = {L"E:\\four.txt", NULL, ERROR_GEN_FAILURE};
        CHandle thread(::CreateThread(NULL, 0, OpenOnOtherThread, &other, 0, NULL));
        ASSERT_TRUE(thread.IsValid());
        ::WaitForSingleObject(thread, INFINITE);
        EXPECT_EQ(DWORD(ERROR_SUCCESS), other.error);
        EXPECT_TRUE(other.root != first.Last());
        // Changes of root entries go through the shared root.
        EXPECT_TRUE(GateDeleteFile(L"E:\\shared.vbs", kDeleteUncopied));
        EXPECT_TRUE(GateSetAttributes(L"E:\\shown", FILE_ATTRIBUTE_DIRECTORY));
    }
    EXPECT_FALSE(FileExists(L"E:\\shared.vbs"));
    EXPECT_EQ(DWORD(0), ::GetFileAttributesW(L"E:\\shown") & kHiddenSystem);
    // The scope gone, a chain opens the root afresh; the first still holds
    // the one it shared.
    ASSERT_EQ(DWORD(ERROR_SUCCESS), afterwards.Open(L"E:\\five.txt", false, false));
    EXPECT_TRUE(afterwards.Last() != first.Last());
    CHandle created;
    EXPECT_EQ(DWORD(ERROR_SUCCESS), first.OpenIn(L"made.txt", GENERIC_WRITE, 0, kCreateNew, kNonDirectoryOnly, created));
    created.Close();
    EXPECT_TRUE(FileExists(L"E:\\made.txt"));
    ::DeleteFileW(L"E:\\made.txt");
    ::RemoveDirectoryW(L"E:\\shown");
}
