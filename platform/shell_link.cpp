#include "platform/shell_link.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

#include "platform/file_helpers.h"
#include "platform/handles.h"

namespace {

// The longest text a shortcut stores in one string: a 16-bit count.
const int kMaxShortcutText = 65536;

// Opens the shortcut file itself for the time it is loaded: a junction or
// symbolic link in its place is opened as itself and refused, so nothing it
// points to (another disk, another machine) is reached. Sharing only reading,
// the handle keeps the name on this file until it is closed: the file cannot
// be renamed, deleted or replaced by a link meanwhile, so the file the shell
// link object then loads by name is the one checked here. Its size as the
// file itself tells it.
bool HoldShortcutFile(const std::wstring& path, CHandle& file, ULONGLONG& size)
{
    file.Attach(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) ||
        (facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    size = facts.size;
    return true;
}

// Whether the held file starts as every shortcut does: the size of its
// header (76) and the shell link class. Anything else the shell link object
// refuses too; this way it is refused without the object.
bool StartsAsShortcut(HANDLE file)
{
    static const BYTE kHead[20] = {0x4C, 0x00, 0x00, 0x00, 0x01, 0x14, 0x02, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    BYTE head[sizeof(kHead)] = {0};
    DWORD read = 0;
    return ::ReadFile(file, head, sizeof(head), &read, NULL) && read == sizeof(head) &&
           std::memcmp(head, kHead, sizeof(kHead)) == 0;
}

// The first `size` bytes of the held file as a stream in memory (the shell
// link object reads it from there, never from the file by name).
bool ReadIntoStream(HANDLE file, ULONGLONG size, CComOwner<IStream>& stream)
{
    const DWORD wanted = size < kMaxShortcutBytes ? static_cast<DWORD>(size) : kMaxShortcutBytes;
    std::vector<BYTE> bytes(wanted);
    DWORD read = 0;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!::SetFilePointerEx(file, start, NULL, FILE_BEGIN) || !::ReadFile(file, &bytes[0], wanted, &read, NULL) ||
        read != wanted)
        return false;
    ULONG written = 0;
    LARGE_INTEGER origin;
    origin.QuadPart = 0;
    return SUCCEEDED(::CreateStreamOnHGlobal(NULL, TRUE, stream.Receive())) &&
           SUCCEEDED(stream->Write(&bytes[0], wanted, &written)) && written == wanted &&
           SUCCEEDED(stream->Seek(origin, STREAM_SEEK_SET, NULL));
}

// Loads the held shortcut: by its name (the name the held handle keeps on
// this file; a target given relative to the shortcut is worked out from
// it), or, past kMaxShortcutBytes, from its first bytes in memory.
bool LoadHeld(IShellLinkW* link, const std::wstring& path, HANDLE held, ULONGLONG size)
{
    if (size <= kMaxShortcutBytes)
    {
        CComOwner<IPersistFile> file;
        return SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Receive()))) &&
               SUCCEEDED(file->Load(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE));
    }
    CComOwner<IStream> stream;
    CComOwner<IPersistStream> persisted;
    return ReadIntoStream(held, size, stream) &&
           SUCCEEDED(link->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(persisted.Receive()))) &&
           SUCCEEDED(persisted->Load(stream.Get()));
}

// The target as written with environment variables, from the shortcut's
// own data block; empty when it has none.
std::wstring ExpandableTarget(IShellLinkW* link)
{
    CComOwner<IShellLinkDataList> data;
    if (FAILED(link->QueryInterface(IID_IShellLinkDataList, reinterpret_cast<void**>(data.Receive()))))
        return std::wstring();
    void* block = NULL;
    if (FAILED(data->CopyDataBlock(EXP_SZ_LINK_SIG, &block)) || !block)
        return std::wstring();
    const EXP_SZ_LINK* expandable = static_cast<const EXP_SZ_LINK*>(block);
    std::wstring target;
    if (expandable->cbSize >= sizeof(EXP_SZ_LINK))
    {
        // The stored text need not end in a NUL: never read past its field.
        size_t length = 0;
        while (length < MAX_PATH && expandable->swzTarget[length])
            ++length;
        target.assign(expandable->swzTarget, length);
    }
    ::LocalFree(block);
    return target;
}

}  // namespace

bool ReadShortcut(const std::wstring& path, ShortcutInfo& info)
{
    info.target.clear();
    info.arguments.clear();
    info.cutShort = false;
    CHandle held;
    ULONGLONG size = 0;
    if (!HoldShortcutFile(path, held, size) || size == 0 || !StartsAsShortcut(held))
        return false;

    CComOwner<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.Receive()))))
        return false;
    if (!LoadHeld(link.Get(), path, held, size))
    {
        info.cutShort = size > kMaxShortcutBytes;
        return false;
    }

    std::vector<wchar_t> text(kMaxShortcutText + 1, L'\0');
    // The stored path as it is: no search for a moved target, no expansion.
    if (FAILED(link->GetPath(&text[0], kMaxShortcutText, NULL, SLGP_RAWPATH)))
        text[0] = L'\0';
    text[kMaxShortcutText] = L'\0';
    info.target = &text[0];
    if (info.target.empty())
        info.target = ExpandableTarget(link.Get());

    text.assign(kMaxShortcutText + 1, L'\0');
    if (FAILED(link->GetArguments(&text[0], kMaxShortcutText)))
        text[0] = L'\0';
    text[kMaxShortcutText] = L'\0';
    info.arguments = &text[0];
    return true;
}
