#include "platform/file_helpers.h"

#include "platform/handles.h"

std::vector<std::wstring> ListDriveRoots()
{
    std::vector<std::wstring> roots;
    std::vector<wchar_t> buffer(100);
    DWORD length = 0;
    for (;;)
    {
        length = ::GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), &buffer[0]);
        if (length < buffer.size())
            break;
        // Too small: the result is the size needed (the terminator included).
        buffer.assign(length + 1, L'\0');
    }
    if (length < 4)
        return roots;
    const wchar_t* p = &buffer[0];
    const wchar_t* end = p + length;
    while (p < end && *p)
    {
        std::wstring root(p);
        p += root.size() + 1;
        roots.push_back(root);
    }
    return roots;
}

bool IsPeImage(const wchar_t* path, bool* isDll)
{
    CHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file.IsValid())
        return false;

    unsigned char dos[64] = {0};
    DWORD read = 0;
    ::ReadFile(file, dos, sizeof(dos), &read, NULL);
    if (dos[0] != 'M' || dos[1] != 'Z')
        return false;

    // The offset is taken unsigned: a "negative" one lies beyond 2 GiB and
    // reads nothing, like any other offset past the end of the file.
    DWORD offset = static_cast<DWORD>(dos[60]) | (static_cast<DWORD>(dos[61]) << 8) |
                   (static_cast<DWORD>(dos[62]) << 16) | (static_cast<DWORD>(dos[63]) << 24);
    LONG high = 0;
    if (::SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR)
        return false;

    unsigned char pe[24] = {0};
    read = 0;
    if (!::ReadFile(file, pe, sizeof(pe), &read, NULL) || read != sizeof(pe))
        return false;
    if (pe[0] != 'P' || pe[1] != 'E')
        return false;

    if (isDll)
    {
        const unsigned characteristics = pe[22] | (pe[23] << 8);
        *isDll = (characteristics & IMAGE_FILE_DLL) != 0;
    }
    return true;
}

bool CanOpenForRead(const wchar_t* path)
{
    CHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL));
    return file.IsValid();
}

bool CreateDirectoryChain(const wchar_t* path)
{
    if (!path)
        return true;
    std::wstring text(path);
    for (std::wstring::size_type i = 0; i < text.size(); ++i)
    {
        if (text[i] != L'\\' || i == 0)
            continue;
        // Errors, an existing folder or a bare "E:" among them, are ignored.
        ::CreateDirectoryW(text.substr(0, i).c_str(), NULL);
    }
    return true;
}
