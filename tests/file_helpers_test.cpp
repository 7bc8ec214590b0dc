// File helpers against the sandbox's real drives: C: fixed, D: a CD drive
// without medium, E: a removable stick.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const std::wstring kDir = L"C:\\filehelpers";

class FileHelpers : public ::testing::Test
{
protected:
    void SetUp() { RemoveTree(kDir); ASSERT_TRUE(::CreateDirectoryW(kDir.c_str(), NULL)); }
    void TearDown() { RemoveTree(kDir); }

    std::wstring Put(const wchar_t* name, const std::string& bytes)
    {
        const std::wstring path = kDir + L"\\" + name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
};

// A minimal image: MZ, the PE offset at byte 60, then "PE\0\0" and a file
// header whose Characteristics sit at offset 22 of it.
std::string Image(unsigned offset, unsigned short characteristics, size_t size = 0)
{
    std::string bytes(offset + 24, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        bytes[60 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
    bytes[offset] = 'P';
    bytes[offset + 1] = 'E';
    bytes[offset + 22] = static_cast<char>(characteristics & 0xFF);
    bytes[offset + 23] = static_cast<char>(characteristics >> 8);
    if (size > bytes.size())
        bytes.resize(size, 'x');
    return bytes;
}

std::string WithOffset(std::string bytes, unsigned offset)
{
    for (int i = 0; i < 4; ++i)
        bytes[60 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
    return bytes;
}

}  // namespace

TEST(DriveRoots, ListsTheSandboxDrivesInOrderWithoutZ)
{
    const std::vector<std::wstring> roots = ListDriveRoots();
    ASSERT_EQ(3u, roots.size());
    EXPECT_EQ(L"C:\\", roots[0]);
    EXPECT_EQ(L"D:\\", roots[1]);
    EXPECT_EQ(L"E:\\", roots[2]);
    EXPECT_EQ(DRIVE_FIXED, ::GetDriveTypeW(L"C:\\"));
    EXPECT_EQ(DRIVE_CDROM, ::GetDriveTypeW(L"D:\\"));
    EXPECT_EQ(DRIVE_REMOVABLE, ::GetDriveTypeW(L"E:\\"));
}

TEST(DriveRoots, DriveWithoutMediumFailsQuietlyAndTheModeComesBack)
{
    ::SetErrorMode(0);
    {
        CQuietDriveAccess quiet;
        // SetErrorMode answers the mode in force (and here sets it again).
        EXPECT_EQ(UINT(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
                  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
        WIN32_FIND_DATAW data;
        CFindHandle find;
        EXPECT_FALSE(find.First(L"D:\\*", &data));
    }
    EXPECT_EQ(0u, ::SetErrorMode(0));
}

TEST(DriveRoots, TwentyFiveDrivesAreAllListed)
{
    // 25 roots need 101 characters, one more than the first buffer holds.
    std::vector<std::wstring> added;
    for (wchar_t letter = L'A'; letter <= L'Y'; ++letter)
    {
        if (letter >= L'C' && letter <= L'E')
            continue;
        const wchar_t device[] = {letter, L':', 0};
        const std::wstring target = kDir + L"-" + letter;
        ::CreateDirectoryW(target.c_str(), NULL);
        ASSERT_TRUE(::DefineDosDeviceW(0, device, target.c_str())) << letter;
        added.push_back(device);
    }
    const std::vector<std::wstring> roots = ListDriveRoots();
    for (size_t i = 0; i < added.size(); ++i)
    {
        ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, added[i].c_str(), NULL);
        RemoveTree(kDir + L"-" + added[i][0]);
    }
    ASSERT_EQ(25u, roots.size());
    for (size_t i = 0; i < roots.size(); ++i)
    {
        const wchar_t expected[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', 0};
        EXPECT_EQ(expected, roots[i]);
    }
}

TEST_F(FileHelpers, RecognisesImagesByContentNotByName)
{
    bool isDll = true;
    EXPECT_TRUE(IsPeImage(Put(L"photo.jpg", Image(0x80, 0x0102)).c_str(), &isDll));
    EXPECT_FALSE(isDll);
    EXPECT_TRUE(IsPeImage(Put(L"lib.txt", Image(0x40, 0x2102)).c_str(), &isDll));
    EXPECT_TRUE(isDll);
    // A text that happens to start with MZ and point at "PE" is an image too.
    EXPECT_TRUE(IsPeImage(Put(L"note.txt", Image(200, 0, 4096)).c_str(), NULL));
    // A real one from the sandbox's system folder.
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_TRUE(IsPeImage((std::wstring(system) + L"\\notepad.exe").c_str(), &isDll));
    EXPECT_FALSE(isDll);
}

TEST_F(FileHelpers, RejectsWhatIsNoImage)
{
    // 40 bytes starting with MZ: the offset reads 0 and points back at "MZ".
    EXPECT_FALSE(IsPeImage(Put(L"short.exe", "MZ" + std::string(38, 'a')).c_str()));
    EXPECT_FALSE(IsPeImage(Put(L"empty.exe", "").c_str()));
    EXPECT_FALSE(IsPeImage(Put(L"text.exe", "hello world, not an image at all, really not.............").c_str()));
    const std::string image = Image(0x80, 0x0102);
    EXPECT_FALSE(IsPeImage(Put(L"past-end.exe", WithOffset(image, 0x10000)).c_str()));
    EXPECT_FALSE(IsPeImage(Put(L"negative.exe", WithOffset(image, 0xFFFFFFF0u)).c_str()));
    EXPECT_FALSE(IsPeImage(Put(L"huge.exe", WithOffset(image, 0x7FFFFFFFu)).c_str()));
    // Only 23 bytes after the offset: the header read is short.
    EXPECT_FALSE(IsPeImage(Put(L"cut.exe", image.substr(0, image.size() - 1)).c_str()));
    EXPECT_FALSE(IsPeImage((kDir + L"\\missing.exe").c_str()));
    EXPECT_FALSE(IsPeImage(kDir.c_str()));
}

TEST_F(FileHelpers, ImageTestClosesTheFile)
{
    const std::wstring path = Put(L"closed.exe", Image(0x80, 0));
    for (int i = 0; i < 3; ++i)
        IsPeImage(path.c_str());
    EXPECT_TRUE(::DeleteFileW(path.c_str())) << "a handle stayed open";
}

TEST_F(FileHelpers, CanOpenForReadNeedsAFile)
{
    EXPECT_TRUE(CanOpenForRead(Put(L"a.txt", "a").c_str()));
    EXPECT_FALSE(CanOpenForRead((kDir + L"\\missing.txt").c_str()));
    EXPECT_FALSE(CanOpenForRead(kDir.c_str()));
    // A file opened by another without sharing cannot be opened.
    const std::wstring locked = Put(L"locked.txt", "x");
    CHandle holder(::CreateFileW(locked.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(holder.IsValid());
    EXPECT_FALSE(CanOpenForRead(locked.c_str()));
}

TEST_F(FileHelpers, WhatAnOpenFileTellsIsWhatTheFullQueryTells)
{
    // A hidden read-only file and a folder, each through its own handle:
    // attributes, size, links and times as GetFileInformationByHandle gives them.
    const std::wstring file = Put(L"kept.bin", std::string(70000, 'k'));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    const std::wstring paths[] = {file, kDir};
    for (int i = 0; i < 2; ++i)
    {
        CHandle handle(::CreateFileW(paths[i].c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
        ASSERT_TRUE(handle.IsValid()) << i;
        BY_HANDLE_FILE_INFORMATION full;
        ASSERT_TRUE(::GetFileInformationByHandle(handle, &full));
        OpenFileFacts facts;
        ASSERT_TRUE(QueryOpenFile(handle, facts));
        EXPECT_EQ(full.dwFileAttributes, facts.attributes) << i;
        EXPECT_EQ(i == 0 ? 70000u : (static_cast<ULONGLONG>(full.nFileSizeHigh) << 32 | full.nFileSizeLow), facts.size);
        EXPECT_EQ(full.nNumberOfLinks, facts.links) << i;
        EXPECT_EQ(0, ::CompareFileTime(&full.ftCreationTime, &facts.created)) << i;
        EXPECT_EQ(0, ::CompareFileTime(&full.ftLastAccessTime, &facts.accessed)) << i;
        EXPECT_EQ(0, ::CompareFileTime(&full.ftLastWriteTime, &facts.written)) << i;
    }
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              ::GetFileAttributesW(file.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(RootEntries, OnlyTheLongFormOfAListedNameIsOne)
{
    struct Case
    {
        const wchar_t* path;
        const wchar_t* root;  // NULL: no entry of a root
        const wchar_t* name;
    };
    const Case cases[] = {
        {L"\\\\?\\E:\\Photos.lnk", L"E:\\", L"Photos.lnk"},
        {L"\\\\?\\E:\\Photos .", L"E:\\", L"Photos ."},
        {L"E:\\Photos.lnk", NULL, NULL},          // worked out by Win32 first
        {L"\\\\?\\E:\\", NULL, NULL},
        {L"\\\\?\\E:\\a\\b.vbs", NULL, NULL},
        {L"\\\\?\\E:\\link/evil.vbs", NULL, NULL},  // through a junction, maybe
        {L"\\\\?\\E:\\x.vbs:zone", NULL, NULL},
        {L"\\\\?\\UNC\\host\\share", NULL, NULL},
        {L"\\\\?\\E:x", NULL, NULL},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        std::wstring root, name;
        EXPECT_EQ(cases[i].root != NULL, SplitRootEntry(cases[i].path, root, name)) << cases[i].path;
        if (cases[i].root)
        {
            EXPECT_EQ(cases[i].root, root);
            EXPECT_EQ(cases[i].name, name);
        }
    }
}

TEST_F(FileHelpers, CreatesEveryFolderOfAFilePath)
{
    const std::wstring file = kDir + L"\\a\\b\\c\\file.log";
    EXPECT_TRUE(CreateDirectoryChain(file.c_str()));
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, ::GetFileAttributesW((kDir + L"\\a\\b\\c").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(FileExists(file));
    // Again, with everything in place: nothing changes, still true.
    EXPECT_TRUE(WriteFileBytes(kDir + L"\\a\\b\\c\\keep.txt", "keep"));
    EXPECT_TRUE(CreateDirectoryChain(file.c_str()));
    EXPECT_EQ("keep", ReadFileBytes(kDir + L"\\a\\b\\c\\keep.txt"));
    // A folder path ending in a backslash is created whole; Chinese names too.
    const std::wstring folder = kDir + L"\\日志\\目录\\";
    EXPECT_TRUE(CreateDirectoryChain(folder.c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(folder.c_str()));
}

// Which roots the walks visit: local disks only. SUBST drives and network
// drives are mapped to a folder or a redirector and are left out.
TEST(LocalDriveRoots, TellsSubstAndNetworkMappingsAsWindowsReturnsThem)
{
    EXPECT_TRUE(IsSubstTarget(L"\\??\\C:\\Users\\me\\stick"));
    EXPECT_FALSE(IsSubstTarget(L"\\Device\\HarddiskVolume5"));
    EXPECT_TRUE(IsRedirectorTarget(L"\\Device\\LanmanRedirector\\;E:000000000001a2b3\\server\\share"));
    EXPECT_TRUE(IsRedirectorTarget(L"\\Device\\Mup\\;LanmanRedirector\\;F:0000\\host\\share"));
    EXPECT_TRUE(IsRedirectorTarget(L"\\device\\webdavredirector\\;G:0000\\host\\dav"));
    EXPECT_FALSE(IsRedirectorTarget(L"\\Device\\Harddisk1\\DR1"));
    EXPECT_FALSE(IsRedirectorTarget(L"\\Device\\CdRom0"));
}

TEST(LocalDriveRoots, ARunKeepsTheLettersItFoundADriveBehindAndAsksAgainForTheOthers)
{
    // M: names the system disk's own device, then N: comes to as well.
    wchar_t device[MAX_PATH] = {0};
    ASSERT_NE(0u, ::QueryDosDeviceW(L"C:", device, MAX_PATH));
    ASSERT_TRUE(::DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"M:", device));
    const UINT stickType = ::GetDriveTypeW(L"E:\\");
    {
        // The run asks about its letters ahead, once.
        CDriveLetterMemo run;
        ASSERT_TRUE(run.AskAhead());
        EXPECT_FALSE(run.AskAhead()) << "once";
        run.WaitForAhead();
        EXPECT_EQ(stickType, DriveTypeOf(L"E:\\"));
        EXPECT_FALSE(IsLocalDiskRoot(L"N:\\"));
        ::DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"M:", device);
        ASSERT_TRUE(::DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"N:", device));
        {
            // A second one made meanwhile changes nothing, nor does its end.
            CDriveLetterMemo inner;
            EXPECT_FALSE(inner.AskAhead()) << "a memo without effect asks nothing";
        }
        EXPECT_TRUE(IsLocalDiskRoot(L"M:\\")) << "kept as the run found it ahead";
        EXPECT_TRUE(IsLocalDiskRoot(L"N:\\")) << "a letter without a drive is asked again";
        // Only plain roots are kept; any other path is asked each time.
        EXPECT_EQ(::GetDriveTypeW(L"M:\\x\\"), DriveTypeOf(L"M:\\x\\"));
    }
    // Without a run every question goes to the system.
    EXPECT_EQ(::GetDriveTypeW(L"M:\\"), DriveTypeOf(L"M:\\"));
    EXPECT_FALSE(IsLocalDiskRoot(L"M:\\"));
    ::DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"N:", device);
    EXPECT_FALSE(IsLocalDiskRoot(L"N:\\"));
}

TEST(LocalDriveRoots, LeaveOutASubstDriveAndKeepTheSandboxDisks)
{
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\substed", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(::DefineDosDeviceW(0, L"S:", L"C:\\substed"));
    // The planted state: the system lists S: and maps it to a folder.
    wchar_t target[MAX_PATH] = {0};
    ASSERT_NE(0u, ::QueryDosDeviceW(L"S:", target, MAX_PATH));
    ASSERT_TRUE(IsSubstTarget(target)) << target;
    const std::vector<std::wstring> all = ListDriveRoots();
    ASSERT_NE(all.end(), std::find(all.begin(), all.end(), std::wstring(L"S:\\")));

    EXPECT_FALSE(IsLocalDiskRoot(L"S:\\"));
    EXPECT_TRUE(IsLocalDiskRoot(L"C:\\"));
    EXPECT_TRUE(IsLocalDiskRoot(L"E:\\"));
    const std::vector<std::wstring> local = ListLocalDriveRoots();
    std::vector<std::wstring> expected;
    expected.push_back(L"C:\\");
    expected.push_back(L"D:\\");
    expected.push_back(L"E:\\");
    EXPECT_EQ(expected, local);

    EXPECT_TRUE(IsRemovableOrUsbDrive(L"E:\\"));
    EXPECT_FALSE(IsRemovableOrUsbDrive(L"S:\\"));
    EXPECT_FALSE(IsRemovableOrUsbDrive(L"D:\\"));
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"S:", NULL);
    ::RemoveDirectoryW(L"C:\\substed");
}
