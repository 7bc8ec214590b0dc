// The known-file worm: its files, the root attribute reset, and deletion at
// the next start of Windows (the sandbox restarts with wineboot --restart).
#include <gtest/gtest.h>

#include <shlobj.h>

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

// The profile folder as the system knows it, with a trailing backslash.
std::wstring ProfileSlash()
{
    wchar_t profile[MAX_PATH] = {0};
    EXPECT_EQ(S_OK, ::SHGetFolderPathW(NULL, CSIDL_PROFILE, NULL, SHGFP_TYPE_CURRENT, profile));
    std::wstring folder(profile);
    return folder.empty() || folder[folder.size() - 1] == L'\\' ? folder : folder + L"\\";
}

// What a user may set for the program it starts elevated: a folder without
// a drive (read against the current one, the stick), another machine.
const wchar_t* const kHostileHomePaths[] = {L"\\home", L"\\\\host\\share", L"\\\\?\\UNC\\host\\share"};

TEST(ResolveProfilePath, TheProfileOfTheSystemWhateverTheEnvironmentSays)
{
    const std::wstring profile = ProfileSlash();
    ASSERT_EQ(L':', profile[1]);
    for (size_t i = 0; i < sizeof(kHostileHomePaths) / sizeof(kHostileHomePaths[0]); ++i)
    {
        ::SetEnvironmentVariableW(L"HOMEPATH", kHostileHomePaths[i]);
        ::SetEnvironmentVariableW(L"HOMEDRIVE", L"E:");
        std::wstring text = L"%HOMEPATH%\\Local Settings\\History\\History.IE5\\index.dat";
        EXPECT_TRUE(ResolveProfilePath(text));
        EXPECT_EQ(profile + L"Local Settings\\History\\History.IE5\\index.dat", text) << i;
        text = L"%homepath%\\x";
        EXPECT_TRUE(ResolveProfilePath(text));
        EXPECT_EQ(profile + L"x", text) << i;
    }
    ::SetEnvironmentVariableW(L"HOMEPATH", NULL);
    ::SetEnvironmentVariableW(L"HOMEDRIVE", NULL);

    // No other variable is expanded; other texts stay as they are.
    ::SetEnvironmentVariableW(L"STICKMEDIC_VAR", L"\\\\host\\share");
    const wchar_t* const unchanged[] = {L"%HOMEPATH\\x", L"C:\\%HOMEPATH%\\x", L"%%\\x", L"%STICKMEDIC_VAR%\\x",
                                        L"%windir%\\x", L"%HOMEPATH%", L""};
    for (size_t i = 0; i < sizeof(unchanged) / sizeof(unchanged[0]); ++i)
    {
        std::wstring text = unchanged[i];
        EXPECT_TRUE(ResolveProfilePath(text));
        EXPECT_EQ(unchanged[i], text) << i;
    }
    ::SetEnvironmentVariableW(L"STICKMEDIC_VAR", NULL);
}

TEST_F(KnownFileTest, ProfileFilesAreFoundInTheProfileAndNeverWhereTheEnvironmentPoints)
{
    ASSERT_TRUE(WriteFileBytes(kMosss, "MZ"));
    const std::wstring tail = L"Local Settings\\History\\History.IE5\\index.dat";
    const std::wstring inProfile = ProfileSlash() + tail;
    CreateDirectoryChain(inProfile.c_str());
    ASSERT_TRUE(WriteFileBytes(inProfile, "x"));
    CreateDirectoryChain((L"C:\\home\\" + tail).c_str());
    ASSERT_TRUE(WriteFileBytes(L"C:\\home\\" + tail, "x"));
    ::SetCurrentDirectoryW(L"C:\\");
    for (size_t i = 0; i < sizeof(kHostileHomePaths) / sizeof(kHostileHomePaths[0]); ++i)
    {
        ::SetEnvironmentVariableW(L"HOMEPATH", kHostileHomePaths[i]);
        int result = 0;
        const std::vector<std::wstring> files = ScanList(&result);
        EXPECT_EQ(1, result);
        EXPECT_NE(files.end(), std::find(files.begin(), files.end(), inProfile)) << i;
        for (size_t f = 0; f < files.size(); ++f)
        {
            EXPECT_EQ(L':', files[f][1]) << i << " " << f;  // full local paths only
            EXPECT_EQ(std::wstring::npos, files[f].find(L"\\home\\")) << i << " " << f;
        }
    }
    ::SetEnvironmentVariableW(L"HOMEPATH", NULL);
    ::DeleteFileW(inProfile.c_str());
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
