// The quarantine, driven through the change gateway: what each change
// destroys is kept (masked copies with their SHA-256, a manifest, a registry
// script the system's editor imports), what cannot be kept stays in place,
// old quarantines are pruned, and /restore puts things back while refusing
// bad input.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "app/restore.h"
#include "app/scan_run.h"
#include "killers/reg_script.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "tests/declining_recorder.h"
#include "tests/planted_security.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"
#include "undo/quarantine_payloads.h"

using namespace testing_util;
using namespace planted_security;

namespace {

const wchar_t kTestKey[] = L"SOFTWARE\\corvaneTools\\QuarantineTest";

std::wstring Sha256Of(const std::string& bytes)
{
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    return hash.HexDigest();
}

std::string Unmasked(std::string bytes)
{
    if (!bytes.empty())
        MaskBytes(reinterpret_cast<BYTE*>(&bytes[0]), static_cast<DWORD>(bytes.size()), 0);
    return bytes;
}

// A record's kept copy as it lies in the quarantine folder, still masked.
std::string KeptCopy(const std::wstring& folder, const ManifestRecord& record)
{
    std::wstring name;
    ULONGLONG offset = 0;
    if (!ParseStoredName(record.stored, name, offset))
        return "<no kept copy>";
    const std::string file = ReadFileBytes(folder + name);
    return offset <= file.size() ? file.substr(static_cast<size_t>(offset), static_cast<size_t>(record.size))
                                 : "<beyond the file>";
}

std::wstring Utf16Text(const std::string& bytes)
{
    if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0)
        return L"<no byte-order mark>";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

std::string Utf16Bytes(const std::wstring& text)
{
    return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

WIN32_FILE_ATTRIBUTE_DATA AttributesOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data;
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Sets the three times of a file to fixed, distinct moments.
void SetKnownTimes(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    FILETIME created = {0x11111100, 0x01c00000}, accessed = {0x22222200, 0x01c10000}, written = {0x33333300, 0x01c20000};
    ::SetFileTime(file, &created, &accessed, &written);
    ::CloseHandle(file);
}

// A file of the size, without writing its bytes.
bool MakeLargeFile(const std::wstring& path, LONG megabytes)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LONG high = 0;
    const bool ok = ::SetFilePointer(file, megabytes * 1024 * 1024, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                    ::SetEndOfFile(file);
    ::CloseHandle(file);
    return ok;
}

DWORD WINAPI RefuseSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL)
{
    return ERROR_ACCESS_DENIED;
}

// Files that read as on another volume than their drive.
std::vector<Identity> g_otherVolume;

bool MarkOtherVolume(const std::wstring& path)
{
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    Identity identity;
    const bool ok = handle != INVALID_HANDLE_VALUE && IdentityOf(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle);
    if (ok)
        g_otherVolume.push_back(identity);
    return ok;
}

BOOL WINAPI InformationOnOtherVolume(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    const BOOL ok = ::GetFileInformationByHandle(handle, info);
    for (size_t i = 0; ok && i < g_otherVolume.size(); ++i)
        if (g_otherVolume[i].volume == info->dwVolumeSerialNumber && g_otherVolume[i].high == info->nFileIndexHigh &&
            g_otherVolume[i].low == info->nFileIndexLow)
            info->dwVolumeSerialNumber ^= 0x5A5A;
    return ok;
}

bool g_swapped = false;

void SwapDocsFolder(const std::wstring&)
{
    g_swapped = ::MoveFileW(L"C:\\qt\\docs", L"C:\\qt\\moved") != FALSE;
    if (g_swapped)
        ::CreateDirectoryW(L"C:\\qt\\docs", NULL);
}

void NoRestoreHook(const std::wstring&) {}

// The same as a hook of the held changes, once.
void SwapDocsFolderOnce(const std::wstring&)
{
    SetHeldPathHook(NULL);
    SwapDocsFolder(L"");
}

class QuarantineTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        m_quarantine = NULL;
        m_root = GetQuarantineRootPath();
        ASSERT_FALSE(m_root.empty());
        RemoveTree(m_root.substr(0, m_root.size() - 1));
        RemoveTree(L"C:\\qt");
        ASSERT_TRUE(::CreateDirectoryW(L"C:\\qt", NULL));
        m_quarantine = new CQuarantine(m_root);
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        m_quarantine->Prune(now);
        SetChangeRecorder(m_quarantine);
    }
    void TearDown()
    {
        SetChangeRecorder(NULL);
        delete m_quarantine;
        RemoveTree(L"C:\\qt");
    }
    // Ends the scan: the recorder goes, the manifest gets its end.
    // A new quarantine beside an earlier one of `mib` MiB that is young
    // enough to stay: the room left is 256 MiB less that.
    void StartAfterAnEarlierQuarantineOf(int mib)
    {
        SetChangeRecorder(NULL);
        delete m_quarantine;
        m_quarantine = NULL;
        ASSERT_EQ(DWORD(0), SecureFolder(GetProgramFolder() + L"Quarantine"));
        ASSERT_TRUE(::CreateDirectoryW((m_root + L"20260119-000000").c_str(), NULL));
        ASSERT_TRUE(MakeLargeFile(m_root + L"20260119-000000\\kept.bin", mib));
        SYSTEMTIME now = {};
        now.wYear = 2026;
        now.wMonth = 1;
        now.wDay = 20;
        m_quarantine = new CQuarantine(m_root);
        m_quarantine->Prune(now);
        SetChangeRecorder(m_quarantine);
    }
    std::wstring Finish()
    {
        SetChangeRecorder(NULL);
        m_quarantine->Finish();
        return m_quarantine->Folder();
    }
    std::vector<ManifestRecord> Records(const std::wstring& folder)
    {
        std::vector<ManifestRecord> records;
        bool complete = false;
        int bad = 0;
        EXPECT_TRUE(ReadManifest(folder, records, &complete, &bad));
        EXPECT_TRUE(complete);
        EXPECT_EQ(0, bad);
        return records;
    }
    std::wstring m_root;
    CQuarantine* m_quarantine;
};

}  // namespace

TEST(Sha256, KnownDigestsThroughCryptoApi)
{
    EXPECT_EQ(L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Of("abc"));
    EXPECT_EQ(L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Sha256Of(""));
    std::string bytes;
    bytes.push_back('M');
    MaskBytes(reinterpret_cast<BYTE*>(&bytes[0]), 1, 0);
    EXPECT_NE("M", bytes);
    EXPECT_EQ("M", Unmasked(bytes));
}

TEST_F(QuarantineTest, DeletedFileIsKeptMaskedWithItsDetails)
{
    // Below a root, where the volume is asked of the file, and in the
    // stick's root, where the file is known to lie on the drive's volume.
    const std::wstring paths[] = {L"C:\\qt\\Setup.exe", L"E:\\Setup.exe"};
    const std::string image = TinyImage(5000);
    WIN32_FILE_ATTRIBUTE_DATA before[2];
    DWORD serial[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
    {
        const std::wstring& path = paths[i];
        ASSERT_TRUE(WriteFileBytes(path, image));
        SetKnownTimes(path);
        ASSERT_TRUE(::SetFileAttributesW(path.c_str(),
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
        before[i] = AttributesOf(path);
        ASSERT_TRUE(::GetVolumeInformationW(path.substr(0, 3).c_str(), NULL, 0, &serial[i], NULL, NULL, NULL, 0));
        EXPECT_TRUE(GateDeleteFile(path, kKeepOrLeave));
        EXPECT_FALSE(FileExists(path));
    }
    ASSERT_NE(serial[0], serial[1]);
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(m_root, folder.substr(0, m_root.size()));
    SYSTEMTIME time;
    EXPECT_TRUE(ParseQuarantineName(folder.substr(m_root.size(), folder.size() - m_root.size() - 1), time));

    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    for (int i = 0; i < 2; ++i)
    {
        const ManifestRecord& r = records[i];
        EXPECT_EQ(L"file", r.kind);
        EXPECT_EQ(std::wstring(kStateKept), r.state);
        EXPECT_EQ(paths[i], r.path);
        EXPECT_EQ(serial[i], r.volume) << i;
        EXPECT_EQ(before[i].dwFileAttributes, r.attributes) << i;
        EXPECT_EQ(5000u, r.size);
        EXPECT_TRUE(SameTime(before[i].ftCreationTime, r.created)) << i;
        EXPECT_TRUE(SameTime(before[i].ftLastAccessTime, r.accessed)) << i;
        EXPECT_TRUE(SameTime(before[i].ftLastWriteTime, r.written)) << i;
        EXPECT_EQ(Sha256Of(image), r.sha256);
        // One after the other in the pack, each masked from its own start.
        EXPECT_EQ(i == 0 ? L"kept.bin@0" : L"kept.bin@5000", r.stored);
        const std::string stored = KeptCopy(folder, r);
        ASSERT_EQ(image.size(), stored.size());
        EXPECT_NE(0u, stored.compare(0, 2, "MZ")) << "nothing kept starts as a program";
        EXPECT_EQ(std::string::npos, stored.find("PE"));
        EXPECT_EQ(image, Unmasked(stored));
    }
    // The manifest is UTF-16 with a byte-order mark, one tab-separated record a line.
    const std::wstring manifest = Utf16Text(ReadFileBytes(folder + L"manifest.txt"));
    EXPECT_EQ(0u, manifest.find(L"file\tkept\tC:\\qt\\Setup.exe\t"));
    EXPECT_EQ(L"\r\nend\t2\r\n", manifest.substr(manifest.size() - 9));
    EXPECT_EQ(10000u, ReadFileBytes(folder + kPackName).size());
}

TEST_F(QuarantineTest, ScanThatChangesNothingMakesNoQuarantine)
{
    // Changes of things that are not there, and process ends, keep nothing.
    EXPECT_FALSE(GateSetAttributes(L"C:\\qt\\missing", FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(GateEndProcess(NULL, L"C:\\qt\\worm.exe"));
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\missing.exe", kKeepOrLeave));
    GateScheduleDelete(L"C:\\qt\\missing.sys", kDeleteUncopied);  // registered, as the system does
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_ALL_ACCESS));
    EXPECT_NE(0, GateDeleteValue(key, L"no such value"));
    EXPECT_NE(0, GateDeleteTree(key, L"no such key"));
    EXPECT_EQ(L"", Finish());
    std::vector<DirEntry> entries;
    ListFolder(m_root + L"*", entries);
    EXPECT_EQ(0u, entries.size());
}

TEST_F(QuarantineTest, WhatCannotBeKeptStaysUnlessItIsTheWormsOwn)
{
    const std::wstring large = L"C:\\qt\\impostor.exe";
    ASSERT_TRUE(MakeLargeFile(large, 70));
    EXPECT_FALSE(GateDeleteFile(large, kKeepOrLeave));
    EXPECT_TRUE(FileExists(large)) << "a 70 MiB candidate is left in place";
    const std::wstring worm = L"C:\\qt\\autorun.inf";
    ASSERT_TRUE(MakeLargeFile(worm, 65));
    EXPECT_TRUE(GateDeleteFile(worm, kDeleteUncopied));
    EXPECT_FALSE(FileExists(worm));

    // A locked file: a user's is left, the worm's is scheduled without a copy.
    const std::wstring locked = L"C:\\qt\\locked.sys";
    ASSERT_TRUE(WriteFileBytes(locked, "driver"));
    HANDLE lock = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    EXPECT_FALSE(GateScheduleDelete(locked, kKeepOrLeave));
    EXPECT_TRUE(GateScheduleDelete(locked, kDeleteUncopied));
    ::CloseHandle(lock);
    // Scheduled while readable: copied now.
    const std::wstring readable = L"C:\\qt\\readable.dll";
    ASSERT_TRUE(WriteFileBytes(readable, "library"));
    EXPECT_TRUE(GateScheduleDelete(readable, kDeleteUncopied));

    const std::vector<ManifestRecord> records = Records(Finish());
    ASSERT_EQ(5u, records.size());
    EXPECT_EQ(large, records[0].path);
    EXPECT_EQ(L"left in place (larger than 64 MiB)", records[0].state);
    EXPECT_EQ(70u * 1024 * 1024, records[0].size);
    EXPECT_EQ(L"-", records[0].stored);
    EXPECT_EQ(worm, records[1].path);
    EXPECT_EQ(std::wstring(kStateDeletedNotKept), records[1].state);
    EXPECT_EQ(locked, records[2].path);
    EXPECT_EQ(L"left in place (locked)", records[2].state);
    EXPECT_EQ(std::wstring(kStateScheduledNotKept), records[3].state);
    EXPECT_EQ(readable, records[4].path);
    EXPECT_EQ(std::wstring(kStateScheduledKept), records[4].state);
    EXPECT_EQ(Sha256Of("library"), records[4].sha256);
    MoveFileExW(locked.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

TEST_F(QuarantineTest, RegistryChangesComeBackThroughTheRegistryEditor)
{
    const std::wstring expand = L"%SystemRoot%\\worm; \"quoted\" \\ text";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", expand, REG_EXPAND_SZ));
    const wchar_t multi[] = L"one\0two\0";
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kTestKey, L"Multi", REG_MULTI_SZ, multi, sizeof(multi)));
    const BYTE odd[] = {1, 2, 3};
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kTestKey, L"Odd", 0x12345, odd, sizeof(odd)));
    const ULONGLONG qword = 0x0102030405060708ull;
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kTestKey, L"Qword", REG_QWORD, &qword, sizeof(qword)));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, NULL, L"default \"text\""));
    ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\Deeper", L"Dword", 0xDEADBEEF));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree", L"Name", L"value"));

    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateSetString(key, L"Expand", L"C:\\worm.exe"));
    EXPECT_EQ(0, GateSetString(key, L"Expand", L"C:\\worm2.exe"));  // the first old value is what comes back
    EXPECT_EQ(0, GateDeleteValue(key, L"Multi"));
    EXPECT_EQ(0, GateDeleteValue(key, L"Odd"));
    EXPECT_EQ(0, GateSetDword(key, L"Qword", 1));
    EXPECT_EQ(0, GateSetDword(key, L"Added", 5));
    EXPECT_EQ(0, GateDeleteValue(key, NULL));
    EXPECT_EQ(0, GateDeleteTree(key, L"Tree"));
    key.Close();
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(8u, Records(folder).size());

    const std::wstring script = Utf16Text(ReadFileBytes(folder + L"before.reg"));
    EXPECT_EQ(0u, script.find(L"Windows Registry Editor Version 5.00\r\n\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Added\"=-\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Expand\"=hex(2):25,00,53,00"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Odd\"=hex(12345):01,02,03\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Qword\"=hex(b):08,07,06,05,04,03,02,01\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"@=\"default \\\"text\\\"\"\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"\\Tree\\Deeper]\r\n\"Dword\"=dword:deadbeef\r\n"));

    ASSERT_TRUE(StartRegEditInView(folder + L"before.reg", true, true));
    std::wstring text;
    DWORD type = 0;
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", text, &type));
    EXPECT_EQ(expand, text);
    EXPECT_EQ(DWORD(REG_EXPAND_SZ), type);
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    BYTE data[64];
    DWORD size = sizeof(data);
    ASSERT_EQ(0, ::RegQueryValueExW(key, L"Multi", NULL, &type, data, &size));
    EXPECT_EQ(DWORD(REG_MULTI_SZ), type);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(multi), sizeof(multi)),
              std::string(reinterpret_cast<const char*>(data), size));
    size = sizeof(data);
    ASSERT_EQ(0, ::RegQueryValueExW(key, L"Odd", NULL, &type, data, &size));
    EXPECT_EQ(0x12345u, type);
    EXPECT_EQ(std::string("\1\2\3"), std::string(reinterpret_cast<const char*>(data), size));
    size = sizeof(data);
    ASSERT_EQ(0, ::RegQueryValueExW(key, L"Qword", NULL, &type, data, &size));
    EXPECT_EQ(DWORD(REG_QWORD), type);
    ASSERT_EQ(8u, size);
    EXPECT_EQ(qword, *reinterpret_cast<ULONGLONG*>(data));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegQueryValueExW(key, L"Added", NULL, NULL, NULL, NULL));
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, NULL, text));
    EXPECT_EQ(L"default \"text\"", text);
    DWORD dword = 0;
    EXPECT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree\\Deeper", L"Dword", dword));
    EXPECT_EQ(0xDEADBEEFu, dword);
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Tree", L"Name", text));
    EXPECT_EQ(L"value", text);
    key.Close();
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}

namespace {

bool ImportNothing(const std::wstring&, bool) { return true; }
bool ResetNothing(const wchar_t*) { return true; }

}  // namespace

TEST_F(QuarantineTest, ImportsAndAccessResetsExportTheirKeys)
{
    const std::wstring present = std::wstring(kTestKey) + L"\\Present";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, present, L"Was", L"here"));
    DeleteKey(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Absent");
    const std::wstring keys = L"HKEY_LOCAL_MACHINE\\" + present + L"|HKEY_LOCAL_MACHINE\\" + kTestKey + L"\\Absent|";
    std::wstring list = keys;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == L'|')
            list[i] = L'\0';
    // Into the native view: where there are two, the block names the key as
    // the native editor that restores it reaches it.
    EXPECT_TRUE(GateImportScript(L"C:\\qt\\x.reg", list.c_str(), true, ImportNothing));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\corvaneTools\\Locked", L"Kept", L"yes"));
    EXPECT_TRUE(GateResetKeyAccess(HKEY_CURRENT_USER, ResetNothing, L"Software\\corvaneTools\\Locked"));
    // A value written into a subkey that is not there yet.
    EXPECT_EQ(0, GateSetStringIn(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Made\\Deeper").c_str(), L"V", L"x"));
    const std::wstring folder = Finish();
    const std::wstring script = Utf16Text(ReadFileBytes(folder + L"before.reg"));
    EXPECT_NE(std::wstring::npos, script.find(L"[-HKEY_LOCAL_MACHINE\\" + present + L"]\r\n\r\n[HKEY_LOCAL_MACHINE\\" +
                                              present + L"]\r\n\"Was\"=\"here\"\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"[-HKEY_LOCAL_MACHINE\\" + std::wstring(kTestKey) + L"\\Absent]\r\n"));
    // The user's key by the name an elevated editor reaches it under.
    EXPECT_NE(std::wstring::npos, script.find(L"[HKEY_USERS\\"));
    EXPECT_NE(std::wstring::npos, script.find(L"\\Software\\corvaneTools\\Locked]\r\n\"Kept\"=\"yes\"\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"[-HKEY_LOCAL_MACHINE\\" + std::wstring(kTestKey) + L"\\Made]\r\n"));
    // Put back: the keys the import and the write made go again.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Absent", L"New", L"x"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, present, L"New", L"x"));
    ASSERT_TRUE(StartRegEditInView(folder + L"before.reg", true, true));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Absent"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Made"));
    std::wstring text;
    EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, present, L"New", text));
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, present, L"Was", text));
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
    DeleteKey(HKEY_CURRENT_USER, L"Software\\corvaneTools");
}

TEST_F(QuarantineTest, TheMergedClassesViewIsKeptAsTheMachinesAndTheUsersApart)
{
    // The machine's .lnk, and values the user put into the user's classes,
    // which the merged HKEY_CLASSES_ROOT shows as its own where Windows
    // merges them.
    const std::wstring machine = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.lnk";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk", L"MachineOnly", L"m"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\Classes\\.lnk", L"UserPlanted", L"C:\\evil.exe"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\Classes\\.lnk\\ShellNew", L"Command", L"C:\\evil.exe"));
    EXPECT_EQ(0, GateSetStringIn(HKEY_CLASSES_ROOT, L".lnk", L"UserPlanted", L"scan"));
    EXPECT_TRUE(GateImportScript(L"C:\\qt\\x.reg", L"HKEY_CLASSES_ROOT\\.lnk\0", false, ImportNothing));
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    const std::wstring script = Utf16Text(ReadFileBytes(folder + L"before.reg"));
    EXPECT_EQ(std::wstring::npos, script.find(L"HKEY_CLASSES_ROOT")) << script;

    // The machine's part holds the machine's values alone: the value the
    // user planted goes again there, and the import puts back the machine's
    // key as it was.
    EXPECT_NE(std::wstring::npos, script.find(L"[" + machine + L"]\r\n\"UserPlanted\"=-\r\n\r\n")) << script;
    const std::wstring exported = L"[-" + machine + L"]\r\n\r\n[" + machine + L"]\r\n";
    const std::wstring::size_type at = script.find(exported);
    ASSERT_NE(std::wstring::npos, at) << script;
    const std::wstring machineExport = script.substr(at, script.find(L"\r\n\r\n", at + exported.size()) - at);
    EXPECT_NE(std::wstring::npos, machineExport.find(L"\"MachineOnly\"=\"m\"\r\n")) << script;

    // The user's values are kept under the user's own classes, never as the
    // machine's.
    std::wstring::size_type evil = script.find(L"evil");
    ASSERT_NE(std::wstring::npos, evil);
    for (; evil != std::wstring::npos; evil = script.find(L"evil", evil + 1))
    {
        const std::wstring::size_type header = script.rfind(L"\r\n[", evil);
        ASSERT_NE(std::wstring::npos, header);
        EXPECT_EQ(0u, script.compare(header + 3, 11, L"HKEY_USERS\\")) << script.substr(header, evil - header);
    }
    DeleteKey(HKEY_CURRENT_USER, L"Software\\Classes\\.lnk");
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.lnk"));
    ::RegDeleteValueW(key, L"MachineOnly");
    ::RegDeleteValueW(key, L"UserPlanted");
}

TEST_F(QuarantineTest, RoundTripPutsFilesAttributesAndFoldersBack)
{
    // A genuine "Setup\" folder with a "Setup.exe" beside it on the stick.
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\Setup", NULL));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\Setup", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    const std::string installer = TinyImage(70000);
    ASSERT_TRUE(WriteFileBytes(L"E:\\Setup.exe", installer));
    SetKnownTimes(L"E:\\Setup.exe");
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\Setup.exe", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    const WIN32_FILE_ATTRIBUTE_DATA before = AttributesOf(L"E:\\Setup.exe");
    // Names outside GBK, and one of 255 characters.
    const std::wstring korean = L"E:\\\xD55C\xAE00 \x0E44\x0E17\x0E22.txt";
    ASSERT_TRUE(WriteFileBytes(korean, "hangul"));
    const std::wstring longName = L"E:\\" + std::wstring(251, L'n') + L".doc";
    ASSERT_TRUE(WriteFileBytes(longName, "long"));
    // An empty folder removed, and a file that comes back meanwhile.
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\Empty", NULL));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\Empty", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(WriteFileBytes(L"E:\\notes.txt", "mine"));
    // A name only the extended form reaches: it ends in a dot and a blank.
    const std::wstring trailing = L"\\\\?\\E:\\Setup. ";
    ASSERT_TRUE(WriteFileBytes(trailing, "trailing"));

    EXPECT_TRUE(GateSetAttributes(L"E:\\Setup", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(GateDeleteFile(L"E:\\Setup.exe", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(korean, kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(longName, kKeepOrLeave));
    EXPECT_TRUE(GateRemoveFolder(L"E:\\Empty"));
    EXPECT_TRUE(GateDeleteFile(L"E:\\notes.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(trailing, kKeepOrLeave));
    EXPECT_FALSE(FileExists(trailing));
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(WriteFileBytes(L"E:\\notes.txt", "new notes"));

    std::wstring report;
    EXPECT_EQ(kRestoreDone, RestoreQuarantine(folder, false, report)) << report;
    const WIN32_FILE_ATTRIBUTE_DATA after = AttributesOf(L"E:\\Setup.exe");  // before reading it
    EXPECT_EQ(installer, ReadFileBytes(L"E:\\Setup.exe"));
    EXPECT_EQ(before.dwFileAttributes, after.dwFileAttributes);
    // The creation time is set too; Wine cannot set one on a Unix file
    // system, so it is not compared here (the manifest test checks it kept).
    EXPECT_TRUE(SameTime(before.ftLastWriteTime, after.ftLastWriteTime));
    EXPECT_TRUE(SameTime(before.ftLastAccessTime, after.ftLastAccessTime));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              ::GetFileAttributesW(L"E:\\Setup"));
    EXPECT_EQ("hangul", ReadFileBytes(korean));
    EXPECT_EQ("long", ReadFileBytes(longName));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN), ::GetFileAttributesW(L"E:\\Empty"));
    EXPECT_EQ("new notes", ReadFileBytes(L"E:\\notes.txt")) << "never overwritten";
    EXPECT_EQ("mine", ReadFileBytes(L"E:\\notes (restored).txt"));
    EXPECT_EQ("trailing", ReadFileBytes(trailing));
    EXPECT_EQ(report, Utf16Text(ReadFileBytes(folder + L"restore.txt")));
    EXPECT_NE(std::wstring::npos, report.find(L"restored\tE:\\notes (restored).txt\t"));

    // /list names it with its date and its six items.
    std::wstring list;
    EXPECT_EQ(0, ListQuarantines(list));
    EXPECT_EQ(0u, list.find(folder.substr(0, folder.size() - 1) + L"\t"));
    EXPECT_NE(std::wstring::npos, list.find(L"\t7 items\r\n"));

    ::SetFileAttributesW(L"E:\\Setup.exe", FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(L"E:\\Setup.exe");
    ::DeleteFileW(korean.c_str());
    ::DeleteFileW(longName.c_str());
    ::DeleteFileW(L"E:\\notes.txt");
    ::DeleteFileW(trailing.c_str());
    ::DeleteFileW(L"E:\\notes (restored).txt");
    ::SetFileAttributesW(L"E:\\Empty", FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(L"E:\\Empty");
    ::SetFileAttributesW(L"E:\\Setup", FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(L"E:\\Setup");
}

TEST_F(QuarantineTest, BadInputIsRefused)
{
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\a.txt", "first"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\b.txt", "second"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\c.txt", "third"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\a.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\b.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\c.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());

    std::wstring report;
    // Outside the quarantine root, below it but deeper, and missing.
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(L"C:\\qt", false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"not a quarantine folder"));
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(m_root, false, report));
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(folder + L"..\\..\\Quarantine", false, report));
    ASSERT_TRUE(::CreateDirectoryW((folder + L"inner").c_str(), NULL));
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(folder + L"inner", false, report));
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(m_root + L"20000101-000000", false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"does not exist"));

    // The manifest: a path that leaves its drive, one in device form, a
    // stored copy that no longer matches, and a manifest cut short.
    std::wstring manifest = Utf16Text(ReadFileBytes(folder + L"manifest.txt"));
    const std::wstring::size_type a = manifest.find(L"C:\\qt\\a.txt");
    manifest.replace(a, 11, L"C:\\qt\\..\\..\\evil.txt");
    const std::wstring::size_type c = manifest.find(L"C:\\qt\\c.txt");
    manifest.replace(c, 11, L"C:\\qt\\NUL.txt");
    const std::wstring::size_type endRecord = manifest.find(L"end\t");
    std::wstring network = manifest.substr(manifest.find(L"C:\\qt\\b.txt") - 10);
    network = network.substr(0, network.find(L"\r\n") + 2);
    network.replace(network.find(L"C:\\qt\\b.txt"), 11, L"\\\\?\\UNC\\host\\share\\b.txt");
    manifest.insert(endRecord, network);
    manifest.replace(manifest.find(L"end\t3"), 5, L"end\t4");
    ASSERT_TRUE(WriteFileBytes(folder + L"manifest.txt", Utf16Bytes(manifest)));
    std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(4u, records.size());
    ASSERT_EQ(L"C:\\qt\\b.txt", records[1].path);
    std::wstring packName;
    ULONGLONG second = 0;
    ASSERT_TRUE(ParseStoredName(records[1].stored, packName, second));
    std::string stored = ReadFileBytes(folder + kPackName);
    stored[static_cast<size_t>(second)] ^= 1;
    ASSERT_TRUE(WriteFileBytes(folder + kPackName, stored));
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\..\\..\\evil.txt\ta path that leaves its folder"));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\b.txt\tthe kept copy does not match its SHA-256"));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\NUL.txt\ta path with a device form"));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\t\\\\?\\UNC\\host\\share\\b.txt\tnot a path on a drive"));
    EXPECT_FALSE(FileExists(L"C:\\evil.txt"));
    EXPECT_FALSE(FileExists(L"C:\\qt\\b.txt"));

    // Cut short: the whole records before the cut still come back.
    stored[static_cast<size_t>(second)] ^= 1;
    ASSERT_TRUE(WriteFileBytes(folder + kPackName, stored));
    manifest = Utf16Text(ReadFileBytes(folder + L"manifest.txt"));
    manifest.replace(manifest.find(L"C:\\qt\\NUL.txt"), 13, L"C:\\qt\\c.txt");
    manifest.replace(manifest.find(L"C:\\qt\\..\\..\\evil.txt"), 20, L"C:\\qt\\a.txt");
    const std::wstring::size_type third = manifest.find(L"C:\\qt\\c.txt");
    ASSERT_TRUE(WriteFileBytes(folder + L"manifest.txt", Utf16Bytes(manifest.substr(0, third + 20))));
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"incomplete"));
    EXPECT_EQ("first", ReadFileBytes(L"C:\\qt\\a.txt"));
    EXPECT_EQ("second", ReadFileBytes(L"C:\\qt\\b.txt"));
    EXPECT_FALSE(FileExists(L"C:\\qt\\c.txt"));
    // No manifest at all.
    ::DeleteFileW((folder + L"manifest.txt").c_str());
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(folder, false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"manifest.txt is missing"));
}

TEST_F(QuarantineTest, WhatAnotherUserMadeIsNeitherListedNorRestored)
{
    CPlantedScope scope;
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\a.txt", "first"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\b.txt", "second"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"V", L"old"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\a.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\b.txt", kKeepOrLeave));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateSetString(key, L"V", L"new"));
    key.Close();
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());

    // A quarantine another user made, a copy of the program's own: not
    // listed, and nothing of it is restored.
    const std::wstring planted = m_root + L"20200101-000000\\";
    ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), NULL));
    const wchar_t* const names[] = {L"manifest.txt", L"kept.bin", L"before.reg"};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
        ASSERT_TRUE(WriteFileBytes(planted + names[i], ReadFileBytes(folder + names[i])));
    std::wstring list;
    EXPECT_EQ(0, ListQuarantines(list));
    EXPECT_NE(std::wstring::npos, list.find(L"20200101-000000")) << "listed while it reads as the program's";
    ASSERT_TRUE(MarkPlanted(planted));
    EXPECT_EQ(0, ListQuarantines(list));
    EXPECT_EQ(std::wstring::npos, list.find(L"20200101-000000")) << list;
    EXPECT_EQ(0u, list.find(folder.substr(0, folder.size() - 1) + L"\t")) << list;
    std::wstring report;
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(planted, true, report));
    EXPECT_NE(std::wstring::npos, report.find(L"was not made by this program")) << report;
    EXPECT_FALSE(FileExists(L"C:\\qt\\a.txt"));
    EXPECT_FALSE(FileExists(planted + L"restore.txt"));

    // In the program's own quarantine: kept copies and a before.reg of
    // another user's are refused.
    ASSERT_TRUE(MarkPlanted(folder + kPackName));
    ASSERT_TRUE(MarkPlanted(folder + L"before.reg"));
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, true, report));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\a.txt\tthe kept copy was not made by this program"))
        << report;
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\b.txt\tthe kept copy was not made by this program"))
        << report;
    EXPECT_NE(std::wstring::npos, report.find(L"before.reg\tit was not made by this program")) << report;
    EXPECT_FALSE(FileExists(L"C:\\qt\\a.txt"));
    EXPECT_FALSE(FileExists(L"C:\\qt\\b.txt"));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"V", text));
    EXPECT_EQ(L"new", text) << "the script was not imported";

    // No before.reg at all: the registry's changes are said not to come
    // back, never passed over.
    ASSERT_TRUE(::DeleteFileW((folder + L"before.reg").c_str()));
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, true, report));
    EXPECT_NE(std::wstring::npos, report.find(L"before.reg\tthe registry script is missing or not a file")) << report;
    EXPECT_EQ(std::wstring::npos, report.find(L"Everything came back")) << report;

    // A manifest of another user's: nothing is read from it.
    ASSERT_TRUE(MarkPlanted(folder + L"manifest.txt"));
    EXPECT_EQ(kRestoreRefused, RestoreQuarantine(folder, false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"manifest.txt is missing or unreadable")) << report;
    EXPECT_FALSE(FileExists(L"C:\\qt\\b.txt"));
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}

TEST_F(QuarantineTest, TheCopyForADeletionThatFailsLeavesThePack)
{
    // Held open without sharing deletion: it cannot be opened for its
    // deletion, and is left, and said so, without a copy.
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\held.txt", std::string(3000, 'h')));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\next.txt", "next"));
    CHandle held(::CreateFileW(L"C:\\qt\\held.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(held.IsValid());
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\held.txt", kKeepOrLeave));
    held.Close();
    EXPECT_TRUE(FileExists(L"C:\\qt\\held.txt"));
    // Copied, then its folder is moved (Wine lets a held folder be
    // renamed; Windows does not): it does not go, and its copy is cut
    // from the pack; the next takes its place.
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\qt\\docs", NULL));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\docs\\letter.txt", std::string(3000, 'l')));
    g_swapped = false;
    SetHeldPathHook(SwapDocsFolderOnce);
    const bool deleted = GateDeleteFile(L"C:\\qt\\docs\\letter.txt", kKeepOrLeave);
    SetHeldPathHook(NULL);
    EXPECT_NE(g_swapped, deleted);
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\next.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(g_swapped ? 2u : 3u, records.size());
    EXPECT_EQ(L"left in place (locked)", records[0].state);
    EXPECT_EQ(L"C:\\qt\\next.txt", records.back().path);
    EXPECT_EQ(g_swapped ? L"kept.bin@0" : L"kept.bin@3000", records.back().stored);
    if (g_swapped)
    {
        EXPECT_EQ("next", Unmasked(ReadFileBytes(folder + kPackName)));
    }
}

TEST_F(QuarantineTest, AQuarantineOfAnEarlierVersionWithAFileForEachCopyStillComesBack)
{
    // Earlier versions kept each file whole as "0001.bin", "0002.bin", ...,
    // masked from its first byte as every copy in the pack is. The pack of
    // a new quarantine is cut into that layout by hand.
    CPlantedScope scope;
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\a.txt", "first"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\b.txt", "second"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\a.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\b.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    std::wstring manifest = Utf16Text(ReadFileBytes(folder + L"manifest.txt"));
    const wchar_t* const names[] = {L"0001.bin", L"0002.bin"};
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE(WriteFileBytes(folder + names[i], KeptCopy(folder, records[i])));
        const std::wstring::size_type at = manifest.find(records[i].stored);
        ASSERT_NE(std::wstring::npos, at);
        manifest.replace(at, records[i].stored.size(), names[i]);
    }
    ASSERT_TRUE(WriteFileBytes(folder + L"manifest.txt", Utf16Bytes(manifest)));
    ASSERT_TRUE(::DeleteFileW((folder + kPackName).c_str()));

    // The first copy reads as another user's: refused; the second comes back.
    ASSERT_TRUE(MarkPlanted(folder + L"0001.bin"));
    std::wstring report;
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, false, report));
    EXPECT_NE(std::wstring::npos, report.find(L"refused\tC:\\qt\\a.txt\tthe kept copy was not made by this program"))
        << report;
    EXPECT_FALSE(FileExists(L"C:\\qt\\a.txt"));
    EXPECT_EQ("second", ReadFileBytes(L"C:\\qt\\b.txt"));
}

TEST(StoredNames, ThePackWithItsOffsetAndTheFilesOfEarlierVersions)
{
    struct Case
    {
        const wchar_t* stored;
        bool valid;
        const wchar_t* file;
        ULONGLONG offset;
    };
    const Case cases[] = {
        {L"kept.bin@0", true, L"kept.bin", 0},
        {L"kept.bin@5000", true, L"kept.bin", 5000},
        {L"kept.bin@9999999999999999999", true, L"kept.bin", 9999999999999999999ull},
        {L"0001.bin", true, L"0001.bin", 0},
        {L"123456.bin", true, L"123456.bin", 0},
        {L"kept.bin@", false, L"", 0},
        {L"kept.bin@-1", false, L"", 0},
        {L"kept.bin@12x", false, L"", 0},
        {L"kept.bin@99999999999999999999", false, L"", 0},  // beyond 64 bits
        {L"kept.bin", false, L"", 0},
        {L"..\\0001.bin", false, L"", 0},
        {L"x001.bin", false, L"", 0},
        {L".bin", false, L"", 0},
        {L"0001.exe", false, L"", 0},
        {L"-", false, L"", 0},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        std::wstring file;
        ULONGLONG offset = 7;
        EXPECT_EQ(cases[i].valid, ParseStoredName(cases[i].stored, file, offset)) << cases[i].stored;
        if (!cases[i].valid)
            continue;
        EXPECT_EQ(cases[i].file, file) << cases[i].stored;
        EXPECT_EQ(cases[i].offset, offset) << cases[i].stored;
        EXPECT_EQ(cases[i].stored, cases[i].file == std::wstring(kPackName) ? PackedName(offset) : file);
    }
}

TEST_F(QuarantineTest, WithoutAProgramFolderOnlyTheWormsOwnGoes)
{
    // No protected folder can be made at all (the usual one cannot be
    // secured, nor one of a new name): there is no quarantine, and nothing
    // that may be the user's is deleted.
    g_folderCalls.setSecurity = RefuseSecurity;
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\user.doc", "mine"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\autorun.inf", "[autorun]"));
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\user.doc", kKeepOrLeave));
    EXPECT_EQ("mine", ReadFileBytes(L"C:\\qt\\user.doc"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\autorun.inf", kDeleteUncopied));
    EXPECT_FALSE(FileExists(L"C:\\qt\\autorun.inf"));
    g_folderCalls.setSecurity = ::SetSecurityInfo;
    EXPECT_EQ(L"", Finish());
    std::vector<DirEntry> entries;
    ListFolder(m_root + L"*", entries);
    EXPECT_EQ(0u, entries.size());
}

TEST_F(QuarantineTest, AFileReachedOnAnotherVolumeIsLeft)
{
    // Wine makes no junctions: the file reads, through the seam, as on
    // another volume than its drive, as one reached through a junction would.
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\Setup.exe", "not the stick's"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\autorun.inf", "not the stick's either"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\here.txt", "here"));
    g_otherVolume.clear();
    ASSERT_TRUE(MarkOtherVolume(L"C:\\qt\\Setup.exe"));
    ASSERT_TRUE(MarkOtherVolume(L"C:\\qt\\autorun.inf"));
    g_folderCalls.getInformation = InformationOnOtherVolume;
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\Setup.exe", kKeepOrLeave));
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\autorun.inf", kDeleteUncopied));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\here.txt", kKeepOrLeave));
    g_folderCalls.getInformation = ::GetFileInformationByHandle;
    EXPECT_EQ("not the stick's", ReadFileBytes(L"C:\\qt\\Setup.exe"));
    EXPECT_EQ("not the stick's either", ReadFileBytes(L"C:\\qt\\autorun.inf"));
    EXPECT_FALSE(FileExists(L"C:\\qt\\here.txt"));
    const std::vector<ManifestRecord> records = Records(Finish());
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(L"left in place (on another volume than its drive)", records[0].state);
    EXPECT_EQ(L"left in place (on another volume than its drive)", records[1].state);
    EXPECT_EQ(std::wstring(kStateKept), records[2].state);
}

TEST_F(QuarantineTest, AFileWithOtherNamesIsNeitherKeptNorDeleted)
{
    // Another name of a file the user cannot read, planted where a scan
    // deletes: its bytes would be kept and put back where the user reads.
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\secret.txt", "not the user's"));
    ASSERT_TRUE(::CreateHardLinkW(L"C:\\qt\\Setup.exe", L"C:\\qt\\secret.txt", NULL));
    ASSERT_TRUE(::CreateHardLinkW(L"C:\\qt\\autorun.inf", L"C:\\qt\\secret.txt", NULL));
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\Setup.exe", kKeepOrLeave));
    EXPECT_FALSE(GateDeleteFile(L"C:\\qt\\autorun.inf", kDeleteUncopied));
    EXPECT_EQ(DWORD(kErrorChangeLeft), ::GetLastError());
    EXPECT_EQ("not the user's", ReadFileBytes(L"C:\\qt\\Setup.exe"));
    EXPECT_EQ("not the user's", ReadFileBytes(L"C:\\qt\\autorun.inf"));
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    for (size_t i = 0; i < records.size(); ++i)
    {
        EXPECT_EQ(L"left in place (it has other names (hard links))", records[i].state) << records[i].path;
        EXPECT_EQ(L"-", records[i].stored) << records[i].path;
    }
    EXPECT_EQ("", ReadFileBytes(folder + kPackName));
}

namespace {

// The restored files whose access list was set through their handle, and
// whether it was the protected one of Administrators and SYSTEM.
int g_protectedFiles = 0;

DWORD WINAPI CountProtectedFiles(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                                 PSID group, PACL dacl, PACL sacl)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (what & PROTECTED_DACL_SECURITY_INFORMATION) && (what & DACL_SECURITY_INFORMATION) && dacl &&
        owner && ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        ++g_protectedFiles;
    return ::SetSecurityInfo(handle, type, what, owner, group, dacl, sacl);
}

}  // namespace

TEST_F(QuarantineTest, RestoredFilesAreForAdministratorsAndSystemOnlyAndTheReportSaysSo)
{
    // Wine keeps no access lists of files: the seam sees what is set.
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\letter.txt", "letter"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\notes.txt", "notes"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\letter.txt", kKeepOrLeave));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\notes.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    g_protectedFiles = 0;
    g_folderCalls.setSecurity = CountProtectedFiles;
    std::wstring report;
    const int code = RestoreQuarantine(folder, false, report);
    g_folderCalls.setSecurity = ::SetSecurityInfo;
    EXPECT_EQ(kRestoreDone, code) << report;
    EXPECT_EQ(2, g_protectedFiles);
    EXPECT_EQ("letter", ReadFileBytes(L"C:\\qt\\letter.txt"));
    EXPECT_NE(std::wstring::npos, report.find(L"for Administrators and SYSTEM only")) << report;
}

TEST_F(QuarantineTest, NamesThatWouldBreakTheScriptAreNotKept)
{
    // Names of the user's choosing that would end a line of before.reg and
    // start lines of their own.
    const std::wstring base = L"Software\\corvaneTools\\Names";
    const std::wstring valueName = L"a\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Injected]\r\n\"b";
    const std::wstring keyName = L"k]\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Injected2";
    const std::wstring bracket = L"only]bracket";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, base, valueName.c_str(), L"x"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, base, L"Plain", L"kept"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, base + L"\\Tree\\" + keyName, L"v", L"y"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, base + L"\\Other\\" + bracket, L"v", L"z"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, base + L"\\Fine\\Sub", L"v", L"w"));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_CURRENT_USER, base.c_str()));
    EXPECT_EQ(0, GateSetString(key, valueName.c_str(), L"changed"));
    EXPECT_EQ(0, GateSetString(key, L"Plain", L"changed"));
    EXPECT_EQ(0, GateDeleteTree(key, L"Tree"));
    EXPECT_EQ(0, GateDeleteTree(key, L"Other"));
    EXPECT_EQ(0, GateDeleteTree(key, L"Fine"));
    key.Close();
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(5u, records.size());
    EXPECT_EQ(std::wstring(kStateRegistryNotKept), records[0].state);
    EXPECT_EQ(std::wstring::npos, records[0].path.find_first_of(L"\r\n")) << "the manifest keeps one record a line";
    EXPECT_EQ(std::wstring(kStateChanged), records[1].state);
    EXPECT_EQ(std::wstring(kStateRegistryNotKept), records[2].state);
    EXPECT_EQ(std::wstring(kStateRegistryNotKept), records[3].state);
    EXPECT_EQ(std::wstring(kStateChanged), records[4].state);
    const std::wstring script = Utf16Text(ReadFileBytes(folder + L"before.reg"));
    EXPECT_EQ(std::wstring::npos, script.find(L"Injected"));
    EXPECT_EQ(std::wstring::npos, script.find(L"bracket"));
    EXPECT_NE(std::wstring::npos, script.find(L"\"Plain\"=\"kept\"\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"\\Names\\Fine\\Sub]\r\n\"v\"=\"w\"\r\n"));
    DeleteKey(HKEY_CURRENT_USER, L"Software\\corvaneTools");
}

TEST_F(QuarantineTest, AFolderOnTheWayReplacedWhileRestoringGetsNothing)
{
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\qt\\docs", NULL));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\docs\\letter.txt", "letter"));
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\docs\\letter.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    // At the moment before the write, the folder is renamed and another one
    // (standing in for a junction) takes its name. Windows refuses the
    // rename of a folder the restore holds; Wine lets it happen.
    g_swapped = false;
    g_beforeRestoreWrite = SwapDocsFolder;
    std::wstring report;
    const int code = RestoreQuarantine(folder, false, report);
    g_beforeRestoreWrite = NoRestoreHook;
    if (g_swapped)
    {
        EXPECT_EQ(kRestoreIncomplete, code);
        EXPECT_NE(std::wstring::npos, report.find(L"a folder on the way was moved or replaced")) << report;
        EXPECT_FALSE(FileExists(L"C:\\qt\\docs\\letter.txt"));
        EXPECT_FALSE(FileExists(L"C:\\qt\\moved\\letter.txt"));
    }
    else
    {
        EXPECT_EQ(kRestoreDone, code) << report;
        EXPECT_EQ("letter", ReadFileBytes(L"C:\\qt\\docs\\letter.txt"));
    }
}

TEST_F(QuarantineTest, PruningKeepsTenAnd256MiBButNothingYoungerThan30Days)
{
    SetChangeRecorder(NULL);
    ASSERT_EQ(DWORD(0), SecureFolder(GetProgramFolder() + L"Quarantine"));
    // Twelve old quarantines of a few bytes, two young ones.
    const wchar_t* const names[] = {
        L"20200101-000000", L"20200102-000000", L"20200103-000000", L"20200104-000000", L"20200105-000000",
        L"20200106-000000", L"20200107-000000", L"20200108-000000", L"20200109-000000", L"20200110-000000",
        L"20200111-000000", L"20200112-000000", L"20260101-000000", L"20260102-000000",
    };
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
    {
        ASSERT_TRUE(::CreateDirectoryW((m_root + names[i]).c_str(), NULL));
        ASSERT_TRUE(WriteFileBytes(m_root + names[i] + L"\\0001.bin", "x"));
    }
    ASSERT_TRUE(::CreateDirectoryW((m_root + L"not-a-quarantine").c_str(), NULL));
    SYSTEMTIME now = {};
    now.wYear = 2026;
    now.wMonth = 1;
    now.wDay = 20;
    EXPECT_EQ(10u, PruneQuarantines(m_root, now));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_FALSE(FileExists(m_root + names[i])) << i;
    for (size_t i = 4; i < 14; ++i)
        EXPECT_TRUE(FileExists(m_root + names[i])) << i;
    EXPECT_TRUE(FileExists(m_root + L"not-a-quarantine"));

    // Too many bytes: old ones go, oldest first, until 256 MiB are left.
    ASSERT_TRUE(MakeLargeFile(m_root + names[5] + L"\\0002.bin", 150));
    ASSERT_TRUE(MakeLargeFile(m_root + names[6] + L"\\0002.bin", 150));
    ASSERT_TRUE(MakeLargeFile(m_root + names[12] + L"\\0002.bin", 100));
    ASSERT_TRUE(MakeLargeFile(m_root + names[13] + L"\\0002.bin", 50));
    EXPECT_EQ(150ull * 1024 * 1024 + 7, PruneQuarantines(m_root, now));
    for (size_t i = 4; i < 7; ++i)
        EXPECT_FALSE(FileExists(m_root + names[i])) << i;
    for (size_t i = 7; i < 14; ++i)
        EXPECT_TRUE(FileExists(m_root + names[i])) << i;
    // Young ones stay even when they alone take more.
    ASSERT_TRUE(MakeLargeFile(m_root + names[12] + L"\\0002.bin", 300));
    EXPECT_EQ(350ull * 1024 * 1024 + 2, PruneQuarantines(m_root, now));
    for (size_t i = 7; i < 12; ++i)
        EXPECT_FALSE(FileExists(m_root + names[i])) << i;
    EXPECT_TRUE(FileExists(m_root + names[12]));
    EXPECT_TRUE(FileExists(m_root + names[13]));
}

namespace {

// Runs the program beside this test with the arguments, its output going to
// a file; its exit code, or -1 when it does not end by itself.
int RunProgram(const std::wstring& arguments, std::string& output)
{
    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring program(self);
    program = program.substr(0, program.rfind(L'\\') + 1) + L"StickMedic.exe";
    // A new file for every run: the last run's may still be held open.
    static int run = 0;
    wchar_t temp[MAX_PATH] = {0};
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t outputPath[MAX_PATH + 32];
    swprintf(outputPath, MAX_PATH + 32, L"%lsstickmedic-output%d.txt", temp, ++run);
    const DWORD code = RunWithOutput(program, arguments, outputPath, 30000);
    output = ReadFileBytes(outputPath);
    return static_cast<int>(code);
}

}  // namespace

TEST_F(QuarantineTest, TheProgramRestoresAndListsWithoutAWindow)
{
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\kept.txt", "kept bytes"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Old", L"old text"));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateSetString(key, L"Old", L"new text"));
    key.Close();
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\kept.txt", kKeepOrLeave));
    const std::wstring folder = Finish();
    ASSERT_FALSE(folder.empty());
    const std::wstring bare = folder.substr(0, folder.size() - 1);
    std::string output;

    EXPECT_EQ(0, RunProgram(L"/list", output));
    EXPECT_NE(std::string::npos, output.find("\t2 items\r\n")) << output;

    // Without /registry the registry stays as the scan left it.
    EXPECT_EQ(0, RunProgram(L"/restore \"" + bare + L"\"", output));
    EXPECT_NE(std::string::npos, output.find("Everything came back.")) << output;
    EXPECT_EQ("kept bytes", ReadFileBytes(L"C:\\qt\\kept.txt"));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Old", text));
    EXPECT_EQ(L"new text", text);
    EXPECT_EQ(0, RunProgram(L"/restore \"" + bare + L"\" /registry", output));
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Old", text));
    EXPECT_EQ(L"old text", text);
    EXPECT_EQ("kept bytes", ReadFileBytes(L"C:\\qt\\kept.txt"));
    // The file had come back: it is not put back a second time.
    EXPECT_FALSE(FileExists(L"C:\\qt\\kept (restored).txt"));
    EXPECT_EQ(0, RunProgram(L"/restore \"" + bare + L"\" /registry", output));
    EXPECT_NE(std::string::npos, output.find("Nothing is left to restore.")) << output;

    EXPECT_EQ(kRestoreRefused, RunProgram(L"/restore C:\\windows", output));
    EXPECT_NE(std::string::npos, output.find("is not a quarantine folder")) << output;
    EXPECT_EQ(64, RunProgram(L"/restore", output)) << "bad arguments";
    EXPECT_NE(std::string::npos, output.find("/restore needs a value")) << output;
    EXPECT_NE(std::string::npos, output.find("/restore \"<quarantine folder>\" [/registry]")) << output;
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}

TEST_F(QuarantineTest, AScanOfAnInfectedStickCanBeUndone)
{
    SetChangeRecorder(NULL);  // the scan installs its own
    // A genuine "Setup\" folder with its installer beside it, read-only,
    // hidden and system; a folder the worm hid with its shortcut; the worm's
    // autorun.inf naming a program that is gone.
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\Setup", NULL));
    const std::string installer = TinyImage(40000);
    ASSERT_TRUE(WriteFileBytes(L"E:\\Setup.exe", installer));
    SetKnownTimes(L"E:\\Setup.exe");
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\Setup.exe", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    const WIN32_FILE_ATTRIBUTE_DATA before = AttributesOf(L"E:\\Setup.exe");
    ASSERT_TRUE(::CreateDirectoryW(L"E:\\Work", NULL));
    ASSERT_TRUE(::SetFileAttributesW(L"E:\\Work", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    const std::string shortcut = "L\0\0\0shortcut bytes";
    ASSERT_TRUE(WriteFileBytes(L"E:\\Work.lnk", shortcut));
    const std::string autorun = "[autorun]\r\nopen=gone.exe\r\nshell\\open\\Command=gone.exe\r\n";
    ASSERT_TRUE(WriteFileBytes(L"E:\\autorun.inf", autorun));

    CScanController scan(NULL);
    scan.StartScan();
    ASSERT_TRUE(scan.WaitForWorkers(120000));
    EXPECT_FALSE(FileExists(L"E:\\Setup.exe"));
    EXPECT_FALSE(FileExists(L"E:\\Work.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), ::GetFileAttributesW(L"E:\\Work"));

    std::vector<DirEntry> entries;
    ListFolder(m_root + L"*", entries);
    ASSERT_EQ(1u, entries.size());
    const std::wstring folder = m_root + entries[0].name + L"\\";
    const std::vector<ManifestRecord> records = Records(folder);
    int files = 0;
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].kind == L"file")
        {
            ++files;
            EXPECT_EQ(Sha256Of(Unmasked(KeptCopy(folder, records[i]))), records[i].sha256)
                << records[i].path;
        }
    EXPECT_EQ(3, files);

    // The shortcut came back meanwhile: it stays, the kept one goes beside it.
    ASSERT_TRUE(WriteFileBytes(L"E:\\Work.lnk", "new"));
    std::wstring report;
    EXPECT_EQ(kRestoreDone, RestoreQuarantine(folder, false, report)) << report;
    const WIN32_FILE_ATTRIBUTE_DATA after = AttributesOf(L"E:\\Setup.exe");
    EXPECT_EQ(installer, ReadFileBytes(L"E:\\Setup.exe"));
    EXPECT_EQ(before.dwFileAttributes, after.dwFileAttributes);
    // The rule reads the file before it goes, which moves its access time:
    // the write time is the one to compare.
    EXPECT_TRUE(SameTime(before.ftLastWriteTime, after.ftLastWriteTime));
    EXPECT_EQ("new", ReadFileBytes(L"E:\\Work.lnk"));
    EXPECT_EQ(shortcut, ReadFileBytes(L"E:\\Work (restored).lnk"));
    EXPECT_EQ(autorun, ReadFileBytes(L"E:\\autorun.inf"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              ::GetFileAttributesW(L"E:\\Work"));

    const wchar_t* const planted[] = {L"E:\\Setup.exe", L"E:\\Work.lnk", L"E:\\Work (restored).lnk",
                                      L"E:\\autorun.inf"};
    for (size_t i = 0; i < sizeof(planted) / sizeof(planted[0]); ++i)
    {
        ::SetFileAttributesW(planted[i], FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(planted[i]);
    }
    RemoveTree(L"E:\\Setup");
    RemoveTree(L"E:\\Work");
}

namespace {

// A full disk: every write of the registry blocks and script fails.
BOOL WINAPI DiskFull(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (written)
        *written = 0;
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

}  // namespace

TEST_F(QuarantineTest, ARegistryChangeWhoseBlockCannotBeWrittenIsNotMadeAndNoEarlierBlockIsLost)
{
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"First", L"old first"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Second", L"old second"));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateSetString(key, L"First", L"new first"));
    g_folderCalls.writeFile = DiskFull;
    EXPECT_NE(0, GateSetString(key, L"Second", L"new second")) << "no block, no change";
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Second", text));
    EXPECT_EQ(L"old second", text);
    key.Close();
    // The disk is still full as the scan ends: the script is not made, and
    // the blocks stay as they were written.
    const std::wstring folder = Finish();
    g_folderCalls.writeFile = ::WriteFile;
    ASSERT_FALSE(folder.empty());
    EXPECT_FALSE(FileExists(folder + L"before.reg"));
    EXPECT_FALSE(FileExists(folder + L"before.reg.tmp"));
    EXPECT_TRUE(FileExists(folder + L"before.blocks"));
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(std::wstring(kStateChanged), records[0].state);
    EXPECT_EQ(L"left in place (the copy could not be written)", records[1].state);

    // /restore makes the script of the blocks and puts the first value back.
    std::wstring report;
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder, true, report)) << report;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"First", text));
    EXPECT_EQ(L"old first", text);
    EXPECT_TRUE(FileExists(folder + L"before.reg"));
    EXPECT_FALSE(FileExists(folder + L"before.blocks"));
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}

TEST_F(QuarantineTest, RegistryBlocksCountAgainstTheQuarantinesRoomAndLargerTreesAreNotKept)
{
    // Earlier quarantines, young enough to stay, leave one MiB of room.
    ASSERT_NO_FATAL_FAILURE(StartAfterAnEarlierQuarantineOf(255));

    // A value of 400 KB is 2.4 MB of script text.
    const std::vector<BYTE> big(400 * 1000, 0x5A);
    const std::wstring tree = std::wstring(kTestKey) + L"\\Big";
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, tree, L"Blob", REG_BINARY, &big[0], static_cast<DWORD>(big.size())));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"Small", L"old small"));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateDeleteTree(key, L"Big")) << "changed without its old state";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, tree));
    EXPECT_EQ(0, GateSetString(key, L"Small", L"new small"));
    key.Close();
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(std::wstring(kStateRegistryNotKept), records[0].state);
    EXPECT_EQ(std::wstring(kStateChanged), records[1].state);
    const std::string script = ReadFileBytes(folder + L"before.reg");
    EXPECT_GT(4096u, script.size()) << "the small change's block alone";
    EXPECT_NE(std::wstring::npos, Utf16Text(script).find(L"\"Small\"=\"old small\"\r\n"));
    EXPECT_EQ(std::wstring::npos, Utf16Text(script).find(L"Blob"));
    RemoveTree(m_root + L"20260119-000000");
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}

namespace {

bool g_taskDeleted = false;
bool DeleteNoTask(const std::wstring&)
{
    g_taskDeleted = true;
    return true;
}

}  // namespace

TEST_F(QuarantineTest, ATaskDefinitionCountsAgainstTheQuarantinesRoom)
{
    // Earlier quarantines, young enough to stay, leave no room.
    ASSERT_NO_FATAL_FAILURE(StartAfterAnEarlierQuarantineOf(256));

    g_taskDeleted = false;
    EXPECT_FALSE(GateDeleteTask(L"\\Worm", L"<Task/>", DeleteNoTask));
    EXPECT_FALSE(g_taskDeleted) << "deleted without its definition kept";
    const std::wstring folder = Finish();
    EXPECT_TRUE(folder.empty() || !FileExists(folder + L"task-0001.xml"));
    RemoveTree(m_root + L"20260119-000000");
}

TEST_F(QuarantineTest, AStickPayloadIsDigestedThroughItsHeldFileAndItsCopyMarkedUntilRestored)
{
    const std::string payload = TinyImage(3000) + "payload";
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\p.exe", payload));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\user.exe", TinyImage(2000)));
    ASSERT_TRUE(WriteFileBytes(L"C:\\qt\\ro.exe", "report only"));
    HeldDigest digest;
    EXPECT_TRUE(GateDeletePayload(L"C:\\qt\\p.exe", kKeepOrLeave, digest));
    EXPECT_EQ(payload.size(), digest.size);
    EXPECT_EQ(Sha256Of(payload), digest.sha256);
    EXPECT_TRUE(GateDeleteFile(L"C:\\qt\\user.exe", kKeepOrLeave));
    {
        // Report-only declines the deletion and still hands the digest back.
        CDecliningRecorder reportOnly;
        EXPECT_TRUE(GateDeletePayload(L"C:\\qt\\ro.exe", kKeepOrLeave, digest));
        EXPECT_EQ(Sha256Of("report only"), digest.sha256);
        EXPECT_TRUE(FileExists(L"C:\\qt\\ro.exe"));
    }
    const std::wstring folder = Finish();
    const std::vector<ManifestRecord> records = Records(folder);
    ASSERT_EQ(2u, records.size());
    std::set<std::wstring> kept;
    ReadKeptPayloads(folder, kept);
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(records[0].stored, *kept.begin()) << "the payload's copy alone";
    // Brought back by the user: no payload any more.
    std::wstring report;
    EXPECT_EQ(kRestoreDone, RestoreQuarantine(folder, false, report)) << report;
    EXPECT_EQ(payload, ReadFileBytes(L"C:\\qt\\p.exe"));
    ReadKeptPayloads(folder, kept);
    EXPECT_TRUE(kept.empty());
}

TEST_F(QuarantineTest, TheScriptIsComposedLatestChangeFirstFromBlocksWrittenOnce)
{
    // Three changes of one value, one of them failing: the value as it was
    // before the first comes back, and the failed one's block is gone.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"V", L"before the scan"));
    CRegKey key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, kTestKey));
    EXPECT_EQ(0, GateSetString(key, L"V", L"one"));
    EXPECT_EQ(0, GateSetString(key, L"V", L"two"));
    CRegKey readOnly;
    ASSERT_EQ(0, readOnly.Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    EXPECT_NE(0, GateSetString(readOnly, L"V", L"three")) << "a key opened to read takes no write";
    key.Close();
    readOnly.Close();
    const std::wstring folder = Finish();
    EXPECT_FALSE(FileExists(folder + L"before.blocks")) << "composed, the blocks go";
    const std::wstring script = Utf16Text(ReadFileBytes(folder + L"before.reg"));
    const std::wstring::size_type one = script.find(L"\"V\"=\"one\"");
    const std::wstring::size_type before = script.find(L"\"V\"=\"before the scan\"");
    ASSERT_NE(std::wstring::npos, one) << script;
    ASSERT_NE(std::wstring::npos, before) << script;
    EXPECT_LT(one, before) << "the latest change first";
    EXPECT_EQ(std::wstring::npos, script.find(L"\"V\"=\"two\"")) << "the failed change's block went again";
    EXPECT_EQ(std::wstring::npos, script.find(L";block")) << "no line of the blocks file";
    ASSERT_TRUE(StartRegEditInView(folder + L"before.reg", true, true));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTestKey, L"V", text));
    EXPECT_EQ(L"before the scan", text);
    DeleteKey(HKEY_LOCAL_MACHINE, kTestKey);
}
