// Registry helpers: one owner per key, reading text values strictly, deleting
// key trees, and the Windows, system and current folders.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Owns one open registry key; closes it when replaced or destroyed.
class CRegKey
{
public:
    CRegKey() : m_hKey(NULL) {}
    ~CRegKey() { Close(); }

    // Opens root\path for KEY_ALL_ACCESS (never creates); the Win32 error code.
    // Below a hive the user can write (any root but HKEY_LOCAL_MACHINE,
    // HKEY_CLASSES_ROOT and the configuration keys) no level may be a registry
    // link: such a path does not open (ERROR_ACCESS_DENIED).
    LONG Open(HKEY root, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS);
    void Close();
    void Attach(HKEY key)
    {
        Close();
        m_hKey = key;
    }
    HKEY Get() const { return m_hKey; }
    operator HKEY() const { return m_hKey; }
    bool IsOpen() const { return m_hKey != NULL; }

private:
    CRegKey(const CRegKey&);
    CRegKey& operator=(const CRegKey&);
    HKEY m_hKey;
};

// The levels of the users' hives a run opened as themselves. While an
// object of this class lives on a thread, CRegKey::Open on that thread keeps
// each level on the way below HKEY_CURRENT_USER and HKEY_USERS that it
// checked not to be a link, and later opens start from the longest kept
// level instead of the hive: a run opens keys below
// "Software\Microsoft\Windows\CurrentVersion" a dozen times, each level a
// few calls. A kept handle is the key it was checked as, wherever its name
// goes meanwhile; an open through one that fails is made again from the
// hive. The destructor closes every kept level.
class CUserKeyMemo
{
public:
    CUserKeyMemo();
    ~CUserKeyMemo();

    struct Level
    {
        HKEY root;
        REGSAM view;
        std::wstring path;  // below root, without a trailing backslash
        HKEY key;
    };

private:
    friend class CRegKey;
    // root\\path opened level by level from the longest kept level, the
    // levels on the way kept.
    LONG Open(HKEY root, const std::wstring& path, REGSAM access, HKEY* opened);
    CUserKeyMemo* m_pOuter;
    std::vector<Level> m_levels;

    CUserKeyMemo(const CUserKeyMemo&);
    CUserKeyMemo& operator=(const CUserKeyMemo&);
};

// The repairs read string values into 512 characters.
const DWORD kRegTextChars = 512;

// Reads a REG_SZ or REG_EXPAND_SZ value (not expanded) into buffer[chars].
// Returns 0 and sets *count to the characters read, terminator included;
// the query's error code as it is; ERROR_INVALID_DATA (13) for another type,
// an odd length or a missing terminator. An empty value reads as "" (count 0).
// On any error *count is 0 and the buffer is left alone.
LONG ReadRegText(HKEY key, const wchar_t* valueName, wchar_t* buffer, DWORD chars, DWORD* count);

// ReadRegText into 512 characters as a string; false when nothing was read
// (missing, another type, too long, or empty).
bool ReadRegString(HKEY key, const wchar_t* valueName, std::wstring& text);

// Writes a REG_SZ value, the terminating NUL counted; the Win32 error code.
LONG WriteRegString(HKEY key, const wchar_t* valueName, const std::wstring& text);

// Deletes parent\name with all its subkeys; the status of the first failure
// or of the final deletion (0 = deleted). Every level is opened as the key
// itself (a registry link is not followed) and deleted through its own
// handle: a link is deleted, never its target, and a subkey that cannot
// be deleted ends the deletion. `view` (KEY_WOW64_64KEY, KEY_WOW64_32KEY or
// 0) is added to every open.
LONG DeleteRegKeyTree(HKEY parent, const wchar_t* name, REGSAM view = 0);

// The Windows, system and current directories, each with one trailing
// backslash; false when the system does not give it.
bool GetWindowsDirSlash(std::wstring& dir);
bool GetSystemDirSlash(std::wstring& dir);
bool GetCurrentDirSlash(std::wstring& dir);
