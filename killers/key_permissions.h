// Gives a key of the current user's hive the access list Windows gives a
// user's keys: the user, SYSTEM and Administrators with full control,
// inherited by subkeys, nothing else. Worms deny the deletion of their keys.
#pragma once

// `path` lies below HKEY_CURRENT_USER, without a leading backslash. True when
// the new list was written; false (the thread's last error set) otherwise,
// with the key left as it was.
bool ResetUserKeyPermissions(const wchar_t* path);
