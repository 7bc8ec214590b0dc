// The fixture of the autostart tests: the user's Run keys and Startup
// folder emptied after each case, Wine's missing access lists and
// signatures stood in for, a quarantine around a scan.
#pragma once
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "killers/autostart_killer.h"
#include "platform/file_trust.h"
#include "tests/stick_test.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/quarantine.h"

namespace autostart_testing {

const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kPolicyRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\Run";

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

inline std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    ::SHGetFolderPathW(NULL, csidl | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, path);
    return path;
}

inline std::wstring TempFolder()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetTempPathW(MAX_PATH, path);
    std::wstring text(path);
    return text.substr(0, text.size() - 1);
}

inline std::wstring ShortPath(const std::wstring& path)
{
    wchar_t text[MAX_PATH] = {0};
    const DWORD length = ::GetShortPathNameW(path.c_str(), text, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(text) : path;
}

// "<A>" the user's roaming application data, "<L>" the local one, "<T>"
// the temporary folder, "<S>" the Startup folder, "<P>" the short (8.3)
// name of the native Program Files folder.
inline std::wstring Place(const std::wstring& pattern)
{
    struct Mark
    {
        const wchar_t* mark;
        std::wstring folder;
    } const marks[] = {
        {L"<A>", KnownFolder(CSIDL_APPDATA)},
        {L"<L>", KnownFolder(CSIDL_LOCAL_APPDATA)},
        {L"<T>", TempFolder()},
        {L"<S>", KnownFolder(CSIDL_STARTUP)},
        {L"<P>", ShortPath(L"C:\\Program Files")},
    };
    std::wstring text(pattern);
    for (size_t i = 0; i < sizeof(marks) / sizeof(marks[0]); ++i)
    {
        const std::wstring::size_type at = text.find(marks[i].mark);
        if (at != std::wstring::npos)
            text.replace(at, 3, marks[i].folder);
    }
    return text;
}


inline void PlantFile(const std::wstring& path, const std::string& bytes, DWORD attributes)
{
    testing_util::CreateDirectoryChainForTests(path);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(testing_util::WriteFileBytes(path, bytes)) << Narrow(path);
    if (attributes)
        ::SetFileAttributesW(path.c_str(), attributes);
}

typedef DWORD(WINAPI* PFNGETFINALPATHNAMEBYHANDLEW)(HANDLE, LPWSTR, DWORD, DWORD);

// Wine keeps no access lists for files: a folder named AdminOnly stands for
// one only administrators write to, one named OthersOnly for one another
// user writes to (but not the user asked about), every other one for the
// user's.
inline bool AdminOnlyFolders(HANDLE folder, PSID user, bool* writable)
{
    static PFNGETFINALPATHNAMEBYHANDLEW final = reinterpret_cast<PFNGETFINALPATHNAMEBYHANDLEW>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    wchar_t path[MAX_PATH * 2] = {0};
    if (!final || !final(folder, path, MAX_PATH * 2, 0))
        return false;
    *writable = std::wstring(path).find(L"AdminOnly") == std::wstring::npos &&
                (!user || std::wstring(path).find(L"OthersOnly") == std::wstring::npos);
    return true;
}

// Wine's programs are not signed: a folder named "signed" stands for a
// signed program's.
inline bool SignedFolders(HANDLE, const std::wstring& path, bool* signedFile)
{
    *signedFile = path.find(L"\\signed\\") != std::wstring::npos;
    return true;
}


inline void RunAutostarts()
{
    CKillerForAutostarts autostarts;
    autostarts.Run(NULL);
}

class CAutostartTest : public CStickTest
{
protected:
    static void SetUpTestCase() { ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED); }
    static void TearDownTestCase() { ::CoUninitialize(); }

    void SetUp()
    {
        CStickTest::SetUp();
        m_root = GetQuarantineRootPath();
        ASSERT_FALSE(m_root.empty());
        testing_util::RemoveTree(m_root.substr(0, m_root.size() - 1));
        SetFolderWritableHook(AdminOnlyFolders);
        SetSignatureHook(SignedFolders);
    }
    void TearDown()
    {
        // What a case planted or restored is gone before the next one.
        testing_util::DeleteKey(HKEY_CURRENT_USER, kRun);
        testing_util::DeleteKey(HKEY_CURRENT_USER, kRunOnce);
        testing_util::RemoveTree(KnownFolder(CSIDL_STARTUP));
        ::CreateDirectoryW(KnownFolder(CSIDL_STARTUP).c_str(), NULL);
        SetFolderWritableHook(NULL);
        SetSignatureHook(NULL);
        CKillerForAutostarts::SetRecheckHook(NULL);
        SetChangeRecorder(NULL);
        CStickTest::TearDown();
    }

    // A scan's quarantine around `scan`; its folder.
    std::wstring Quarantined(void (*scan)())
    {
        CQuarantine quarantine(m_root);
        SetChangeRecorder(&quarantine);
        scan();
        SetChangeRecorder(NULL);
        quarantine.Finish();
        return quarantine.Folder();
    }

    std::wstring m_root;
};

}  // namespace autostart_testing
