// Autorun.inf and drive root repair on the sandbox's stick (E:) and its
// other drives (C: fixed, D: a CD drive without medium).
#include <gtest/gtest.h>

#include <algorithm>

#include "killers/file_fx.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "tests/declining_recorder.h"
#include "tests/stick_test.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

using namespace testing_util;

namespace {

std::string Image(size_t size = 300 * 1024) { return TinyImage(size); }

std::string Line(const char* prefix, const std::string& path) { return std::string(prefix) + path + "\r\n"; }

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (std::string::size_type at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

typedef CStickTest StickTest;

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

TEST(FileFxTexts, AreGbkBytesOfTheStatedLengths)
{
    EXPECT_EQ("empty autorun fixed\t", std::string(kLogAutorunFixed));
    EXPECT_EQ(Hex("C9 BE B3 FD CE C4 BC FE BC D0 31 4B 42 BF EC BD DD B7 BD CA BD 09"),
              std::string(kLogShortcutDeleted));
    EXPECT_EQ(Hex("BB D6 B8 B4 B1 BB C4 BE C2 ED D2 FE B2 D8 B5 C4 CE C4 BC FE BC D0 09"),
              std::string(kLogFolderShown));
    EXPECT_EQ(Hex("C9 BE B3 FD CE C4 BC FE BC D0 45 58 45 09"), std::string(kLogFolderExeDeleted));
}

TEST_F(StickTest, HiddenFolderLosesItsShortcutThenIsShown)
{
    Folder(L"Photos", kHiddenSystem | FILE_ATTRIBUTE_ARCHIVE);
    File(L"Photos.lnk", std::string(1024, 'L'));
    File(L"Notes.txt", "notes");
    RepairDriveFiles();
    EXPECT_FALSE(FileExists(L"E:\\Photos.lnk"));
    const DWORD attributes = Attributes(L"E:\\Photos");
    EXPECT_EQ(0u, attributes & kHiddenSystem);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(FileExists(L"E:\\Notes.txt"));
    EXPECT_EQ(Line(kLogShortcutDeleted, "E:\\Photos.lnk") + Line(kLogFolderShown, "E:\\Photos"), Logged());
}

TEST_F(StickTest, ProtectedFoldersStayHiddenButLoseTheirShortcut)
{
    const wchar_t* const names[] = {L"System Volume Information", L"RECYCLER", L"$RECYCLE.BIN",
                                    L"FOUND.000", L"MSOCache", L"病毒隔离区", L"my backup"};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
        Folder(names[i], kHiddenSystem);
    File(L"System Volume Information.lnk", "lnk");
    RepairDriveFiles();
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
        EXPECT_EQ(kHiddenSystem, Attributes(std::wstring(L"E:\\") + names[i]) & kHiddenSystem) << i;
    EXPECT_FALSE(FileExists(L"E:\\System Volume Information.lnk"));
    EXPECT_EQ(Line(kLogShortcutDeleted, "E:\\System Volume Information.lnk"), Logged());
}

TEST_F(StickTest, ExecutablesPosingAsFoldersAreDeleted)
{
    Folder(L"Photos");
    Folder(L"Music", FILE_ATTRIBUTE_HIDDEN);  // hidden: shown, and its impostor goes too
    Folder(L"_");
    File(L"Photos.exe", Image());
    File(L"Photos .exe", Image());
    File(L"Photos.scr", Image(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    File(L"music.EXE", Image());
    File(L"_.exe", Image());
    File(L"Photos.jpg", Image(6 * 1024 * 1024));  // an image of 6 MiB: kept
    File(L"Photos.txt", "just text");
    File(L"Other.exe", Image());  // no folder "Other"
    File(L".svn", Image());
    RepairDriveFiles();
    EXPECT_FALSE(FileExists(L"E:\\Photos.exe"));
    EXPECT_FALSE(FileExists(L"E:\\Photos .exe"));
    EXPECT_FALSE(FileExists(L"E:\\Photos.scr")) << "read-only: cleared and deleted";
    EXPECT_FALSE(FileExists(L"E:\\music.EXE"));
    EXPECT_FALSE(FileExists(L"E:\\_.exe"));
    EXPECT_TRUE(FileExists(L"E:\\Photos.jpg"));
    EXPECT_TRUE(FileExists(L"E:\\Photos.txt"));
    EXPECT_TRUE(FileExists(L"E:\\Other.exe"));
    EXPECT_TRUE(FileExists(L"E:\\.svn"));
    EXPECT_TRUE(FileExists(L"E:\\Photos"));
    const std::string log = Logged();
    const char* const deleted[] = {"E:\\Photos.exe", "E:\\Photos .exe", "E:\\Photos.scr", "E:\\music.EXE",
                                   "E:\\_.exe"};
    for (size_t i = 0; i < sizeof(deleted) / sizeof(deleted[0]); ++i)
        EXPECT_NE(std::string::npos, log.find(Line(kLogFolderExeDeleted, deleted[i]))) << deleted[i];
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\Music")));
    // Five deletions and one folder shown, nothing else.
    size_t lines = 0;
    for (size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(6u, lines);
}

TEST_F(StickTest, OnlyTheRootIsExamined)
{
    Folder(L"docs");
    Folder(L"docs\\MyFiles", kHiddenSystem);
    ASSERT_TRUE(WriteFileBytes(L"E:\\docs\\MyFiles.lnk", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\docs\\MyFiles.exe", Image()));
    File(L"Photos", "a hidden file, not a folder", FILE_ATTRIBUTE_HIDDEN);
    RepairDriveFiles();
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\docs\\MyFiles") & kHiddenSystem);
    EXPECT_TRUE(FileExists(L"E:\\docs\\MyFiles.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\docs\\MyFiles.exe"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_HIDDEN), Attributes(L"E:\\Photos") & kHiddenSystem);
    EXPECT_EQ("", Logged());
}

TEST_F(StickTest, LockedFilesStayAndAreNotLogged)
{
    Folder(L"Photos", FILE_ATTRIBUTE_HIDDEN);
    File(L"Photos.lnk", "lnk");
    File(L"Photos.exe", Image());
    CHandle lnk(::CreateFileW(L"E:\\Photos.lnk", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    CHandle exe(::CreateFileW(L"E:\\Photos.exe", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(lnk.IsValid() && exe.IsValid());
    RepairDriveFiles();
    EXPECT_TRUE(FileExists(L"E:\\Photos.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\Photos.exe"));
    EXPECT_EQ(Line(kLogFolderShown, "E:\\Photos"), Logged());
}

TEST_F(StickTest, NamesOutsideGbkAndOfFullLength)
{
    const std::wstring thai = L"Ph\x0E01oto";
    Folder(thai, FILE_ATTRIBUTE_HIDDEN);
    const std::wstring longName(255, L'n');
    Folder(longName, FILE_ATTRIBUTE_HIDDEN);
    File(longName.substr(0, 251) + L".exe", Image());
    Folder(longName.substr(0, 251));
    RepairDriveFiles();
    EXPECT_EQ(0u, Attributes(L"E:\\" + thai) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(0u, Attributes(L"E:\\" + longName) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(FileExists(L"E:\\" + longName.substr(0, 251) + L".exe"));
    const std::string log = Logged();
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\Ph?oto")));
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\" + std::string(255, 'n'))));
}

TEST_F(StickTest, LargeRootIsScannedInLinearTime)
{
    // Every entry has a candidate folder name that does not exist: a system
    // call per question would scan the whole root each time under Wine.
    const int kEntries = 20000;
    for (int i = 0; i < kEntries; ++i)
    {
        wchar_t name[32];
        wsprintfW(name, L"E:\\file%05d.dat", i);
        CHandle file(::CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
        ASSERT_TRUE(file.IsValid());
    }
    Folder(L"Photos", FILE_ATTRIBUTE_HIDDEN);
    File(L"Photos.exe", Image());
    const DWORD start = ::GetTickCount();
    RepairDriveFiles();
    const DWORD elapsed = ::GetTickCount() - start;
    std::printf("repair of a root of %d entries: %lu ms\n", kEntries + 2, static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, 5000u);
    EXPECT_FALSE(FileExists(L"E:\\Photos.exe"));
}

TEST_F(StickTest, DanglingAutorunIsDeletedAndLogged)
{
    File(L"autorun.inf", "[AutoRun]\r\nopen=worm.exe\r\nicon=worm.exe,0\r\n");
    RepairAutorunInf();
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));
    EXPECT_EQ(Line(kLogAutorunFixed, "E:\\autorun.inf"), Logged());
    EXPECT_EQ(20u + 14u + 2u, Logged().size());
}

TEST_F(StickTest, AutorunWhoseTargetsExistStays)
{
    const char* const kept[] = {
        "[AutoRun]\r\nopen=worm.exe\r\n",  // worm.exe lies in E:\ (below)
        "[autorun]\r\nOPEN=explorer.exe\r\n",  // in the Windows directory
        "[AutoRun]\r\nicon=drive.ico\r\n",
        "[AutoRun]\r\nopen=\r\nshellexecute=\r\n",
        "[AutoRun]\r\nshell\\open\\command=gone.exe\r\nlabel=My Stick\r\n",
        "no section at all\r\nopen=gone.exe\r\n",
        "[Other]\r\nopen=gone.exe\r\n",
    };
    File(L"worm.exe", Image());
    for (size_t i = 0; i < sizeof(kept) / sizeof(kept[0]); ++i)
    {
        File(L"autorun.inf", kept[i]);
        RepairAutorunInf();
        EXPECT_TRUE(FileExists(L"E:\\autorun.inf")) << kept[i];
        ::DeleteFileW(L"E:\\autorun.inf");
    }
    EXPECT_EQ("", Logged());
}

TEST_F(StickTest, AutorunDanglingEitherWayIsDeleted)
{
    const char* const dangling[] = {
        "[AutoRun]\r\nopen=explorer.exe\r\nshellexecute=gone.exe\r\n",
        "[AutoRun]\r\nopen=\"gone folder\\gone.exe\" /auto\r\n",
        "[AutoRun]\r\nopen=%windir%\\gone.exe\r\n",
        "[AutoRun]\r\nshellexecute=..\\up.exe\r\n",
    };
    for (size_t i = 0; i < sizeof(dangling) / sizeof(dangling[0]); ++i)
    {
        File(L"autorun.inf", dangling[i], FILE_ATTRIBUTE_READONLY | kHiddenSystem);
        RepairAutorunInf();
        EXPECT_FALSE(FileExists(L"E:\\autorun.inf")) << dangling[i];
    }
    EXPECT_EQ(4u * (20u + 14u + 2u), Logged().size());
}

TEST_F(StickTest, BadAutorunFilesEndQuietly)
{
    // Binary garbage, a file over 1 MB, a 259-character value, a folder of the name.
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
    File(L"autorun.inf", garbage);
    RepairAutorunInf();
    ::DeleteFileW(L"E:\\autorun.inf");

    std::string big = "[AutoRun]\r\n" + std::string(1100 * 1024, ';') + "\r\nopen=gone.exe\r\n";
    File(L"autorun.inf", big);
    RepairAutorunInf();
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));

    File(L"autorun.inf", "[AutoRun]\r\nopen=" + std::string(255, 'w') + ".exe\r\n");
    RepairAutorunInf();
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));

    Folder(L"autorun.inf", kHiddenSystem);
    RepairAutorunInf();
    RepairDriveFiles();  // a protected name: it stays hidden
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\autorun.inf") & kHiddenSystem);
    EXPECT_EQ(2u * (20u + 14u + 2u), Logged().size());
}

TEST_F(StickTest, LockedAutorunIsSkipped)
{
    File(L"autorun.inf", "[AutoRun]\r\nopen=gone.exe\r\n");
    CHandle holder(::CreateFileW(L"E:\\autorun.inf", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(holder.IsValid());
    RepairAutorunInf();
    EXPECT_TRUE(FileExists(L"E:\\autorun.inf"));
    EXPECT_EQ("", Logged());
}

TEST_F(StickTest, CommandRunsAutorunThenDriveFilesAndCountsNothing)
{
    File(L"autorun.inf", "[AutoRun]\r\nopen=Photos.exe\r\n");
    Folder(L"Photos", FILE_ATTRIBUTE_HIDDEN);
    File(L"Photos.exe", Image());
    class CProbe : public CKillerForFileFX
    {
    public:
        int Deleted() const { return m_nDeleted; }
        int Repaired() const { return m_nRepaired; }
    } command;
    EXPECT_EQ(0, command.Run(NULL));
    // The autorun still pointed at Photos.exe when it was judged: kept. Then
    // the impostor went and the folder was shown.
    EXPECT_TRUE(FileExists(L"E:\\autorun.inf"));
    EXPECT_EQ(Line(kLogFolderShown, "E:\\Photos") + Line(kLogFolderExeDeleted, "E:\\Photos.exe"), Logged());
    EXPECT_EQ(0, command.Deleted());
    EXPECT_EQ(0, command.Repaired());
    // The next scan finds the autorun dangling.
    RepairAutorunInf();
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));
}

namespace {

// The paths the file helpers open during a repair.
std::vector<std::wstring> g_opened;
void RecordOpen(const wchar_t* path) { g_opened.push_back(path); }

class COpenRecorder
{
public:
    COpenRecorder() { g_opened.clear(); SetFileOpenHook(RecordOpen); }
    ~COpenRecorder() { SetFileOpenHook(NULL); }
};

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Makes every attribute change fail, as a write-protected stick does.
class CWriteProtected : public IChangeRecorder
{
public:
    CWriteProtected() { SetChangeRecorder(this); }
    ~CWriteProtected() { SetChangeRecorder(NULL); }
    virtual Verdict Before(const ChangeRequest& change)
    {
        return change.kind == kChangeSetAttributes ? kLeave : kMake;
    }
    virtual void After(const ChangeRequest&, bool) {}
};

}  // namespace

TEST_F(StickTest, ShortcutsThePassDeletedAreNeverOpenedAgain)
{
    // Each shortcut is deleted beside its hidden folder; when the walk then
    // reaches the shortcut's own entry (named like the folder plus ".lnk")
    // it must not look at the deleted name again. Many pairs, so that the
    // listing puts folders before their shortcuts whatever its order.
    for (int i = 0; i < 20; ++i)
    {
        wchar_t name[16];
        wsprintfW(name, L"album%02d", i);
        Folder(name, FILE_ATTRIBUTE_HIDDEN);
        File(std::wstring(name) + L".lnk", Image(2048));  // even an image under 5 MiB
    }
    COpenRecorder opens;
    RepairDriveFiles();
    for (int i = 0; i < 20; ++i)
    {
        wchar_t name[16];
        wsprintfW(name, L"album%02d.lnk", i);
        EXPECT_FALSE(FileExists(std::wstring(L"E:\\") + name));
        for (size_t j = 0; j < g_opened.size(); ++j)
            EXPECT_FALSE(EndsWith(g_opened[j], name)) << "opened after its deletion: " << g_opened[j].c_str();
    }
}

TEST_F(StickTest, InReportOnlyTheWalksAfterStillSeeWhatThisOneDidNotDelete)
{
    // A hidden folder with a shortcut that is a program as well: the walk
    // reports the shortcut's deletion once (not again as a folder's
    // impostor), and the scan's listing still holds what was not deleted.
    Folder(L"Music", kHiddenSystem);
    File(L"Music.lnk", Image(2048));
    File(L"Music.exe", Image(2048));
    CRootListings scan;
    {
        CDecliningRecorder reportOnly;
        CKillerForFileFX command;
        EXPECT_EQ(0, command.Run(NULL));
    }
    EXPECT_TRUE(FileExists(L"E:\\Music.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\Music.exe"));
    const std::string log = Logged();
    EXPECT_EQ(1u, Count(log, Line(kLogShortcutDeleted, "E:\\Music.lnk")));
    EXPECT_EQ(1u, Count(log, Line(kLogFolderShown, "E:\\Music")));
    EXPECT_EQ(1u, Count(log, Line(kLogFolderExeDeleted, "E:\\Music.exe")));
    EXPECT_EQ(0u, Count(log, Line(kLogFolderExeDeleted, "E:\\Music.lnk")));
    CRootListing* listing = scan.Get(L"E:\\");
    ASSERT_TRUE(listing != NULL);
    EXPECT_TRUE(listing->Index().Find(L"Music.lnk") != NULL);
    EXPECT_TRUE(listing->Index().Find(L"Music.exe") != NULL);
    EXPECT_EQ(kHiddenSystem, listing->Index().Find(L"Music")->attributes & kHiddenSystem);
}

TEST_F(StickTest, NamesEndingInADotOrABlankReachTheirOwnEntries)
{
    // Win32 normalisation would send "photos." to "photos" and "music " to
    // "music"; the long form reaches the entries as listed.
    ASSERT_TRUE(::CreateDirectoryW(L"\\\\?\\E:\\photos.", NULL));
    ASSERT_TRUE(::CreateDirectoryW(L"\\\\?\\E:\\music ", NULL));
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\music", NULL));  // the entry a plain path would reach
    ASSERT_TRUE(::SetFileAttributesW(L"\\\\?\\E:\\photos.", kHiddenSystem));
    ASSERT_TRUE(::SetFileAttributesW(L"\\\\?\\E:\\music ", kHiddenSystem));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\music", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(WriteFileBytes(L"\\\\?\\E:\\photos..lnk", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"\\\\?\\E:\\music .lnk", "lnk"));
    // The planted state is what it claims: the listing has the dot and the blank.
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListFolder(L"E:\\*", entries));
    std::vector<std::wstring> names;
    for (size_t i = 0; i < entries.size(); ++i)
        names.push_back(entries[i].name);
    std::sort(names.begin(), names.end());
    const wchar_t* const expected[] = {L"music", L"music ", L"music .lnk", L"photos.", L"photos..lnk"};
    ASSERT_EQ(std::vector<std::wstring>(expected, expected + 5), names);

    RepairDriveFiles();
    EXPECT_EQ(0u, Attributes(L"\\\\?\\E:\\photos.") & kHiddenSystem);
    EXPECT_EQ(0u, Attributes(L"\\\\?\\E:\\music ") & kHiddenSystem);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, Attributes(L"\\\\?\\E:\\photos..lnk"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, Attributes(L"\\\\?\\E:\\music .lnk"));
    // The plain "music" was hidden (not system) and is shown in its own right.
    EXPECT_EQ(0u, Attributes(L"E:\\music") & kHiddenSystem);
    const std::string log = Logged();
    EXPECT_NE(std::string::npos, log.find(Line(kLogShortcutDeleted, "E:\\photos..lnk")));
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\photos.")));
    EXPECT_NE(std::string::npos, log.find(Line(kLogShortcutDeleted, "E:\\music .lnk")));
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\music ")));
    EXPECT_NE(std::string::npos, log.find(Line(kLogFolderShown, "E:\\music")));
    ::RemoveDirectoryW(L"\\\\?\\E:\\photos.");
    ::RemoveDirectoryW(L"\\\\?\\E:\\music ");
}

TEST_F(StickTest, AFolderThatStaysHiddenIsNotLogged)
{
    Folder(L"Photos", kHiddenSystem);
    CWriteProtected stick;
    RepairDriveFiles();
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\Photos") & kHiddenSystem);
    EXPECT_EQ("", Logged());
}

TEST_F(StickTest, AutorunNamingANetworkPathGoesWithoutTheHostBeingAsked)
{
    File(L"autorun.inf", "[AutoRun]\r\nopen=\\\\127.0.0.1\\x\\a.exe\r\nshellexecute=\\\\.\\pipe\\x\r\n");
    COpenRecorder opens;
    RepairAutorunInf();
    for (size_t i = 0; i < g_opened.size(); ++i)
    {
        EXPECT_NE(0, g_opened[i].compare(0, 2, L"\\\\")) << g_opened[i].c_str();
        EXPECT_EQ(std::wstring::npos, g_opened[i].find(L"127.0.0.1")) << g_opened[i].c_str();
    }
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));
    EXPECT_EQ(Line(kLogAutorunFixed, "E:\\autorun.inf"), Logged());
}
