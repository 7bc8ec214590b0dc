// Launcher shortcuts on a stick that holds junctions and symbolic links
// (tests/with_stick_links.sh makes them; each points into C:\elsewhere):
// nothing behind a link is looked at, read, listed, changed or deleted, and
// no link itself is read or deleted. Wine lists a link to a folder as a
// reparse point, as Windows does, but a link to a file as the file: for
// those two links a listing hook adds what Windows would show.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>
#include <vector>

#include "killers/launcher_killer.h"
#include "killers/scan_log.h"
#include "tests/testing.h"
#include "undo/change_gate.h"

using namespace testing_util;

namespace {

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
const wchar_t kWscript[] = L"C:\\windows\\system32\\wscript.exe";
const wchar_t kCmd[] = L"C:\\windows\\system32\\cmd.exe";

DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

// The links to files, as Windows lists them.
void ShowFileLinks(const std::wstring& folder, std::vector<DirEntry>& entries)
{
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if ((::lstrcmpiW(folder.c_str(), L"E:\\") == 0 && ::lstrcmpiW(entries[i].name.c_str(), L"x.lnk") == 0) ||
            (::lstrcmpiW(folder.c_str(), L"E:\\hid\\") == 0 && ::lstrcmpiW(entries[i].name.c_str(), L"lib.dll") == 0))
            entries[i].attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
}

// Lets every change be made and writes down the path of each.
class CRecordPaths : public IChangeRecorder
{
public:
    virtual Verdict Before(const ChangeRequest& change)
    {
        m_paths.push_back(change.path);
        return kMake;
    }
    virtual void After(const ChangeRequest&, bool) {}
    std::vector<std::wstring> m_paths;
};

class LinkedStickTest : public ::testing::Test
{
protected:
    static void SetUpTestCase() { ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED); }
    static void TearDownTestCase() { ::CoUninitialize(); }

    void SetUp()
    {
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
        // What the links lead to: a drive root's boot file, a side-loaded
        // program with its libraries, a worm's launcher.
        Elsewhere(L"bootmgr", TinyImage(4096));
        Elsewhere(L"Kingston.exe", TinyImage(8192));
        Elsewhere(L"wsc.dll", TinyImage(8192));
        Elsewhere(L"lib.dll", TinyImage(8192));
        Elsewhere(L"u1.vbs", "WScript.Echo 1");
        ASSERT_TRUE(SaveShortcut(L"C:\\elsewhere\\x.lnk", kCmd, L"/c start y.vbe&exit"));
        ASSERT_TRUE(::SetFileAttributesW(L"C:\\elsewhere\\x.lnk", kHiddenSystem));
        ASSERT_TRUE(::SetFileAttributesW(L"E:\\sysvolume", kHiddenSystem));
        ASSERT_TRUE(::SetFileAttributesW(L"E:\\hid", kHiddenSystem));
        SetChangeRecorder(&m_recorder);
        SetListingHook(ShowFileLinks);
    }
    void TearDown()
    {
        SetListingHook(NULL);
        SetChangeRecorder(NULL);
        for (size_t i = 0; i < m_made.size(); ++i)
        {
            ::SetFileAttributesW(m_made[i].c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(m_made[i].c_str());
        }
    }

    void Elsewhere(const std::wstring& name, const std::string& bytes)
    {
        const std::wstring path = L"C:\\elsewhere\\" + name;
        ASSERT_TRUE(WriteFileBytes(path, bytes)) << name.c_str();
        ASSERT_TRUE(::SetFileAttributesW(path.c_str(), kHiddenSystem)) << name.c_str();
        m_made.push_back(path);
    }
    void OnStick(const std::wstring& name, const std::string& bytes, DWORD attributes)
    {
        ASSERT_TRUE(MakeStickFile(name, bytes, attributes)) << name.c_str();
        m_made.push_back(L"E:\\" + name);
    }
    void StickShortcut(const std::wstring& name, const std::wstring& target, const std::wstring& arguments)
    {
        ASSERT_TRUE(SaveShortcut(L"E:\\" + name, target, arguments)) << name.c_str();
        m_made.push_back(L"E:\\" + name);
    }
    static void ExpectElsewhereUntouched()
    {
        const wchar_t* const names[] = {L"bootmgr", L"Kingston.exe", L"wsc.dll", L"lib.dll", L"u1.vbs", L"x.lnk"};
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
            EXPECT_EQ(kHiddenSystem, Attributes(std::wstring(L"C:\\elsewhere\\") + names[i]) & kHiddenSystem)
                << names[i];
    }
    std::string Logged() const { return ScanLog::Text().substr(m_header); }

    CRecordPaths m_recorder;
    std::vector<std::wstring> m_made;
    int m_header;
};

void Clean()
{
    CKillerForLaunchers command;
    EXPECT_EQ(0, command.Run(NULL));
}

}  // namespace

TEST_F(LinkedStickTest, TheStickHoldsTheLinksAsReparsePoints)
{
    // The ground the other cases stand on: the links to folders are listed
    // as reparse points; every link leads to C:\elsewhere.
    const wchar_t* const links[] = {L"E:\\j", L"E:\\RECYCLER.BIN", L"E:\\sysvolume\\deep"};
    for (size_t i = 0; i < sizeof(links) / sizeof(links[0]); ++i)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW(links[i], &data);
        ASSERT_NE(INVALID_HANDLE_VALUE, find) << i;
        ::FindClose(find);
        EXPECT_NE(0u, data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) << i;
    }
    EXPECT_TRUE(FileExists(L"E:\\j\\bootmgr"));
    EXPECT_TRUE(FileExists(L"E:\\sysvolume\\deep\\bootmgr"));
    EXPECT_EQ(TinyImage(8192), ReadFileBytes(L"E:\\hid\\lib.dll"));
    EXPECT_EQ(ReadFileBytes(L"C:\\elsewhere\\x.lnk"), ReadFileBytes(L"E:\\x.lnk"));
}

TEST_F(LinkedStickTest, LaunchersNamingFilesBehindLinkedFoldersLeaveEverythingAsItIs)
{
    StickShortcut(L"Boot.lnk", kWscript, L"j\\bootmgr");
    StickShortcut(L"Drive.lnk", kCmd, L"/c start E:\\j\\u1.vbs&exit");
    StickShortcut(L"USB Disk.lnk", L"E:\\RECYCLER.BIN\\Kingston.exe", L"");
    StickShortcut(L"Deep.lnk", kWscript, L"E:\\sysvolume\\deep\\u1.vbs");

    Clean();

    EXPECT_TRUE(m_recorder.m_paths.empty()) << (m_recorder.m_paths.empty() ? "" : ToLogText(m_recorder.m_paths[0].c_str()));
    ExpectElsewhereUntouched();
    EXPECT_TRUE(FileExists(L"E:\\Boot.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\Drive.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\USB Disk.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\Deep.lnk"));
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\sysvolume") & kHiddenSystem);
    EXPECT_EQ("", Logged());
}

TEST_F(LinkedStickTest, AShortcutThatIsALinkIsNotRead)
{
    // Read, it would be a worm's launcher naming a hidden script.
    OnStick(L"y.vbe", "#@~^", kHiddenSystem);

    Clean();

    EXPECT_TRUE(m_recorder.m_paths.empty());
    EXPECT_TRUE(FileExists(L"E:\\y.vbe"));
    ExpectElsewhereUntouched();
    EXPECT_EQ("", Logged());
}

TEST_F(LinkedStickTest, ALinkInTheSideLoadersFolderStaysAndSoDoesTheFolder)
{
    OnStick(L"hid\\Kingston.exe", TinyImage(8192), kHiddenSystem);
    StickShortcut(L"Kingston.lnk", L"E:\\hid\\Kingston.exe", L"");

    Clean();

    // The launcher and the program go; the link among the libraries stays,
    // so the folder is not empty and stays, shown.
    std::vector<std::wstring> expected;
    expected.push_back(L"\\\\?\\E:\\Kingston.lnk");
    expected.push_back(L"\\\\?\\E:\\hid\\Kingston.exe");
    expected.push_back(L"\\\\?\\E:\\hid");
    EXPECT_EQ(expected, m_recorder.m_paths);
    EXPECT_FALSE(FileExists(L"E:\\Kingston.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\hid\\Kingston.exe"));
    EXPECT_TRUE(FileExists(L"E:\\hid\\lib.dll"));
    EXPECT_EQ(0u, Attributes(L"E:\\hid") & kHiddenSystem);
    ExpectElsewhereUntouched();
}
