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
    CHandle held;
    ULONGLONG size = 0;
    if (!HoldShortcutFile(path, held, size) || size == 0 || size > kMaxShortcutBytes || !StartsAsShortcut(held))
        return false;

    CComOwner<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.Receive()))))
        return false;
    CComOwner<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Receive()))))
        return false;
    if (FAILED(file->Load(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE)))
        return false;

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
