#include "platform/sha256.h"

// SHA-256 came with XP SP3; headers for older targets leave its id out.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

CSha256::CSha256() : m_provider(0), m_hash(0)
{
    if (!::CryptAcquireContextW(&m_provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    {
        m_provider = 0;
        return;
    }
    if (!::CryptCreateHash(m_provider, CALG_SHA_256, 0, 0, &m_hash))
        m_hash = 0;
}

CSha256::~CSha256()
{
    if (m_hash)
        ::CryptDestroyHash(m_hash);
    if (m_provider)
        ::CryptReleaseContext(m_provider, 0);
}

bool CSha256::Update(const void* bytes, DWORD size)
{
    return m_hash && (size == 0 || ::CryptHashData(m_hash, static_cast<const BYTE*>(bytes), size, 0));
}

std::wstring CSha256::HexDigest()
{
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!m_hash || !::CryptGetHashParam(m_hash, HP_HASHVAL, digest, &size, 0) || size != sizeof(digest))
        return std::wstring();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (DWORD i = 0; i < size; ++i)
    {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}
