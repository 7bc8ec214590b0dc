// The known-file worm: its files, the root attribute reset, and deletion at
// the next start of Windows (the sandbox restarts with wineboot --restart).
#include <gtest/gtest.h>

#include <algorithm>

#include "killers/eljfilefx.h"
#include "platform/file_helpers.h"
#include "platform/registry.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kMosss[] = L"C:\\Program Files\\mosss.exe";
const wchar_t kHidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
const DWORD kHsr = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;

class KnownFileTest : public ::testing::Test
{
protected:
    void SetUp() { Clear(); }
    void TearDown() { Clear(); }
    static void Clear()
    {
        const wchar_t* const paths[] = {kMosss, L"C:\\qgs.exe", L"C:\\autorun.inf", L"C:\\Recycle.exe",
                                        L"C:\\RECYCLER.EXE.txt", L"C:\\recycle.com", L"C:\\keep.txt",
                                        L"C:\\sub", L"E:\\stick.txt", L"C:\\home"};
        for (size_t i = 0; i < sizeof(paths) / sizeof(paths[0]); ++i)
            RemoveTree(paths[i]);
    }
};

std::vector<std::wstring> ScanList(int* result)
{
    CEljfilefx module;
    *result = module.Scan();
    return module.Files();
}

}  // namespace

TEST_F(KnownFileTest, NoCoreFileMeansNoInfectionWhateverTheRootsHold)
{
    ASSERT_TRUE(WriteFileBytes(L"C:\\qgs.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\autorun.inf", "[AutoRun]"));
    int result = -1;
    EXPECT_TRUE(ScanList(&result).empty());
    EXPECT_EQ(0, result);
}

TEST_F(KnownFileTest, MosssAloneIsAnInfectionAndTheRootsAreGathered)
{
    ASSERT_TRUE(WriteFileBytes(kMosss, "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qgs.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\autorun.inf", "[AutoRun]"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\Recycle.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\RECYCLER.EXE.txt", "x"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\recycle.com", "x"));
    ::CreateDirectoryW(L"C:\\sub", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\sub\\Recycle.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\Recycle.exe", "MZ"));
    int result = 0;
    const std::vector<std::wstring> files = ScanList(&result);
    EXPECT_EQ(1, result);
    ASSERT_GE(files.size(), 5u);
    EXPECT_EQ(kMosss, files[0]);
    // The hosts file of the sandbox, then C:'s root files in order.
    std::vector<std::wstring> roots(files.begin() + 1, files.end());
    std::vector<std::wstring>::iterator hosts = std::find(roots.begin(), roots.end(),
                                                          std::wstring(L"C:\\WINDOWS\\system32\\drivers\\etc\\hosts"));
    if (hosts != roots.end())
        roots.erase(hosts);
    ASSERT_EQ(4u, roots.size());
    EXPECT_EQ(L"C:\\qgs.exe", roots[0]);
    EXPECT_EQ(L"C:\\autorun.inf", roots[1]);
    std::sort(roots.begin() + 2, roots.end());
    EXPECT_EQ(L"C:\\RECYCLER.EXE.txt", roots[2]);
    EXPECT_EQ(L"C:\\Recycle.exe", roots[3]);
    ::DeleteFileW(L"E:\\Recycle.exe");
}

TEST(ExpandLeadingVar, HomePathAndItsAbsence)
{
    ::SetEnvironmentVariableW(L"HOMEPATH", L"\\Documents and Settings\\user");
    std::wstring text = L"%HOMEPATH%\\Local Settings\\History\\History.IE5\\index.dat";
    ExpandLeadingVar(text);
    EXPECT_EQ(L"\\Documents and Settings\\user\\Local Settings\\History\\History.IE5\\index.dat", text);
    ::SetEnvironmentVariableW(L"HOMEPATH", L"\\home\\");
    text = L"%HOMEPATH%\\x";
    ExpandLeadingVar(text);
    EXPECT_EQ(L"\\home\\x", text);

    const wchar_t* const unchanged[] = {L"%HOMEPATH\\x", L"C:\\%HOMEPATH%\\x", L"%%\\x", L"%UNSET_VAR%\\x", L""};
    ::SetEnvironmentVariableW(L"UNSET_VAR", NULL);
    for (int i = 0; i < 5; ++i)
    {
        text = unchanged[i];
        ExpandLeadingVar(text);
        EXPECT_EQ(unchanged[i], text);
    }
    ::SetEnvironmentVariableW(L"HOMEPATH", L"");
    text = L"%HOMEPATH%\\x";
    ExpandLeadingVar(text);
    EXPECT_EQ(L"%HOMEPATH%\\x", text);
}

TEST_F(KnownFileTest, HomePathFilesAreFoundWhereTheVariablePoints)
{
    ASSERT_TRUE(WriteFileBytes(kMosss, "MZ"));
    const std::wstring history = L"C:\\home\\Local Settings\\History\\History.IE5\\index.dat";
    CreateDirectoryChain(history.c_str());
    ASSERT_TRUE(WriteFileBytes(history, "x"));
    ::SetCurrentDirectoryW(L"C:\\");
    ::SetEnvironmentVariableW(L"HOMEPATH", L"\\home");
    int result = 0;
    std::vector<std::wstring> files = ScanList(&result);
    EXPECT_NE(files.end(), std::find(files.begin(), files.end(), L"\\home\\Local Settings\\History\\History.IE5\\index.dat"));
    ::SetEnvironmentVariableW(L"HOMEPATH", NULL);
    files = ScanList(&result);
    EXPECT_EQ(files.end(), std::find(files.begin(), files.end(), L"\\home\\Local Settings\\History\\History.IE5\\index.dat"));
}

TEST_F(KnownFileTest, RootAttributesOfFixedDrivesOnly)
{
    ASSERT_TRUE(WriteFileBytes(L"C:\\keep.txt", "x"));
    ::SetFileAttributesW(L"C:\\keep.txt", kHsr);
    ::CreateDirectoryW(L"C:\\sub", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\sub\\inner.txt", "x"));
    ::SetFileAttributesW(L"C:\\sub\\inner.txt", kHsr);
    ::SetFileAttributesW(L"C:\\sub", FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(WriteFileBytes(L"E:\\stick.txt", "x"));
    ::SetFileAttributesW(L"E:\\stick.txt", kHsr);
    ResetRootFileAttributes();
    EXPECT_EQ(0u, ::GetFileAttributesW(L"C:\\keep.txt") & kHsr);
    EXPECT_EQ(kHsr, ::GetFileAttributesW(L"C:\\sub\\inner.txt") & kHsr);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_HIDDEN), ::GetFileAttributesW(L"C:\\sub") & kHsr);
    EXPECT_EQ(kHsr, ::GetFileAttributesW(L"E:\\stick.txt") & kHsr);
    ::SetFileAttributesW(L"C:\\sub\\inner.txt", 0);
    ::SetFileAttributesW(L"E:\\stick.txt", 0);
}

TEST_F(KnownFileTest, CleanSchedulesDeletionAndTheRestartDeletes)
{
    ASSERT_TRUE(WriteFileBytes(kMosss, "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qgs.exe", "MZ"));
    ::SetFileAttributesW(L"C:\\qgs.exe", kHsr);
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kHidden));
    CEljfilefx module;
    ASSERT_EQ(1, module.Scan());
    EXPECT_EQ(1, module.Clean());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kHidden));
    EXPECT_EQ(0u, ::GetFileAttributesW(L"C:\\qgs.exe") & kHsr);
    // Still there until Windows starts again, and listed for then.
    EXPECT_TRUE(FileExists(kMosss));
    EXPECT_TRUE(FileExists(L"C:\\qgs.exe"));
    HKEY key = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                                 KEY_READ, &key));
    std::vector<wchar_t> pending(65536, L'\0');
    DWORD bytes = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
    ASSERT_EQ(0, ::RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL,
                                    reinterpret_cast<BYTE*>(&pending[0]), &bytes));
    ::RegCloseKey(key);
    std::vector<std::wstring> entries;
    for (const wchar_t* p = &pending[0]; *p || p[1]; p += lstrlenW(p) + 1)
        entries.push_back(p);
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), L"\\??\\C:\\Program Files\\mosss.exe"));
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), L"\\??\\C:\\qgs.exe"));

    // The next start of Windows: the sandbox's wineboot processes the list.
    std::wstring command = L"wineboot.exe --restart";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(info.hProcess, 60000));
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    EXPECT_FALSE(FileExists(kMosss));
    EXPECT_FALSE(FileExists(L"C:\\qgs.exe"));
}

TEST_F(KnownFileTest, TheSystemsBootAndPagingFilesKeepTheirAttributes)
{
    const wchar_t* const system[] = {L"C:\\bootmgr", L"C:\\BOOTNXT", L"C:\\pagefile.sys", L"C:\\hiberfil.sys"};
    for (int i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(WriteFileBytes(system[i], "system"));
        ASSERT_TRUE(::SetFileAttributesW(system[i], kHsr));
    }
    // A file the worm hid, with its archive bit, and one it never touched.
    ASSERT_TRUE(WriteFileBytes(L"C:\\keep.txt", "x"));
    ASSERT_TRUE(::SetFileAttributesW(L"C:\\keep.txt", kHsr | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qgs.exe", "x"));
    ASSERT_TRUE(::SetFileAttributesW(L"C:\\qgs.exe", FILE_ATTRIBUTE_ARCHIVE));
    ResetRootFileAttributes();
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(kHsr, ::GetFileAttributesW(system[i]) & kHsr) << i;
        ::SetFileAttributesW(system[i], FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(system[i]);
    }
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), ::GetFileAttributesW(L"C:\\keep.txt"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), ::GetFileAttributesW(L"C:\\qgs.exe"));
}
