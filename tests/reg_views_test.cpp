// The registry views and system folders of the sandbox's Windows: one of
// each in a 32-bit sandbox, two in a 64-bit one. The same program runs in
// both; what the system really does is checked independently, by writing
// in one view (or folder) and looking in the other.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/reg_views.h"
#include "platform/registry.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kTestKey[] = L"SOFTWARE\\StickMedicViewsTest";

typedef BOOL(WINAPI* PFNWOW64DISABLE)(PVOID*);
typedef BOOL(WINAPI* PFNWOW64REVERT)(PVOID);

std::wstring WindowsDir()
{
    wchar_t buffer[MAX_PATH] = {0};
    ::GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer) + L"\\";
}

// Whether this Windows is a 64-bit one, told by the test's own means: it has
// a SysWOW64 folder, and a 32-bit process there gets the environment
// variable WOW64 gives it.
bool SandboxIs64Bit()
{
    const DWORD attributes = ::GetFileAttributesW((WindowsDir() + L"SysWOW64").c_str());
    const bool wow64Folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    wchar_t buffer[64] = {0};
    const bool wow64Variable = ::GetEnvironmentVariableW(L"PROCESSOR_ARCHITEW6432", buffer, 64) > 0;
    EXPECT_EQ(wow64Folder && sizeof(void*) == 4, wow64Variable);
    return wow64Folder;
}

// Writes a file into the native system folder, as a 64-bit program would.
bool WriteNativeSystemFile(const std::wstring& name, const std::string& bytes)
{
    std::wstring dir;
    if (!GetNativeSystemDirSlash(dir))
        return false;
    return WriteFileBytes(dir + name, bytes);
}

class RegViewsTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        m_views = SystemRegViews();
        for (size_t i = 0; i < m_views.count; ++i)
            DeleteKey(HKEY_LOCAL_MACHINE, kTestKey, m_views.flags[i]);
    }
    void TearDown()
    {
        for (size_t i = 0; i < m_views.count; ++i)
            DeleteKey(HKEY_LOCAL_MACHINE, kTestKey, m_views.flags[i]);
    }
    RegViewList m_views;
};

}  // namespace

TEST_F(RegViewsTest, OneViewWithoutFlagsOn32BitWindowsNativeFirstOn64Bit)
{
    const RegViewList one = RegViewsOf(false);
    ASSERT_EQ(1u, one.count);
    EXPECT_EQ(0u, one.flags[0]);
    const RegViewList two = RegViewsOf(true);
    ASSERT_EQ(2u, two.count);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), two.flags[0]);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), two.flags[1]);

    EXPECT_EQ(SandboxIs64Bit(), HasTwoRegViews());
    EXPECT_EQ(SandboxIs64Bit() && sizeof(void*) == 4, IsWow64Process32());
    EXPECT_EQ(SandboxIs64Bit() ? 2u : 1u, m_views.count);
    if (!SandboxIs64Bit())
    {
        EXPECT_EQ(0u, m_views.flags[0]);
    }
    EXPECT_STREQ(L"64", RegViewName(KEY_WOW64_64KEY));
    EXPECT_STREQ(L"32", RegViewName(KEY_WOW64_32KEY));
    EXPECT_STREQ(L"", RegViewName(0));
}

TEST_F(RegViewsTest, EachViewKeepsItsOwnValueAndTheProcessSeesItsOwn)
{
    for (size_t i = 0; i < m_views.count; ++i)
        ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, kTestKey, L"view", static_cast<DWORD>(i + 1), m_views.flags[i]));
    for (size_t i = 0; i < m_views.count; ++i)
    {
        DWORD value = 0;
        ASSERT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, kTestKey, L"view", value, m_views.flags[i]));
        EXPECT_EQ(i + 1, value) << i;
    }
    // Without a flag the process reads its own view: the 32-bit one under
    // WOW64, the native one for a 64-bit program, the only one otherwise.
    DWORD own = 0;
    ASSERT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, kTestKey, L"view", own));
    EXPECT_EQ(IsWow64Process32() ? 2u : 1u, own);
}

TEST_F(RegViewsTest, TreeDeletionStaysInItsView)
{
    for (size_t i = 0; i < m_views.count; ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\a\\b", L"x", L"1", REG_SZ,
                               m_views.flags[i]));
        ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\c", m_views.flags[i]));
    }
    HKEY parent = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS | m_views.flags[0],
                                             &parent));
    EXPECT_EQ(ERROR_SUCCESS, DeleteRegKeyTree(parent, L"Tree", m_views.flags[0]));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegKeyTree(parent, L"Tree", m_views.flags[0]));
    ::RegCloseKey(parent);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree", m_views.flags[0]));
    if (m_views.count == 2)
    {
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\a\\b", m_views.flags[1]));
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\c", m_views.flags[1]));
    }
}

TEST(RegViewKeys, RedirectedAndSharedKeysOfTheCleaningChecks)
{
    struct Row
    {
        HKEY root;
        const wchar_t* path;
        bool redirected;
    };
    const Row rows[] = {
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", true},
        {HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL", true},
        {HKEY_LOCAL_MACHINE,
         L"software\\microsoft\\windows\\currentversion\\explorer\\MountPoints2\\"
         L"{ca5dc9df-c6e5-11dd-8b20-806d6172696f}",
         true},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\shell", true},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID", true},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command", false},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSIDs", false},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", false},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", false},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Microsoft", false},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE", true},
        {HKEY_LOCAL_MACHINE, L"SOFTWAREX\\Microsoft", false},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", false},
        {HKEY_CLASSES_ROOT, L"CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}", true},
        {HKEY_CLASSES_ROOT, L".exe", false},
        {HKEY_CLASSES_ROOT, L"Drive\\shell", false},
        {HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2", false},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        EXPECT_EQ(rows[i].redirected, IsRedirectedKey(rows[i].root, rows[i].path)) << i;
        const RegViewList views = RegViewsForKey(rows[i].root, rows[i].path);
        if (rows[i].redirected)
        {
            EXPECT_EQ(SystemRegViews().count, views.count) << i;
        }
        else
        {
            EXPECT_EQ(1u, views.count) << i;
            EXPECT_EQ(0u, views.flags[0]) << i;
        }
    }
}

// What the sandbox's Windows does with the keys the checks use: a value
// written in the native view is seen in the 32-bit one exactly when the key
// is shared.
TEST(RegViewKeys, TheSystemRedirectsWhatTheTableSays)
{
    const RegViewList views = SystemRegViews();
    if (views.count < 2)
        return;  // one view: nothing to tell apart
    const wchar_t* const keys[] = {
        L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL",
        L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}",
        L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command",
        L"SOFTWARE\\Classes\\.exe",
    };
    // Wine shares class keys between the views only where its 32-bit half
    // is installed; without it the 32-bit classes are a tree of their own.
    const bool classesShared = ThirtyTwoBitProgramsRun();
    if (!classesShared)
        std::printf("note: no 32-bit Wine here: the shared class keys are not checked against it\n");
    for (size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i)
    {
        if (!classesShared && std::wstring(keys[i]).compare(0, 17, L"SOFTWARE\\Classes\\") == 0 &&
            !IsRedirectedKey(HKEY_LOCAL_MACHINE, keys[i]))
            continue;
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, keys[i], L"StickMedicView", L"native", REG_SZ, views.flags[0]));
        std::wstring seen;
        const bool shared =
            GetRegText(HKEY_LOCAL_MACHINE, keys[i], L"StickMedicView", seen, NULL, views.flags[1]) && seen == L"native";
        EXPECT_EQ(!shared, IsRedirectedKey(HKEY_LOCAL_MACHINE, keys[i])) << i;
        HKEY key = NULL;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys[i], 0, KEY_SET_VALUE | views.flags[0], &key));
        ::RegDeleteValueW(key, L"StickMedicView");
        ::RegCloseKey(key);
    }
}

TEST(SystemFolders, SystemAndProgramFilesFoldersOfEachKind)
{
    const std::vector<std::wstring> system = SystemDirsSlash();
    const std::vector<std::wstring> programs = ProgramFilesDirsSlash();
    const std::wstring windir = WindowsDir();
    ASSERT_EQ(SandboxIs64Bit() ? 2u : 1u, system.size());
    ASSERT_EQ(SandboxIs64Bit() ? 2u : 1u, programs.size());
    EXPECT_EQ(0, ::lstrcmpiW((windir + L"system32\\").c_str(), system[0].c_str())) << system[0];
    if (SandboxIs64Bit())
    {
        EXPECT_EQ(0, ::lstrcmpiW((windir + L"syswow64\\").c_str(), system[1].c_str())) << system[1];
        EXPECT_EQ(0, ::lstrcmpiW(L"C:\\Program Files\\", programs[0].c_str())) << programs[0];
        EXPECT_EQ(0, ::lstrcmpiW(L"C:\\Program Files (x86)\\", programs[1].c_str())) << programs[1];
    }
    else
    {
        EXPECT_EQ(0, ::lstrcmpiW(L"C:\\Program Files\\", programs[0].c_str())) << programs[0];
    }
    std::wstring native;
    ASSERT_TRUE(GetNativeSystemDirSlash(native));
    EXPECT_EQ(0, ::lstrcmpiW((windir + (IsWow64Process32() ? L"Sysnative\\" : L"system32\\")).c_str(),
                             native.c_str()))
        << native;
}

TEST(SystemFolders, ProgramFilesFoldersAreTheSystemsWhateverTheEnvironmentSays)
{
    const std::vector<std::wstring> before = ProgramFilesDirsSlash();
    ASSERT_FALSE(before.empty());
    // What a user may set for the program it starts elevated: a folder of
    // its own, another machine.
    const wchar_t* const names[] = {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"};
    const wchar_t* const values[] = {L"C:\\users\\bob\\pf", L"\\\\host\\share\\pf"};
    for (size_t v = 0; v < sizeof(values) / sizeof(values[0]); ++v)
    {
        std::vector<std::wstring> saved;
        for (size_t n = 0; n < sizeof(names) / sizeof(names[0]); ++n)
        {
            wchar_t value[MAX_PATH] = {0};
            ::GetEnvironmentVariableW(names[n], value, MAX_PATH);
            saved.push_back(value);
            ASSERT_TRUE(::SetEnvironmentVariableW(names[n], values[v]));
        }
        EXPECT_EQ(before, ProgramFilesDirsSlash()) << v;
        for (size_t n = 0; n < sizeof(names) / sizeof(names[0]); ++n)
            ::SetEnvironmentVariableW(names[n], saved[n].empty() ? NULL : saved[n].c_str());
    }
}

TEST(SystemFolders, NativeProbeSeesTheNativeSystemFolder)
{
    const std::vector<std::wstring> system = SystemDirsSlash();
    ASSERT_FALSE(system.empty());
    // Only in the native folder.
    ASSERT_TRUE(WriteNativeSystemFile(L"viewsnative.exe", TinyImage(512)));
    EXPECT_TRUE(ProbeNativeFile((system[0] + L"viewsnative.exe").c_str()));
    EXPECT_EQ(!IsWow64Process32(), FileExists(system[0] + L"viewsnative.exe"));
    // Redirection is back on for everything else.
    EXPECT_FALSE(ProbeNativeFile((system[0] + L"viewsmissing.exe").c_str()));
    EXPECT_FALSE(ProbeNativeFile((system[0] + L"drivers").c_str()));  // a folder
    if (system.size() == 2)
    {
        // Only in the 32-bit folder: the native probe of the System32 name misses it.
        ASSERT_TRUE(WriteFileBytes(system[1] + L"views32.exe", TinyImage(512)));
        EXPECT_FALSE(ProbeNativeFile((system[0] + L"views32.exe").c_str()));
        EXPECT_TRUE(ProbeNativeFile((system[1] + L"views32.exe").c_str()));
        ::DeleteFileW((system[1] + L"views32.exe").c_str());
    }
    std::wstring native;
    ASSERT_TRUE(GetNativeSystemDirSlash(native));
    EXPECT_TRUE(::DeleteFileW((native + L"viewsnative.exe").c_str()));
}

TEST(NativeRegEdit, ImportsIntoTheNativeViewOnly)
{
    const std::wstring script = L"C:\\tests\\views.reg";
    ASSERT_TRUE(WriteFileBytes(script, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\StickMedicViewsImport]\r\n"
                                       "\"by\"=\"native\"\r\n\r\n"));
    // On a 32-bit Windows the one editor is the native one.
    const RegViewList views = SystemRegViews();
    ASSERT_TRUE(StartRegEditInView(script, true));
    // The editor runs on its own; wait for its key (bounded, not timed).
    bool imported = false;
    for (int i = 0; i < 300 && !imported; ++i)
    {
        imported = KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\StickMedicViewsImport", views.flags[0]);
        if (!imported)
            ::Sleep(100);
    }
    ASSERT_TRUE(imported);
    std::wstring by;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\StickMedicViewsImport", L"by", by, NULL, views.flags[0]));
    EXPECT_EQ(L"native", by);
    if (views.count == 2)
    {
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\StickMedicViewsImport", views.flags[1]));
    }
}
