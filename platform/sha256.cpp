#include "platform/sha256.h"

// SHA-256 came with XP SP3; headers for older targets leave its id out.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

namespace {

// The provider, acquired once for the process: acquiring one takes
// milliseconds, and a scan hashes every file it keeps.
class CCryptProvider
{
public:
    CCryptProvider() : m_provider(0)
    {
        if (!::CryptAcquireContextW(&m_provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
            m_provider = 0;
    }
    ~CCryptProvider()
    {
        if (m_provider)
            ::CryptReleaseContext(m_provider, 0);
    }
    HCRYPTPROV Get() const { return m_provider; }

private:
    CCryptProvider(const CCryptProvider&);
    CCryptProvider& operator=(const CCryptProvider&);
    HCRYPTPROV m_provider;
};

HCRYPTPROV SharedProvider()
{
    static CCryptProvider provider;
    return provider.Get();
}

}  // namespace

bool PrepareSha256() { return SharedProvider() != 0; }

CSha256::CSha256() : m_hash(0)
{
    const HCRYPTPROV provider = SharedProvider();
    if (!provider || !::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &m_hash))
        m_hash = 0;
}

CSha256::~CSha256()
{
    if (m_hash)
        ::CryptDestroyHash(m_hash);
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

bool HashOpenFile(HANDLE file, ULONGLONG maxBytes, ULONGLONG& size, std::wstring& digest)
{
    LARGE_INTEGER length;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!::GetFileSizeEx(file, &length) || static_cast<ULONGLONG>(length.QuadPart) > maxBytes ||
        !::SetFilePointerEx(file, start, NULL, FILE_BEGIN))
        return false;
    CSha256 hash;
    static const DWORD kChunk = 64 * 1024;
    std::string buffer(kChunk, '\0');
    ULONGLONG total = 0;
    for (;;)
    {
        DWORD read = 0;
        if (!::ReadFile(file, &buffer[0], kChunk, &read, NULL))
            return false;
        if (read == 0)
            break;
        total += read;
        if (total > maxBytes || !hash.Update(buffer.data(), read))
            return false;
    }
    digest = hash.HexDigest();
    size = total;
    return !digest.empty();
}
