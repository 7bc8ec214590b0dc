// The program's protected folder: created or taken over with an access list
// of Administrators and SYSTEM only, a planted link refused, and files in it
// and in the user's folders never written through a link.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>

#include <string>

#include "app/scan_run.h"
#include "killers/scan_log.h"
#include "tests/planted_security.h"
#include "tests/testing.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"

using namespace testing_util;
using namespace planted_security;

namespace {

bool SameWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE wanted[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(wanted);
    return ::CreateWellKnownSid(type, NULL, wanted, &size) && ::EqualSid(sid, wanted);
}

// What the program set on a folder, seen through the system-call seam: Wine
// keeps no access lists of files (it maps them to Unix mode bits and reads
// back an access list of its own), so the owner and access list are checked
// as they are handed to the system.
struct SetSecurityCall
{
    int count;
    DWORD volume, indexHigh, indexLow;
    SECURITY_INFORMATION what;
    std::string owner;
    std::string dacl;
};
SetSecurityCall g_call;
Identity g_reparsePoint = {0, 0, 0, NULL};  // one folder reported as a reparse point
bool g_refuseMoves = false;

BOOL WINAPI MoveUnlessRefused(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (!g_refuseMoves)
        return ::MoveFileExW(from, to, flags);
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

DWORD WINAPI RecordSetSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                               PSID group, PACL dacl, PACL sacl)
{
    ++g_call.count;
    BY_HANDLE_FILE_INFORMATION info;
    ::GetFileInformationByHandle(handle, &info);
    g_call.volume = info.dwVolumeSerialNumber;
    g_call.indexHigh = info.nFileIndexHigh;
    g_call.indexLow = info.nFileIndexLow;
    g_call.what = what;
    g_call.owner = owner ? std::string(static_cast<const char*>(owner), ::GetLengthSid(owner)) : std::string();
    g_call.dacl = dacl ? std::string(reinterpret_cast<const char*>(dacl), dacl->AclSize) : std::string();
    return ::SetSecurityInfo(handle, type, what, owner, group, dacl, sacl);
}

BOOL WINAPI InformationWithReparsePoint(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    const BOOL ok = ::GetFileInformationByHandle(handle, info);
    if (ok && info->dwVolumeSerialNumber == g_reparsePoint.volume && info->nFileIndexHigh == g_reparsePoint.high &&
        info->nFileIndexLow == g_reparsePoint.low)
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

// The last owner and access list set were exactly Administrators and SYSTEM,
// full control inherited by everything below, protected, on this folder.
void ExpectProtected(const std::wstring& folder)
{
    ASSERT_GE(g_call.count, 1);
    HANDLE handle = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(::GetFileInformationByHandle(handle, &info));
    ::CloseHandle(handle);
    EXPECT_EQ(info.dwVolumeSerialNumber, g_call.volume);
    EXPECT_EQ(info.nFileIndexHigh, g_call.indexHigh);
    EXPECT_EQ(info.nFileIndexLow, g_call.indexLow);
    EXPECT_EQ(DWORD(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
              g_call.what);
    ASSERT_FALSE(g_call.owner.empty());
    EXPECT_TRUE(SameWellKnownSid(const_cast<char*>(g_call.owner.data()), WinBuiltinAdministratorsSid));
    ASSERT_FALSE(g_call.dacl.empty());
    PACL dacl = reinterpret_cast<PACL>(const_cast<char*>(g_call.dacl.data()));
    ASSERT_TRUE(::IsValidAcl(dacl));
    ASSERT_EQ(2u, dacl->AceCount);
    const WELL_KNOWN_SID_TYPE expected[] = {WinBuiltinAdministratorsSid, WinLocalSystemSid};
    for (DWORD i = 0; i < 2; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = NULL;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_EQ(DWORD(FILE_ALL_ACCESS), ace->Mask);
        EXPECT_TRUE(SameWellKnownSid(&ace->SidStart, expected[i])) << i;
    }
}

// Turns an empty folder into a junction to `target` ("\??\C:\..."); false
// when the system cannot make one.
bool MakeJunction(const std::wstring& folder, const std::wstring& target)
{
    HANDLE handle = ::CreateFileW(folder.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring substitute = L"\\??\\" + target;
    const USHORT substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    std::string buffer(8 + 8 + substituteBytes + 2 + 2, '\0');
    BYTE* p = reinterpret_cast<BYTE*>(&buffer[0]);
    *reinterpret_cast<DWORD*>(p) = IO_REPARSE_TAG_MOUNT_POINT;
    *reinterpret_cast<USHORT*>(p + 4) = static_cast<USHORT>(buffer.size() - 8);
    *reinterpret_cast<USHORT*>(p + 8) = 0;                        // substitute offset
    *reinterpret_cast<USHORT*>(p + 10) = substituteBytes;         // substitute length
    *reinterpret_cast<USHORT*>(p + 12) = substituteBytes + 2;     // print name offset
    *reinterpret_cast<USHORT*>(p + 14) = 0;                       // print name length
    memcpy(p + 16, substitute.data(), substituteBytes);
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, p, static_cast<DWORD>(buffer.size()), NULL,
                                      0, &returned, NULL);
    ::CloseHandle(handle);
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return ok && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class ProgramFolderTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        ForgetOtherFolders();
        m_folder = GetProgramFolderPath();
        ASSERT_EQ(L"\\corvaneTools\\", m_folder.substr(m_folder.rfind(L'\\', m_folder.size() - 2)));
        m_bare = m_folder.substr(0, m_folder.size() - 1);
        RemoveFolder();
        g_call = SetSecurityCall();
        g_reparsePoint = Identity();
        g_refuseMoves = false;
        g_folderCalls.setSecurity = RecordSetSecurity;
        g_folderCalls.getInformation = InformationWithReparsePoint;
        g_folderCalls.moveFile = MoveUnlessRefused;
    }
    void TearDown()
    {
        g_folderCalls.setSecurity = ::SetSecurityInfo;
        g_folderCalls.getInformation = ::GetFileInformationByHandle;
        g_folderCalls.moveFile = ::MoveFileExW;
        g_reparsePoint = Identity();
        g_refuseMoves = false;
        RemoveFolder();
        ForgetOtherFolders();
    }
    // The folders of new names made in place of the usual one, and their
    // record.
    static void ForgetOtherFolders()
    {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProgramFolderKey);
        const std::wstring usual = GetProgramFolderPath();
        const std::wstring appData = usual.substr(0, usual.rfind(L'\\', usual.size() - 2) + 1);
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((appData + L"corvaneTools.*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return;
        do
            RemoveTree(appData + data.cFileName);
        while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    void RemoveFolder()
    {
        const DWORD attributes = ::GetFileAttributesW(m_bare.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ::RemoveDirectoryW(m_bare.c_str());
        RemoveTree(m_bare);
        const std::vector<std::wstring> aside = AsideFolders();
        for (size_t i = 0; i < aside.size(); ++i)
            RemoveTree(aside[i]);
    }
    // The folders moved aside beside the program's folder.
    std::vector<std::wstring> AsideFolders()
    {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((m_bare + L".untrusted-*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return found;
        do
            found.push_back(m_bare.substr(0, m_bare.rfind(L'\\') + 1) + data.cFileName);
        while (::FindNextFileW(find, &data));
        ::FindClose(find);
        return found;
    }
    // Plants the folder beforehand, as another user would, with a script of
    // that user's inside.
    void PlantFolder()
    {
        ASSERT_TRUE(::CreateDirectoryW(m_bare.c_str(), NULL));
        ASSERT_TRUE(WriteFileBytes(m_folder + L"fix.reg", "planted"));
    }
    // What stands at the folder's place cannot be moved aside: the program
    // folder is one of a new name beside it, protected, recorded in the
    // machine's registry for every later run, and it holds the log.
    void ExpectAFolderOfANewName()
    {
        const std::wstring appData = m_folder.substr(0, m_folder.rfind(L'\\', m_folder.size() - 2) + 1);
        const std::wstring other = GetProgramFolder();
        ASSERT_EQ(appData + L"corvaneTools.", other.substr(0, appData.size() + 13));
        ASSERT_EQ(appData.size() + 13 + 36 + 1, other.size()) << "a GUID's name";
        ExpectProtected(other.substr(0, other.size() - 1));
        EXPECT_EQ(other, GetProgramFolderPath()) << "recorded";
        EXPECT_EQ(other, GetProgramFolder()) << "and used again";
        wchar_t recorded[64] = {0};
        DWORD size = sizeof(recorded);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, kProgramFolderKey, kProgramFolderValue,
                                                RRF_RT_REG_SZ, NULL, recorded, &size));
        EXPECT_EQ(other, appData + recorded + L"\\");
        EXPECT_EQ(other + L"StickMedic.log", GetScanLogPath(true));
        ScanLog::Reset(ScanLog::kHeaderFormat);
        SaveScanLog();
        EXPECT_TRUE(FileExists(other + L"StickMedic.log"));
    }
    std::wstring m_folder;
    std::wstring m_bare;
};

}  // namespace

TEST_F(ProgramFolderTest, CreatedProtected)
{
    ASSERT_FALSE(FileExists(m_bare));
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
    // Asking again keeps it, and what is in it, as it is.
    ASSERT_TRUE(WriteFileBytes(m_folder + L"StickMedic.log", "kept"));
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
    EXPECT_EQ("kept", ReadFileBytes(m_folder + L"StickMedic.log"));
    EXPECT_TRUE(AsideFolders().empty());
}

TEST_F(ProgramFolderTest, ARunSecuresItsFolderOnceAndTheNextRunAgain)
{
    {
        const CProgramFolderMemo run;
        EXPECT_EQ(m_folder, GetProgramFolder());
        ExpectProtected(m_bare);
        // Gone meanwhile (only an administrator could): the run keeps its
        // answer and makes nothing anew.
        RemoveFolder();
        EXPECT_EQ(m_folder, GetProgramFolder());
        {
            // A scope of its own within the run (the scan inside a window's
            // run) keeps the run's answer.
            const CProgramFolderMemo inner;
            EXPECT_EQ(m_folder, GetProgramFolder());
        }
        EXPECT_EQ(m_folder, GetProgramFolder());
        EXPECT_FALSE(FileExists(m_bare));
    }
    // The next run, or a caller outside one, secures it again.
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
}

TEST_F(ProgramFolderTest, ARunWhoseFolderHasANewNameFindsItsPathWithoutTheRecord)
{
    ASSERT_TRUE(WriteFileBytes(m_bare, "x"));
    g_refuseMoves = true;
    const CProgramFolderMemo run;
    const std::wstring other = GetProgramFolder();
    ASSERT_NE(m_folder, other);
    // Only an administrator could take the record away; the run goes on
    // with the folder it secured, the quarantine's path too.
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProgramFolderKey));
    EXPECT_EQ(other, GetProgramFolderPath());
    EXPECT_EQ(other + L"Quarantine\\", GetQuarantineRootPath());
}

TEST_F(ProgramFolderTest, AFolderProtectedExactlySoIsNotSetAgain)
{
    // Set again, the access list would be carried down to every file of the
    // quarantine on every run. Anything else of the program's own is set.
    const struct
    {
        const wchar_t* descriptor;
        int sets;
    } kCases[] = {
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", 0},
        {L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", 1},             // inherits from above
        {L"O:SYD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", 1},            // SYSTEM the owner
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1},            // another order
        {L"O:BAD:P(A;CI;FA;;;BA)(A;OICI;FA;;;SY)", 1},              // not for the files below
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;;FR;;;BU)", 1}, // others may read
        {L"O:BAD:P(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)", 1},        // entries marked inherited
        {L"O:BAD:P(A;OICI;GA;;;BA)(A;OICI;FA;;;SY)", 1},            // a generic right
        {L"O:BAD:P(A;OICIIO;FA;;;BA)(A;OICI;FA;;;SY)", 1},          // not for the folder itself
    };
    ASSERT_EQ(m_folder, GetProgramFolder());
    CPlantedScope scope;
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i)
    {
        Marked().clear();
        ASSERT_TRUE(MarkPlanted(m_bare, kCases[i].descriptor));
        g_call = SetSecurityCall();
        EXPECT_EQ(m_folder, GetProgramFolder()) << kCases[i].descriptor;
        EXPECT_EQ(kCases[i].sets, g_call.count) << kCases[i].descriptor;
        EXPECT_TRUE(AsideFolders().empty()) << kCases[i].descriptor;
    }
}

TEST(ProgramOwned, OwnerAndAccessListDecide)
{
    // What each planted folder reads back as, and whether it is the program's.
    const struct
    {
        const wchar_t* descriptor;
        bool own;
    } kCases[] = {
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", true},
        {L"O:SYD:(A;;FA;;;SY)(A;;FR;;;BU)", true},                  // others may read
        {L"O:BAD:(A;;FA;;;BA)(D;;FA;;;BU)", true},                  // a denial takes nothing
        {L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;CO)", true},            // for what is made below only
        {L"O:BUD:(A;;FA;;;BA)", false},                             // another owner
        {L"O:BAD:(A;;FA;;;BA)(A;;0x2;;;BU)", false},                // others may add a file
        {L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;WD)", false},                // ... or a folder
        {L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", false},               // ... or delete inside
        {L"O:BAD:(A;;FA;;;BA)(A;;WD;;;AU)", false},                 // ... or change the access
        {L"O:BAD:(A;;FA;;;BA)(A;;GW;;;BU)", false},                 // generic rights count as mapped
        {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;CO)", false},                 // on the folder itself
    };
    ASSERT_NE(L"", GetProgramFolder());  // the owner of what the program makes is known
    CPlantedScope scope;
    const std::wstring folder = L"C:\\owned";
    RemoveTree(folder);
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), NULL));
    HANDLE handle = ::CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_TRUE(IsProgramOwned(handle)) << "a folder this program made";
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i)
    {
        Marked().clear();
        ASSERT_TRUE(MarkPlanted(folder, kCases[i].descriptor));
        EXPECT_EQ(kCases[i].own, IsProgramOwned(handle)) << kCases[i].descriptor;
    }
    ::CloseHandle(handle);
    RemoveTree(folder);
}

TEST_F(ProgramFolderTest, AFolderPlantedBeforehandIsMovedAsideWhole)
{
    CPlantedScope scope;
    PlantFolder();
    ASSERT_TRUE(MarkPlanted(m_bare));
    // The other user keeps a handle to the folder, as one may have opened it
    // before anything else happened to it.
    HANDLE held = ::CreateFileW(m_bare.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
    EXPECT_FALSE(FileExists(m_folder + L"fix.reg")) << "nothing of the other user's in the new folder";
    const std::vector<std::wstring> aside = AsideFolders();
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ("planted", ReadFileBytes(aside[0] + L"\\fix.reg"));
    BY_HANDLE_FILE_INFORMATION heldInfo, newInfo;
    ASSERT_TRUE(::GetFileInformationByHandle(held, &heldInfo));
    ::CloseHandle(held);
    HANDLE fresh = ::CreateFileW(m_bare.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, fresh);
    ASSERT_TRUE(::GetFileInformationByHandle(fresh, &newInfo));
    ::CloseHandle(fresh);
    EXPECT_FALSE(heldInfo.nFileIndexLow == newInfo.nFileIndexLow && heldInfo.nFileIndexHigh == newInfo.nFileIndexHigh)
        << "the held handle is not one to the program's folder";

    // A planted folder that cannot be moved aside: nothing set on it, no log
    // written into it; the program's files go to a protected folder of a
    // new name instead.
    RemoveFolder();
    Marked().clear();
    PlantFolder();
    ASSERT_TRUE(MarkPlanted(m_bare));
    g_refuseMoves = true;
    g_call = SetSecurityCall();
    ExpectAFolderOfANewName();
    EXPECT_EQ("planted", ReadFileBytes(m_folder + L"fix.reg"));
    EXPECT_FALSE(FileExists(m_folder + L"StickMedic.log"));
    EXPECT_TRUE(AsideFolders().empty());
}

TEST_F(ProgramFolderTest, PlantedFileAndReparsePointAreMovedAside)
{
    // A file in place of the folder goes aside as a folder would: it is
    // never what switches the log, the quarantine and the repairs off.
    ASSERT_TRUE(WriteFileBytes(m_bare, "x"));
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
    EXPECT_EQ(m_folder + L"StickMedic.log", GetScanLogPath(true));
    std::vector<std::wstring> aside = AsideFolders();
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ("x", ReadFileBytes(aside[0]));
    RemoveFolder();

    // One that cannot be moved aside (a worm holds it open).
    ASSERT_TRUE(WriteFileBytes(m_bare, "x"));
    g_refuseMoves = true;
    ExpectAFolderOfANewName();
    EXPECT_EQ("x", ReadFileBytes(m_bare));
    g_refuseMoves = false;
    ForgetOtherFolders();
    ::DeleteFileW(m_bare.c_str());
    g_call = SetSecurityCall();

    // A folder that is a reparse point goes aside unfollowed, and a new
    // folder takes its place. Wine makes no junctions (tried first), so the
    // reparse point is reported through the seam.
    const std::wstring elsewhere = L"C:\\elsewhere";
    RemoveTree(elsewhere);
    ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(m_bare.c_str(), NULL));
    if (!MakeJunction(m_bare, elsewhere))
    {
        HANDLE handle = ::CreateFileW(m_bare.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        ASSERT_TRUE(IdentityOf(handle, g_reparsePoint));
        ::CloseHandle(handle);
    }
    EXPECT_EQ(m_folder, GetProgramFolder());
    ExpectProtected(m_bare);
    ScanLog::Reset(ScanLog::kHeaderFormat);
    SaveScanLog();
    EXPECT_TRUE(FileExists(m_folder + L"StickMedic.log"));
    EXPECT_FALSE(FileExists(elsewhere + L"\\StickMedic.log"));
    EXPECT_EQ(1u, AsideFolders().size());

    // A log file reported as a reparse point is not written through either.
    ASSERT_TRUE(WriteFileBytes(m_folder + L"StickMedic.log", "old"));
    HANDLE log = ::CreateFileW((m_folder + L"StickMedic.log").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, log);
    ASSERT_TRUE(IdentityOf(log, g_reparsePoint));
    ::CloseHandle(log);
    SaveScanLog();
    EXPECT_EQ("old", ReadFileBytes(m_folder + L"StickMedic.log"));
    RemoveTree(elsewhere);
}

TEST_F(ProgramFolderTest, LogIsNeverWrittenThroughAHardLink)
{
    ASSERT_EQ(m_folder, GetProgramFolder());
    const std::wstring victim = L"C:\\victim.txt";
    ASSERT_TRUE(WriteFileBytes(victim, "precious"));
    const std::wstring log = m_folder + L"StickMedic.log";
    ASSERT_TRUE(::CreateHardLinkW(log.c_str(), victim.c_str(), NULL));
    ScanLog::Reset(ScanLog::kHeaderFormat);
    SaveScanLog();
    EXPECT_EQ("precious", ReadFileBytes(victim));
    EXPECT_EQ("precious", ReadFileBytes(log));

    // An ordinary log is appended to, and restarts past 1,048,576 bytes.
    ::DeleteFileW(log.c_str());
    ASSERT_TRUE(WriteFileBytes(log, "old"));
    SaveScanLog();
    EXPECT_EQ("old" + ScanLog::Text(), ReadFileBytes(log));
    ASSERT_TRUE(WriteFileBytes(log, std::string(1048577, 'x')));
    SaveScanLog();
    EXPECT_EQ(ScanLog::Text(), ReadFileBytes(log));
    ::DeleteFileW(victim.c_str());
}

TEST(SafeFiles, FreshFileIsNeverTheOneAnotherHoldsOpen)
{
    // Someone opened the old file before and writes through that handle
    // after the new one was written: the new file keeps its bytes.
    const std::wstring path = L"C:\\held.reg";
    ASSERT_TRUE(WriteFileBytes(path, "a longer old text"));
    HANDLE held = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const DWORD result = WriteFreshFile(path, "new", 3);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(held, "EVIL", 4, &written, NULL));
    ::CloseHandle(held);
    // Windows frees the name at once, Wine when the last handle closes (the
    // new file then cannot be made): never is the held file written.
    if (result == ERROR_SUCCESS)
        EXPECT_EQ("new", ReadFileBytes(path));
    else
        EXPECT_FALSE(FileExists(path));
    ::DeleteFileW(path.c_str());
}

TEST(SafeFiles, FreshFileReplacesHiddenReadOnlyAndUnlinksHardLinks)
{
    const std::wstring path = L"C:\\fresh.reg";
    ASSERT_TRUE(WriteFileBytes(path, "planted"));
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DWORD(ERROR_SUCCESS), WriteFreshFile(path, "real", 4));
    EXPECT_EQ("real", ReadFileBytes(path));
    EXPECT_EQ(0u, ::GetFileAttributesW(path.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));

    // A hard link to another file: that file keeps its bytes and attributes.
    const std::wstring victim = L"C:\\victim3.txt";
    ::DeleteFileW(path.c_str());
    ASSERT_TRUE(WriteFileBytes(victim, "precious"));
    ASSERT_TRUE(::SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::CreateHardLinkW(path.c_str(), victim.c_str(), NULL));
    EXPECT_EQ(DWORD(ERROR_SUCCESS), WriteFreshFile(path, "real", 4));
    EXPECT_EQ("real", ReadFileBytes(path));
    EXPECT_EQ("precious", ReadFileBytes(victim));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_HIDDEN), ::GetFileAttributesW(victim.c_str()) & ~FILE_ATTRIBUTE_ARCHIVE);
    // A folder of that name is not removed.
    ::DeleteFileW(path.c_str());
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), NULL));
    EXPECT_NE(DWORD(ERROR_SUCCESS), WriteFreshFile(path, "real", 4));
    ::RemoveDirectoryW(path.c_str());
    ::SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(victim.c_str());
}
