// Gives a key of a user's hive the access list Windows gives a user's keys:
// the user, SYSTEM and Administrators with full control, inherited by
// subkeys, nothing else. Worms deny the deletion of their keys.
#pragma once
#include <string>

// Selects the user root the resets work in while it lives, named as
// ForEachUserRoot names it: "HKEY_CURRENT_USER" (the user this program runs
// as) or "HKEY_USERS\<SID>" (that user). Without one, HKEY_CURRENT_USER.
// The reset is called by the change gateway with a path alone, so the per-user
// checks select their root around it. One scan thread at a time.
class CUserKeyAccessRoot
{
public:
    explicit CUserKeyAccessRoot(const std::wstring& rootName);
    ~CUserKeyAccessRoot();

private:
    CUserKeyAccessRoot(const CUserKeyAccessRoot&);
    CUserKeyAccessRoot& operator=(const CUserKeyAccessRoot&);
    std::wstring m_previous;
};

// `path` lies below the selected user root, without a leading backslash.
// True when the new list was written; false (the thread's last error set)
// otherwise, with the key left as it was.
bool ResetUserKeyPermissions(const wchar_t* path);

// The same below the root named `rootName` (as CUserKeyAccessRoot takes it).
// Any other name is refused (ERROR_INVALID_NAME).
bool ResetUserKeyPermissionsIn(const std::wstring& rootName, const wchar_t* path);
