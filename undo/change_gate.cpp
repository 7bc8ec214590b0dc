#include "undo/change_gate.h"

#include "platform/array_count.h"
#include "platform/file_helpers.h"
#include "platform/held_path.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "undo/root_listings.h"

namespace {

IChangeRecorder* g_recorder = NULL;

// Asks the recorder; the change goes ahead only on kMake.
IChangeRecorder::Verdict Ask(const ChangeRequest& change)
{
    return g_recorder ? g_recorder->Before(change) : IChangeRecorder::kMake;
}

void Tell(const ChangeRequest& change, bool succeeded)
{
    if (g_recorder)
        g_recorder->After(change, succeeded);
}

// The status of a call that reports a BOOL.
LONG StatusOf(BOOL done)
{
    if (done)
        return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : ERROR_GEN_FAILURE;
}

LONG SetValueIn(const ChangeRequest& change)
{
    HKEY created = NULL;
    const LONG status =
        ::RegCreateKeyExW(change.key, change.path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &created, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    CRegKey key;
    key.Attach(created);
    return ::RegSetValueExW(key, change.name, 0, change.type, static_cast<const BYTE*>(change.data), change.bytes);
}

// Makes the change the request describes; the Win32 status.
LONG Make(const ChangeRequest& change)
{
    switch (change.kind)
    {
    case kChangeDeleteFile:
        return StatusOf(DeleteFileClearingReadOnly(change.path.c_str()));
    case kChangeScheduleDelete:
        return StatusOf(::MoveFileExW(change.path.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    case kChangeSetAttributes:
        return StatusOf(::SetFileAttributesW(change.path.c_str(), change.attributes));
    case kChangeRemoveFolder:
        return StatusOf(::RemoveDirectoryW(change.path.c_str()));
    case kChangeSetValue:
        if (!change.path.empty())
            return SetValueIn(change);
        return ::RegSetValueExW(change.key, change.name, 0, change.type, static_cast<const BYTE*>(change.data),
                                change.bytes);
    case kChangeDeleteValue:
        return ::RegDeleteValueW(change.key, change.name);
    case kChangeDeleteTree:
        return DeleteRegKeyTree(change.key, change.name, change.view);
    case kChangeResetKeyAccess:
        return StatusOf(change.resetAccess(change.name));
    case kChangeImportScript:
        return StatusOf(change.importScript(change.path, change.nativeView));
    case kChangeEndProcess:
        return StatusOf(::TerminateProcess(change.process, 0));
    case kChangeDeleteTask:
        return StatusOf(change.deleteTask(change.path));
    }
    return ERROR_INVALID_FUNCTION;
}

// A change made to an entry of a drive root goes into the root's listing,
// for the walks after.
void NoteInListings(const ChangeRequest& change)
{
    switch (change.kind)
    {
    case kChangeDeleteFile:
    case kChangeRemoveFolder:
        NoteListedChange(change.path, true, 0);
        break;
    case kChangeSetAttributes:
        NoteListedChange(change.path, false, change.attributes);
        break;
    default:
        break;
    }
}

// A deletion, folder removal or attribute change of a path: held from here
// to the change (the recorder reads through the same handle).
bool IsPathChange(const ChangeRequest& change)
{
    return change.kind == kChangeDeleteFile || change.kind == kChangeRemoveFolder ||
           change.kind == kChangeSetAttributes;
}

// What the file or folder of a held change is opened with: the accesses
// tried in turn (a file the user's access list keeps from being read, or
// from having its attributes changed, may still be deleted), and whether a
// file or a folder.
struct HeldTarget
{
    ChangeKind kind;
    ACCESS_MASK access[3];  // 0 ends the list
    DWORD options;
};

const DWORD kReadAttributes = FILE_READ_ATTRIBUTES;
const DWORD kChangeAttributes = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
const HeldTarget kHeldTargets[] = {
    // Read: the recorder keeps a copy through it; attributes: a read-only
    // file has that cleared to go.
    {kChangeDeleteFile, {DELETE | kChangeAttributes | GENERIC_READ, DELETE | kChangeAttributes, DELETE | kReadAttributes},
     kNonDirectoryOnly},
    {kChangeRemoveFolder, {DELETE | kReadAttributes, 0, 0}, kDirectoryOnly},
    {kChangeSetAttributes, {kChangeAttributes, 0, 0}, 0},
};

// Holds the folders of the change's path and opens the file or folder
// itself in the last of them. The Win32 error code.
DWORD Hold(const ChangeRequest& change, CFolderChain& chain, CHandle& target)
{
    const std::wstring path = HeldPathForm(change.path);
    DWORD error = chain.Open(path, false, false);
    if (error != ERROR_SUCCESS)
        return error;
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    for (size_t i = 0; i < ArrayCount(kHeldTargets); ++i)
    {
        const HeldTarget& wanted = kHeldTargets[i];
        if (wanted.kind != change.kind)
            continue;
        error = ERROR_ACCESS_DENIED;
        for (size_t a = 0; a < 3 && wanted.access[a] && error == ERROR_ACCESS_DENIED; ++a)
            error = chain.OpenIn(name, wanted.access[a], share, kOpenExisting, wanted.options, target);
        return error;
    }
    return ERROR_INVALID_FUNCTION;
}

// Deletes the open file; a read-only one has that attribute cleared and is
// tried once more, and gets its attributes back when it still will not go.
DWORD DeleteHeldFile(HANDLE file)
{
    DWORD status = DeleteThroughHandle(file);
    BY_HANDLE_FILE_INFORMATION info;
    if (status != ERROR_ACCESS_DENIED || !::GetFileInformationByHandle(file, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        return status;
    if (SetBasicsThroughHandle(file, info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) != ERROR_SUCCESS)
        return status;
    status = DeleteThroughHandle(file);
    if (status != ERROR_SUCCESS)
        SetBasicsThroughHandle(file, info.dwFileAttributes);
    return status;
}

LONG MakeHeld(const ChangeRequest& change)
{
    switch (change.kind)
    {
    case kChangeDeleteFile:
        return static_cast<LONG>(DeleteHeldFile(change.held));
    case kChangeRemoveFolder:
        return static_cast<LONG>(DeleteThroughHandle(change.held));
    case kChangeSetAttributes:
        return static_cast<LONG>(SetBasicsThroughHandle(change.held, change.attributes));
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

LONG PassHeld(const ChangeRequest& request);

// Asks the recorder; false, with what the caller is told, when the change
// is not to be made (declined: success; left: kErrorChangeLeft).
bool RecorderLetsMake(const ChangeRequest& change, LONG& status)
{
    switch (Ask(change))
    {
    case IChangeRecorder::kDecline:
        status = ERROR_SUCCESS;
        return false;
    case IChangeRecorder::kLeave:
        status = kErrorChangeLeft;
        return false;
    case IChangeRecorder::kMake:
        break;
    }
    return true;
}

// A payload's size and SHA-256, read through the held file (from its start,
// and back there for the recorder's copy).
void DigestHeld(const ChangeRequest& change)
{
    HeldDigest& digest = *change.payload;
    digest = HeldDigest();
    OpenFileFacts facts;
    if (change.held && QueryOpenFile(change.held, facts) && !(facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        facts.size > 0 && !HashOpenFile(change.held, kMaxHeldDigestBytes, digest.size, digest.sha256))
        digest = HeldDigest();
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (change.held)
        ::SetFilePointerEx(change.held, start, NULL, FILE_BEGIN);
}

// The one road of every change: the recorder first, then the change, then
// the recorder again with the outcome.
LONG Pass(const ChangeRequest& change)
{
    if (IsPathChange(change))
    {
        // A path that names no drive (a share, a volume by its name) cannot
        // be held, and what cannot be checked is left as it is.
        if (HeldPathForm(change.path).empty())
            return ERROR_INVALID_NAME;
        return PassHeld(change);
    }
    LONG declined = ERROR_SUCCESS;
    if (!RecorderLetsMake(change, declined))
        return declined;
    const LONG status = Make(change);
    if (status == ERROR_SUCCESS)
        NoteInListings(change);
    Tell(change, status == ERROR_SUCCESS);
    return status;
}

// A held change: its folders held and its file or folder opened before the
// recorder sees it, checked once more just before the change, made through
// the handle. What cannot be held or checked is not made.
LONG PassHeld(const ChangeRequest& request)
{
    CFolderChain chain;
    CHandle target;
    ChangeRequest change = request;
    change.heldError = Hold(change, chain, target);
    change.held = change.heldError == ERROR_SUCCESS ? target.Get() : NULL;
    if (change.payload)
        DigestHeld(change);
    LONG declined = ERROR_SUCCESS;
    if (!RecorderLetsMake(change, declined))
        return declined;
    LONG status = static_cast<LONG>(change.heldError);
    if (status == ERROR_SUCCESS && !chain.InPlace())
        status = ERROR_CANT_ACCESS_FILE;  // a folder on the way was moved or replaced
    if (status == ERROR_SUCCESS)
        status = MakeHeld(change);
    // The deletion is made when the handle closes, before the listings and
    // the recorder hear of it.
    target.Close();
    if (status == ERROR_SUCCESS)
        NoteInListings(change);
    change.held = NULL;
    Tell(change, status == ERROR_SUCCESS);
    return status;
}

// The same for the changes that answer as a BOOL call, the thread's last
// error set.
bool PassBool(const ChangeRequest& change)
{
    const LONG status = Pass(change);
    ::SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

}  // namespace

void SetChangeRecorder(IChangeRecorder* recorder) { g_recorder = recorder; }

IChangeRecorder* GetChangeRecorder() { return g_recorder; }

namespace {

// A change of the file or folder at `path`.
ChangeRequest PathChange(ChangeKind kind, const std::wstring& path, KeepRule rule = kKeepOrLeave, DWORD attributes = 0)
{
    ChangeRequest change;
    change.kind = kind;
    change.path = path;
    change.rule = rule;
    change.attributes = attributes;
    return change;
}

}  // namespace

bool GateDeleteFile(const std::wstring& path, KeepRule rule)
{
    return PassBool(PathChange(kChangeDeleteFile, path, rule));
}

bool GateDeletePayload(const std::wstring& path, KeepRule rule, HeldDigest& digest)
{
    ChangeRequest change = PathChange(kChangeDeleteFile, path, rule);
    change.payload = &digest;
    digest = HeldDigest();
    return PassBool(change);
}

bool GateScheduleDelete(const std::wstring& path, KeepRule rule)
{
    return PassBool(PathChange(kChangeScheduleDelete, path, rule));
}

bool GateSetAttributes(const std::wstring& path, DWORD attributes)
{
    return PassBool(PathChange(kChangeSetAttributes, path, kKeepOrLeave, attributes));
}

bool GateRemoveFolder(const std::wstring& path) { return PassBool(PathChange(kChangeRemoveFolder, path)); }

LONG GateSetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes)
{
    ChangeRequest change;
    change.kind = kChangeSetValue;
    change.key = key;
    change.name = name;
    change.type = type;
    change.data = data;
    change.bytes = bytes;
    return Pass(change);
}

LONG GateSetString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    return GateSetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LONG GateSetDword(HKEY key, const wchar_t* name, DWORD value)
{
    return GateSetValue(key, name, REG_DWORD, &value, sizeof(value));
}

LONG GateSetStringIn(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& text)
{
    ChangeRequest change;
    change.kind = kChangeSetValue;
    change.key = root;
    change.path = subkey;
    change.name = name;
    change.type = REG_SZ;
    change.data = text.c_str();
    change.bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return Pass(change);
}

LONG GateDeleteValue(HKEY key, const wchar_t* name)
{
    ChangeRequest change;
    change.kind = kChangeDeleteValue;
    change.key = key;
    change.name = name;
    return Pass(change);
}

LONG GateDeleteTree(HKEY parent, const wchar_t* name, REGSAM view)
{
    ChangeRequest change;
    change.kind = kChangeDeleteTree;
    change.key = parent;
    change.name = name;
    change.view = view;
    return Pass(change);
}

bool GateResetKeyAccess(HKEY root, bool (*reset)(const wchar_t* path), const wchar_t* path)
{
    ChangeRequest change;
    change.kind = kChangeResetKeyAccess;
    change.key = root;
    change.name = path;
    change.resetAccess = reset;
    return PassBool(change);
}

bool GateImportScript(const std::wstring& script, const wchar_t* scriptKeys, bool nativeView,
                      bool (*import)(const std::wstring& script, bool nativeView))
{
    ChangeRequest change;
    change.kind = kChangeImportScript;
    change.path = script;
    change.scriptKeys = scriptKeys;
    change.nativeView = nativeView;
    change.importScript = import;
    return PassBool(change);
}

bool GateEndProcess(HANDLE process, const std::wstring& imagePath)
{
    ChangeRequest change;
    change.kind = kChangeEndProcess;
    change.path = imagePath;
    change.process = process;
    return PassBool(change);
}

bool GateDeleteTask(const std::wstring& path, const std::wstring& xml, bool (*remove)(const std::wstring& path))
{
    ChangeRequest change;
    change.kind = kChangeDeleteTask;
    change.path = path;
    change.data = xml.c_str();
    change.bytes = static_cast<DWORD>((xml.size() + 1) * sizeof(wchar_t));
    change.deleteTask = remove;
    return PassBool(change);
}

bool DeleteKeyRecursive(HKEY root, const wchar_t* path, REGSAM view)
{
    const std::wstring full(path ? path : L"");
    if (full.empty() || full.size() >= 520)
        return false;  // never cut or overrun a path silently
    const std::wstring::size_type slash = full.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? full : full.substr(slash + 1);
    CRegKey parent;
    if (slash != std::wstring::npos)
    {
        const LONG status = parent.Open(root, full.substr(0, slash).c_str(), KEY_READ | view);
        if (status != ERROR_SUCCESS)
            return status == ERROR_FILE_NOT_FOUND;
    }
    const LONG status = GateDeleteTree(slash == std::wstring::npos ? root : parent.Get(), name.c_str(), view);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
