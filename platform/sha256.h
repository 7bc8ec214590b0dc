// SHA-256 through the system's CryptoAPI (the AES provider, which XP SP3
// has too).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

class CSha256
{
public:
    CSha256();
    ~CSha256();

    bool IsValid() const { return m_hash != 0; }
    bool Update(const void* bytes, DWORD size);
    // 64 lower-case hex digits; empty when the system could not hash. Ends
    // the hash: no Update after it.
    std::wstring HexDigest();

private:
    CSha256(const CSha256&);
    CSha256& operator=(const CSha256&);
    HCRYPTHASH m_hash;  // on the process's one provider
};

// Acquires the process's provider now, where nothing waits for it: the
// first acquisition loads the provider and takes milliseconds (tens of them
// under Wine), which a scan's first kept file would otherwise wait for.
// False when the system has none.
bool PrepareSha256();

// The size and SHA-256 of the file open at `file`, read from its start
// through that handle. False when it cannot be read or is larger than
// `maxBytes`.
bool HashOpenFile(HANDLE file, ULONGLONG maxBytes, ULONGLONG& size, std::wstring& digest);
