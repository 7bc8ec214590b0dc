// The registry backup of a change: the block of a registry script that puts
// back what the change destroys, every key named by its real name.
#pragma once
#include <windows.h>

#include <string>

#include "undo/change_gate.h"

// The block for a value written or deleted, a key tree deleted or its access
// reset (its values kept for the record), or a script imported, at most
// `maxChars` long; `keyName` gets the name of what it keeps, for the
// manifest. False when it cannot be had.
bool ComposeRegistryBlock(const ChangeRequest& change, std::wstring& block, std::wstring& keyName, size_t maxChars);

// "HKEY_LOCAL_MACHINE\..." or "HKEY_USERS\<sid>\..." for an open key (a
// predefined key gives its own name); empty when the system does not say.
std::wstring RegistryKeyName(HKEY key);
