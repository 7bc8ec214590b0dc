// Launcher shortcuts of today's stick worms, on the sandbox's stick (E:, a
// removable drive): one stick per family, built with real shell links, the
// user's own shortcuts and Windows' folders beside them, and damaged
// shortcuts that must not stop the walk.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "killers/file_fx.h"
#include "killers/launcher_killer.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/shell_link.h"
#include "tests/declining_recorder.h"
#include "tests/stick_test.h"
#include "tests/testing.h"
#include "undo/change_gate.h"

using namespace testing_util;

namespace {

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
const wchar_t kWscript[] = L"C:\\windows\\system32\\wscript.exe";
const wchar_t kCmd[] = L"C:\\windows\\system32\\cmd.exe";
const wchar_t kRundll[] = L"C:\\windows\\system32\\rundll32.exe";
const wchar_t kMsiexec[] = L"C:\\windows\\system32\\msiexec.exe";
const wchar_t kNbsp[] = L"\x00A0";

DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

bool Visible(const std::wstring& path)
{
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & kHiddenSystem);
}

void PutWord(std::string& bytes, unsigned value)
{
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
}

void PutDword(std::string& bytes, unsigned value)
{
    PutWord(bytes, value & 0xFFFF);
    PutWord(bytes, value >> 16);
}

void PutText(std::string& bytes, const std::wstring& text)
{
    PutWord(bytes, static_cast<unsigned>(text.size()));
    for (size_t i = 0; i < text.size(); ++i)
        PutWord(bytes, text[i]);
}

// A shortcut in the file format, by hand, as a worm's builder writes one:
// the header, the target as a relative path (Unicode text: Wine keeps the
// full path of a shortcut it saves in the ANSI code page, which lacks
// U+00A0) and, when it holds a variable, as an environment-variable block;
// the argument string; no item list, no location block.
std::string HandShortcut(const std::wstring& target, const std::wstring& arguments)
{
    const bool expandable = target.find(L'%') != std::wstring::npos;
    std::string bytes;
    PutDword(bytes, 0x4C);
    bytes += Hex("01 14 02 00 00 00 00 00 C0 00 00 00 00 00 00 46");
    const unsigned kHasArguments = 0x20, kIsUnicode = 0x80, kHasExpString = 0x200;
    const unsigned kHasRelativePath = 0x08;
    PutDword(bytes, kHasRelativePath | kHasArguments | kIsUnicode | (expandable ? kHasExpString : 0));
    PutDword(bytes, 0);                       // target attributes
    bytes += std::string(24, '\0');           // three times
    PutDword(bytes, 0);                       // target size
    PutDword(bytes, 0);                       // icon index
    PutDword(bytes, 7);                       // show minimised, no focus
    bytes += std::string(12, '\0');           // hot key, reserved
    PutText(bytes, target);
    PutText(bytes, arguments);
    if (!expandable)
    {
        PutDword(bytes, 0);  // no blocks
        return bytes;
    }
    PutDword(bytes, 0x314);                   // environment variable block
    PutDword(bytes, 0xA0000001);
    std::string ansi(260, '\0');
    for (size_t i = 0; i < target.size() && i < 259; ++i)
        ansi[i] = static_cast<char>(target[i]);
    bytes += ansi;
    std::string wide;
    for (size_t i = 0; i < 260; ++i)
        PutWord(wide, i < target.size() ? target[i] : 0);
    bytes += wide;
    PutDword(bytes, 0);                       // end of the blocks
    return bytes;
}

class LauncherTest : public CStickTest
{
protected:
    static void SetUpTestCase() { ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED); }
    static void TearDownTestCase() { ::CoUninitialize(); }

    static void Shortcut(const std::wstring& name, const std::wstring& target, const std::wstring& arguments)
    {
        ASSERT_TRUE(SaveShortcut(L"E:\\" + name, target, arguments)) << name.c_str();
    }
    // The stick's label, which the test run gives it in ".windows-label"
    // (Wine reads it there when it starts).
    static std::wstring Label()
    {
        wchar_t label[MAX_PATH + 1] = {0};
        EXPECT_TRUE(::GetVolumeInformationW(L"E:\\", label, MAX_PATH + 1, NULL, NULL, NULL, NULL, 0));
        return label;
    }

    // What every stick also holds: the user's own shortcuts, Windows'
    // folders, a broken shortcut and a plain autorun.inf.
    static void PlantKeepers()
    {
        Folder(L"Docs");
        File(L"Docs\\notes.txt", "notes");
        Folder(L"Photos");
        File(L"Photos\\cat.jpg", "jpeg");
        Folder(L"Apps");
        File(L"Apps\\tool.exe", TinyImage(4096));
        File(L"setup.msi", "msi");
        Shortcut(L"My notes.lnk", L"E:\\Docs\\notes.txt", L"");
        Shortcut(L"My photos.lnk", L"E:\\Photos", L"");
        Shortcut(L"Tool.lnk", L"E:\\Apps\\tool.exe", L"--portable");
        Shortcut(L"Install.lnk", kMsiexec, L"/i E:\\setup.msi");
        Shortcut(L"Editor.lnk", kCmd, L"/c C:\\windows\\notepad.exe C:\\readme.txt");
        File(L"Broken.lnk", std::string(300, 'L'));
        const wchar_t* const windowsFolders[] = {L"System Volume Information", L"$RECYCLE.BIN", L"RECYCLER",
                                                 L"Recycled", L"Boot", L"Recovery"};
        for (size_t i = 0; i < sizeof(windowsFolders) / sizeof(windowsFolders[0]); ++i)
            Folder(windowsFolders[i], kHiddenSystem);
        File(L"System Volume Information\\IndexerVolumeGuid", "{guid}", kHiddenSystem);
        File(L"autorun.inf", "[AutoRun]\r\nlabel=My Stick\r\nicon=stick.ico\r\n", FILE_ATTRIBUTE_HIDDEN);
    }
    static void ExpectKeepersUntouched()
    {
        const wchar_t* const kept[] = {L"My notes.lnk", L"My photos.lnk", L"Tool.lnk",  L"Install.lnk",
                                       L"Editor.lnk",   L"Broken.lnk",    L"setup.msi", L"Apps\\tool.exe",
                                       L"Docs\\notes.txt", L"Photos\\cat.jpg"};
        for (size_t i = 0; i < sizeof(kept) / sizeof(kept[0]); ++i)
            EXPECT_TRUE(Visible(std::wstring(L"E:\\") + kept[i])) << i;
        const wchar_t* const hidden[] = {L"System Volume Information", L"$RECYCLE.BIN", L"RECYCLER",
                                         L"Recycled", L"Boot", L"Recovery",
                                         L"System Volume Information\\IndexerVolumeGuid"};
        for (size_t i = 0; i < sizeof(hidden) / sizeof(hidden[0]); ++i)
            EXPECT_EQ(kHiddenSystem, Attributes(std::wstring(L"E:\\") + hidden[i]) & kHiddenSystem) << i;
        EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN), Attributes(L"E:\\autorun.inf") & kHiddenSystem);
    }
};

std::string Line(const char* prefix, const std::wstring& path)
{
    return std::string(prefix) + ToLogText(path.c_str()) + "\r\n";
}

int Clean(int* deleted = NULL, int* repaired = NULL)
{
    CKillerForLaunchers command;
    const int result = command.Run(NULL);
    if (deleted)
        *deleted = command.Deleted();
    if (repaired)
        *repaired = command.Repaired();
    return result;
}

}  // namespace

TEST(LauncherTexts, AreGbkBytes)
{
    EXPECT_EQ(Hex("C9 BE B3 FD B2 A1 B6 BE BF EC BD DD B7 BD CA BD 09"), std::string(kLogLauncherDeleted));
    EXPECT_EQ(Hex("C9 BE B3 FD B2 A1 B6 BE CE C4 BC FE 09"), std::string(kLogPayloadDeleted));
    EXPECT_EQ(Hex("BB D6 B8 B4 B1 BB C4 BE C2 ED D2 FE B2 D8 B5 C4 CE C4 BC FE 09"), std::string(kLogFileShown));
    EXPECT_EQ(Hex("CE B4 C9 BE B3 FD B2 A1 B6 BE BF EC BD DD B7 BD CA BD 09"), std::string(kLogLauncherLeft));
    EXPECT_EQ(Hex("CE B4 C9 BE B3 FD B2 A1 B6 BE CE C4 BC FE 09"), std::string(kLogPayloadLeft));
    EXPECT_EQ(Hex("CE DE B7 A8 B1 B8 B7 DD"), std::string(kLogReasonNotKept));
    EXPECT_EQ(Hex("C9 BE B3 FD CA A7 B0 DC"), std::string(kLogReasonFailed));
    EXPECT_EQ(Hex("BF EC BD DD B7 BD CA BD B9 FD B4 F3 A3 AC CE B4 B6 C1 C8 A1 09"), std::string(kLogShortcutNotRead));
}


TEST_F(LauncherTest, SysvolumeWormLosesLauncherAndPayloadAndTheLabelFolderIsShown)
{
    ASSERT_EQ(L"MYSTICK", Label());
    PlantKeepers();
    Folder(L"MYSTICK", kHiddenSystem);
    Folder(L"MYSTICK\\Reports");
    File(L"MYSTICK\\Reports\\q3.doc", "quarter");
    File(L"MYSTICK\\photo.jpg", "jpeg");
    Folder(L"sysvolume", kHiddenSystem);
    File(L"sysvolume\\u123456.vbs", "WScript.Echo 1", kHiddenSystem);
    File(L"sysvolume\\u123456.bat", "@echo off", kHiddenSystem);
    File(L"sysvolume\\u123456.dat", "data", kHiddenSystem);
    File(L"sysvolume\\u123456.bin", TinyImage(4096), kHiddenSystem | FILE_ATTRIBUTE_READONLY);
    Shortcut(L"MYSTICK.lnk", kWscript, L"E:\\sysvolume\\u123456.vbs");

    int deleted = 0, repaired = 0;
    EXPECT_EQ(0, Clean(&deleted, &repaired));

    EXPECT_FALSE(FileExists(L"E:\\MYSTICK.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\sysvolume"));
    EXPECT_TRUE(Visible(L"E:\\MYSTICK"));
    EXPECT_TRUE(Visible(L"E:\\MYSTICK\\Reports\\q3.doc"));
    EXPECT_TRUE(Visible(L"E:\\MYSTICK\\photo.jpg"));
    ExpectKeepersUntouched();
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\MYSTICK.lnk") + Line(kLogPayloadDeleted, L"E:\\sysvolume\\u123456.vbs") +
                  Line(kLogPayloadDeleted, L"E:\\sysvolume\\u123456.bat") +
                  Line(kLogPayloadDeleted, L"E:\\sysvolume\\u123456.bin") +
                  Line(kLogPayloadDeleted, L"E:\\sysvolume\\u123456.dat") +
                  Line(kLogPayloadDeleted, L"E:\\sysvolume") + Line(kLogFolderShown, L"E:\\MYSTICK"),
              Logged());
    EXPECT_EQ(6, deleted);
    EXPECT_EQ(1, repaired);
}

TEST_F(LauncherTest, SideLoaderInFakeRecyclerGoesWithItsFolderAndTheNamelessFolderIsShown)
{
    PlantKeepers();
    const std::wstring nameless = kNbsp;
    Folder(nameless, kHiddenSystem);
    File(nameless + L"\\thesis.docx", "thesis");
    File(nameless + L"\\budget.xls", "budget");
    Folder(L"RECYCLER.BIN", kHiddenSystem);
    Folder(L"RECYCLER.BIN\\{7a9b3c21-0000}", kHiddenSystem);
    File(L"RECYCLER.BIN\\{7a9b3c21-0000}\\UsbGuard.exe", TinyImage(8192), kHiddenSystem);
    File(L"RECYCLER.BIN\\{7a9b3c21-0000}\\version.dll", TinyImage(8192), kHiddenSystem);
    File(L"RECYCLER.BIN\\{7a9b3c21-0000}\\desktop.ini", "[.ShellClassInfo]", kHiddenSystem);
    Shortcut(L"USB Disk (8GB).lnk", L"E:\\RECYCLER.BIN\\{7a9b3c21-0000}\\UsbGuard.exe", L"");

    EXPECT_EQ(0, Clean());

    EXPECT_FALSE(FileExists(L"E:\\USB Disk (8GB).lnk"));
    EXPECT_FALSE(FileExists(L"E:\\RECYCLER.BIN"));
    EXPECT_TRUE(Visible(L"\\\\?\\E:\\" + nameless));
    EXPECT_TRUE(Visible(L"\\\\?\\E:\\" + nameless + L"\\thesis.docx"));
    EXPECT_TRUE(Visible(L"\\\\?\\E:\\" + nameless + L"\\budget.xls"));
    ExpectKeepersUntouched();
    const std::wstring payload = L"E:\\RECYCLER.BIN\\{7a9b3c21-0000}";
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\USB Disk (8GB).lnk") + Line(kLogPayloadDeleted, payload + L"\\UsbGuard.exe") +
                  Line(kLogPayloadDeleted, payload + L"\\desktop.ini") +
                  Line(kLogPayloadDeleted, payload + L"\\version.dll") + Line(kLogPayloadDeleted, payload) +
                  Line(kLogPayloadDeleted, L"E:\\RECYCLER.BIN") + Line(kLogFolderShown, L"E:\\" + nameless),
              Logged());
}

TEST_F(LauncherTest, WormDirectlyInARecycleFolderGoesWithItsLauncherButWhatAUsersBinKeepsStays)
{
    PlantKeepers();
    // Each launcher: the user's hidden folder it stands for, the program it
    // starts inside a recycle folder, and whether that program goes.
    struct RecycleCase
    {
        const wchar_t* folder;
        const wchar_t* program;
        bool removed;
    } const cases[] = {
        {L"Pictures", L"RECYCLER\\a1b2c3d4.exe", true},
        {L"Music", L"$RECYCLE.BIN\\m.scr", true},
        {L"Work", L"Recycled\\w.com", true},
        {L"Thesis", L"RECYCLER\\S-1-5-21-1-2-3-1000\\Dc1.exe", false},
    };
    Folder(L"RECYCLER\\S-1-5-21-1-2-3-1000", kHiddenSystem);
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        Folder(cases[i].folder, kHiddenSystem);
        File(cases[i].program, TinyImage(4096));
        Shortcut(std::wstring(cases[i].folder) + L".lnk", kCmd,
                 std::wstring(L"/c start ") + cases[i].program + L" &start explorer " + cases[i].folder + L" &exit");
    }

    EXPECT_EQ(0, Clean());

    const std::string logged = Logged();
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        const std::wstring program = std::wstring(L"E:\\") + cases[i].program;
        EXPECT_FALSE(FileExists(std::wstring(L"E:\\") + cases[i].folder + L".lnk")) << i;
        EXPECT_EQ(cases[i].removed, !FileExists(program)) << i;
        EXPECT_EQ(cases[i].removed, logged.find(Line(kLogPayloadDeleted, program)) != std::string::npos) << i;
        EXPECT_TRUE(Visible(std::wstring(L"E:\\") + cases[i].folder)) << i;
    }
    ExpectKeepersUntouched();
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\RECYCLER\\S-1-5-21-1-2-3-1000") & kHiddenSystem);
}

TEST_F(LauncherTest, SideLoaderInsideTheNamelessFolderGoesWithItsLibraryAndTheUsersFilesStay)
{
    const std::wstring nameless = kNbsp;
    Folder(nameless, kHiddenSystem);
    for (int i = 0; i < 5000; ++i)
    {
        wchar_t name[32];
        wsprintfW(name, L"\\photo%04d.jpg", i);
        File(nameless + name, "jpeg");
    }
    File(nameless + L"\\my tool.exe", TinyImage(4096));  // the user's own program
    File(nameless + L"\\Kingston.exe", TinyImage(8192), kHiddenSystem);
    File(nameless + L"\\wsc.dll", TinyImage(8192), kHiddenSystem);
    File(L"Kingston.lnk", HandShortcut(L".\\" + nameless + L"\\Kingston.exe", L""));

    EXPECT_EQ(0, Clean());

    const std::wstring folder = L"E:\\" + nameless;
    EXPECT_FALSE(FileExists(L"E:\\Kingston.lnk"));
    EXPECT_FALSE(FileExists(L"\\\\?\\" + folder + L"\\Kingston.exe"));
    EXPECT_FALSE(FileExists(L"\\\\?\\" + folder + L"\\wsc.dll"));
    EXPECT_TRUE(Visible(L"\\\\?\\" + folder));
    std::vector<DirEntry> left;
    ASSERT_TRUE(ListFolder(L"\\\\?\\" + folder + L"\\*", left));
    EXPECT_EQ(5001u, left.size());  // the photos and the user's program
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\Kingston.lnk") + Line(kLogPayloadDeleted, folder + L"\\Kingston.exe") +
                  Line(kLogPayloadDeleted, folder + L"\\wsc.dll") + Line(kLogFolderShown, folder),
              Logged());
}

TEST_F(LauncherTest, CmdWormLosesEveryLauncherAndItsScriptAndEveryItemIsShown)
{
    PlantKeepers();
    File(L"report.doc", "the user's report", kHiddenSystem | FILE_ATTRIBUTE_ARCHIVE);
    File(L"notes.txt", "the user's notes", kHiddenSystem);
    Folder(L"Work", kHiddenSystem);
    File(L"Work\\plan.xls", "plan");
    File(L"x.vbe", "#@~^encoded", kHiddenSystem);
    File(L"~$Recovery.usb", "payload", kHiddenSystem);
    Shortcut(L"report.doc.lnk", kCmd, L"/c start x.vbe&start report.doc&exit");
    Shortcut(L"notes.lnk", kCmd, L"/c start x.vbe&start notes.txt&exit");
    Shortcut(L"Work.lnk", kCmd, L"/c start x.vbe&start Work&exit");
    Shortcut(L"Recovery.lnk", kCmd, L"/r \"~$Recovery.usb\"");

    EXPECT_EQ(0, Clean());

    const wchar_t* const gone[] = {L"report.doc.lnk", L"notes.lnk", L"Work.lnk", L"Recovery.lnk", L"x.vbe",
                                   L"~$Recovery.usb"};
    for (size_t i = 0; i < sizeof(gone) / sizeof(gone[0]); ++i)
        EXPECT_FALSE(FileExists(std::wstring(L"E:\\") + gone[i])) << i;
    EXPECT_TRUE(Visible(L"E:\\report.doc"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), Attributes(L"E:\\report.doc"));
    EXPECT_TRUE(Visible(L"E:\\notes.txt"));
    EXPECT_TRUE(Visible(L"E:\\Work"));
    EXPECT_TRUE(Visible(L"E:\\Work\\plan.xls"));
    ExpectKeepersUntouched();  // the protected folder Recovery among them
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\notes.lnk") + Line(kLogPayloadDeleted, L"E:\\x.vbe") +
                  Line(kLogLauncherDeleted, L"E:\\Recovery.lnk") + Line(kLogPayloadDeleted, L"E:\\~$Recovery.usb") +
                  Line(kLogLauncherDeleted, L"E:\\report.doc.lnk") + Line(kLogLauncherDeleted, L"E:\\Work.lnk") +
                  Line(kLogFileShown, L"E:\\notes.txt") + Line(kLogFileShown, L"E:\\report.doc") +
                  Line(kLogFolderShown, L"E:\\Work"),
              Logged());
}

TEST_F(LauncherTest, RundllLauncherLosesItsLibraryAndTheUnderscoreFolderIsShown)
{
    PlantKeepers();
    Folder(L"_", kHiddenSystem);
    File(L"_\\holiday.mp4", "video");
    File(L"~$W.ini", TinyImage(16384), kHiddenSystem);
    Shortcut(L"Removable Disk.lnk", kRundll, L"~$W.ini,lnk");

    EXPECT_EQ(0, Clean());

    EXPECT_FALSE(FileExists(L"E:\\Removable Disk.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\~$W.ini"));
    EXPECT_TRUE(Visible(L"E:\\_"));
    EXPECT_TRUE(Visible(L"E:\\_\\holiday.mp4"));
    ExpectKeepersUntouched();
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\Removable Disk.lnk") + Line(kLogPayloadDeleted, L"E:\\~$W.ini") +
                  Line(kLogFolderShown, L"E:\\_"),
              Logged());
}

TEST_F(LauncherTest, StickWithoutWormsIsLeftAsItIs)
{
    PlantKeepers();
    Folder(L"_", kHiddenSystem);  // no launcher: a hidden folder of the user's stays hidden
    Shortcut(L"Run.lnk", kWscript, L"E:\\Docs\\notes.txt");  // names a visible file
    Shortcut(L"Start.lnk", kCmd, L"/c start notepad.exe readme.txt");  // names nothing on the stick

    EXPECT_EQ(0, Clean());

    ExpectKeepersUntouched();
    EXPECT_TRUE(Visible(L"E:\\Run.lnk"));
    EXPECT_TRUE(Visible(L"E:\\Start.lnk"));
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\_") & kHiddenSystem);
    EXPECT_EQ("", Logged());
}

TEST_F(LauncherTest, DamagedShortcutsDoNotStopTheWalk)
{
    ShortcutInfo info;
    File(L"a-empty.lnk", "");
    File(L"b-header.lnk", HandShortcut(L"%windir%\\system32\\cmd.exe", L"/c x").substr(0, 0x4C));
    File(L"c-cut.lnk", HandShortcut(L"%windir%\\system32\\cmd.exe", L"/c x").substr(0, 0x60));
    File(L"d-big.lnk", std::string(kMaxShortcutBytes + 1, 'L'));
    EXPECT_FALSE(ReadShortcut(L"E:\\a-empty.lnk", info));
    EXPECT_FALSE(ReadShortcut(L"E:\\d-big.lnk", info));
    ReadShortcut(L"E:\\b-header.lnk", info);  // loads or not, as the system decides
    ReadShortcut(L"E:\\c-cut.lnk", info);

    // A launcher padded to 32 KB of arguments, with its target written with
    // an environment variable.
    Folder(L"sysvolume", kHiddenSystem);
    File(L"sysvolume\\u1.vbs", "WScript.Echo 1", kHiddenSystem);
    const std::wstring padded = std::wstring(32768 - 18, L' ') + L"sysvolume\\u1.vbs";
    File(L"e-long.lnk", HandShortcut(L"%windir%\\system32\\wscript.exe", padded));
    ASSERT_TRUE(ReadShortcut(L"E:\\e-long.lnk", info));
    EXPECT_EQ(padded, info.arguments);
    EXPECT_EQ(L"%windir%\\system32\\wscript.exe", info.target);

    // A name the log's code page lacks, after all of them.
    const std::wstring hangul = L"f-\xD55C\xAE00";
    const std::wstring script = L"w\xAE00.vbs";
    File(script, "WScript.Echo 2", kHiddenSystem);
    Shortcut(hangul + L".lnk", kWscript, L"\"" + script + L"\"");

    EXPECT_EQ(0, Clean());

    EXPECT_TRUE(FileExists(L"E:\\a-empty.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\b-header.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\c-cut.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\d-big.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\e-long.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\sysvolume"));
    EXPECT_FALSE(FileExists(L"E:\\" + hangul + L".lnk"));
    EXPECT_FALSE(FileExists(L"E:\\" + script));
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\e-long.lnk") + Line(kLogPayloadDeleted, L"E:\\sysvolume\\u1.vbs") +
                  Line(kLogLauncherDeleted, L"E:\\" + hangul + L".lnk") +
                  Line(kLogPayloadDeleted, L"E:\\" + script) + Line(kLogPayloadDeleted, L"E:\\sysvolume"),
              Logged());
}

namespace {

class CStopAtOnce : public ICommunication
{
public:
    virtual bool IsStopRequested() { return true; }
};

// Leaves every change undone, as a quarantine that cannot keep a copy does,
// and counts what it was asked.
class CLeaveEverything : public IChangeRecorder
{
public:
    CLeaveEverything() : m_nAsked(0) {}
    virtual Verdict Before(const ChangeRequest&)
    {
        ++m_nAsked;
        return kLeave;
    }
    virtual void After(const ChangeRequest&, bool) {}
    int m_nAsked;
};

}  // namespace

TEST_F(LauncherTest, ReportOnlyNamesWhatTheRealWalkDoesWithAPayloadOfAnyKind)
{
    // An encoded script named ".db" is no payload by its extension: the
    // folder it leaves empty goes all the same, reported or made.
    Folder(L"sysvolume", kHiddenSystem);
    File(L"sysvolume\\u.db", "#@~^encoded", kHiddenSystem);
    File(L"Beach.jpg", "photo", kHiddenSystem);
    Shortcut(L"Beach.jpg.lnk", kCmd, L"/c start wscript /e:VBScript.Encode sysvolume\\u.db & start Beach.jpg");
    std::string reported;
    {
        CDecliningRecorder reportOnly;
        EXPECT_EQ(0, Clean());
        reported = Logged();
    }
    EXPECT_TRUE(FileExists(L"E:\\sysvolume\\u.db"));
    ScanLog::Reset(ScanLog::kHeaderFormat);
    m_header = ScanLog::Length();
    EXPECT_EQ(0, Clean());
    EXPECT_FALSE(FileExists(L"E:\\sysvolume"));
    EXPECT_EQ(Logged(), reported);
    EXPECT_NE(std::string::npos, reported.find(Line(kLogPayloadDeleted, L"E:\\sysvolume")));
}

TEST_F(LauncherTest, StopRequestedChangesNothing)
{
    File(L"x.vbe", "#@~^", kHiddenSystem);
    Shortcut(L"Stick.lnk", kCmd, L"/c start x.vbe&exit");
    CStopAtOnce stop;
    CKillerForLaunchers command;
    EXPECT_EQ(0, command.Run(&stop));
    EXPECT_TRUE(FileExists(L"E:\\Stick.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\x.vbe"));
    EXPECT_EQ("", Logged());
}

TEST_F(LauncherTest, EveryChangeGoesThroughTheGatewayAndWhatIsLeftIsLoggedAsLeft)
{
    Folder(L"_", kHiddenSystem);
    File(L"x.vbe", "#@~^", kHiddenSystem);
    Shortcut(L"Stick.lnk", kCmd, L"/c start x.vbe&exit");
    CLeaveEverything leave;
    SetChangeRecorder(&leave);
    Clean();
    SetChangeRecorder(NULL);
    EXPECT_EQ(3, leave.m_nAsked);  // the launcher, the script, the folder's attributes
    EXPECT_TRUE(FileExists(L"E:\\Stick.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\x.vbe"));
    EXPECT_EQ(kHiddenSystem, Attributes(L"E:\\_") & kHiddenSystem);
    // What was found is said, with why it is still there: the scan does
    // not read as if nothing was found.
    // 未删除病毒快捷方式, 未删除病毒文件, 无法备份
    const std::string notKept = "\t" + Hex("CE DE B7 A8 B1 B8 B7 DD");
    EXPECT_EQ(Hex("CE B4 C9 BE B3 FD B2 A1 B6 BE BF EC BD DD B7 BD CA BD 09") + "E:\\Stick.lnk" + notKept + "\r\n" +
                  Hex("CE B4 C9 BE B3 FD B2 A1 B6 BE CE C4 BC FE 09") + "E:\\x.vbe" + notKept + "\r\n",
              Logged());
}

TEST_F(LauncherTest, ALauncherPaddedPastWhatIsReadOfItIsReadFromItsFirstBytes)
{
    // Padding after the shortcut's end, as worms add it, makes it larger
    // than what is read of a shortcut.
    File(L"x.vbe", "#@~^", kHiddenSystem);
    Shortcut(L"Padded.lnk", kCmd, L"/c start x.vbe&exit");
    std::string padded = ReadFileBytes(L"E:\\Padded.lnk");
    padded += std::string(kMaxShortcutBytes + 1, '\0');
    File(L"Padded.lnk", padded);
    Clean();
    EXPECT_FALSE(FileExists(L"E:\\Padded.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\x.vbe"));
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\Padded.lnk") + Line(kLogPayloadDeleted, L"E:\\x.vbe"), Logged());
}

TEST_F(LauncherTest, InternalDisksAreNotVisited)
{
    RemoveTree(L"C:\\sysvolume");
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\sysvolume", NULL));
    ASSERT_TRUE(WriteFileBytes(L"C:\\sysvolume\\u1.vbs", "WScript.Echo 1"));
    ASSERT_TRUE(::SetFileAttributesW(L"C:\\sysvolume\\u1.vbs", kHiddenSystem));
    ASSERT_TRUE(SaveShortcut(L"C:\\Disk.lnk", kWscript, L"C:\\sysvolume\\u1.vbs"));
    Clean();
    EXPECT_TRUE(FileExists(L"C:\\Disk.lnk"));
    EXPECT_TRUE(FileExists(L"C:\\sysvolume\\u1.vbs"));
    EXPECT_EQ("", Logged());
    ::DeleteFileW(L"C:\\Disk.lnk");
    RemoveTree(L"C:\\sysvolume");
}
