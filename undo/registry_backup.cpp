#include "undo/registry_backup.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/array_count.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/system_function.h"
#include "undo/quarantine_manifest.h"

namespace {

std::wstring RegistryValueLine(const wchar_t* name, DWORD type, const BYTE* data, DWORD size);

// Registry roots as scripts name them, and for the two hive roots the
// kernel's name of the same key.
struct RootName
{
    HKEY key;
    const wchar_t* name;
    const wchar_t* kernel;  // NULL: no hive root
};
const RootName kRoots[] = {
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"\\REGISTRY\\MACHINE"},
    {HKEY_USERS, L"HKEY_USERS", L"\\REGISTRY\\USER"},
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", NULL},
    {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", NULL},
    {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG", NULL},
};

typedef LONG(NTAPI* PFNNTQUERYKEY)(HANDLE, int, void*, ULONG, ULONG*);

std::wstring KernelKeyName(HKEY key)
{
    static PFNNTQUERYKEY query = SystemFunction<PFNNTQUERYKEY>(L"ntdll.dll", "NtQueryKey");
    if (!query)
        return std::wstring();
    std::vector<BYTE> buffer(4096);
    ULONG needed = 0;
    const int kKeyNameInformation = 3;
    LONG status = query(key, kKeyNameInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
    if (status < 0 && needed > buffer.size())
    {
        buffer.resize(needed);
        status = query(key, kKeyNameInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
    }
    if (status < 0)
        return std::wstring();
    const ULONG bytes = *reinterpret_cast<const ULONG*>(&buffer[0]);
    if (bytes + sizeof(ULONG) > buffer.size())
        return std::wstring();
    const std::wstring name(reinterpret_cast<const wchar_t*>(&buffer[sizeof(ULONG)]), bytes / sizeof(wchar_t));
    for (size_t i = 0; i < ArrayCount(kRoots); ++i)
    {
        const size_t length = kRoots[i].kernel ? lstrlenW(kRoots[i].kernel) : 0;
        if (length && name.size() >= length &&
            ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), static_cast<int>(length),
                             kRoots[i].kernel, static_cast<int>(length)) == CSTR_EQUAL &&
            (name.size() == length || name[length] == L'\\'))
            return kRoots[i].name + name.substr(length);
    }
    return std::wstring();
}

// A key name of a script ("HKEY_CLASSES_ROOT\.lnk") split into its root and
// path; false for an unknown root.
bool SplitKeyName(const std::wstring& name, HKEY& root, std::wstring& path)
{
    const std::wstring::size_type slash = name.find(L'\\');
    const std::wstring head = name.substr(0, slash);
    for (size_t i = 0; i < ArrayCount(kRoots); ++i)
        if (head == kRoots[i].name)
        {
            root = kRoots[i].key;
            path = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
            return true;
        }
    return false;
}

// A name a registry script can carry on its line: no line break or NUL in
// it, and for a key no "]" either (which would end the key's line early).
bool FitsScriptLine(const wchar_t* name, size_t length, bool key)
{
    for (size_t i = 0; i < length; ++i)
        if (name[i] == L'\r' || name[i] == L'\n' || name[i] == L'\0' || (key && name[i] == L']'))
            return false;
    return true;
}

bool FitsScriptLine(const std::wstring& name, bool key) { return FitsScriptLine(name.data(), name.size(), key); }

std::wstring QuotedName(const wchar_t* name)
{
    if (!name || !*name)
        return L"@";
    std::wstring text = L"\"";
    for (const wchar_t* p = name; *p; ++p)
    {
        if (*p == L'\\' || *p == L'"')
            text += L'\\';
        text += *p;
    }
    return text + L"\"";
}

bool IsPlainText(const BYTE* data, DWORD size)
{
    if (size < 2 || size % 2)
        return false;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    const DWORD count = size / 2;
    if (text[count - 1] != 0)
        return false;
    for (DWORD i = 0; i + 1 < count; ++i)
        if (text[i] == 0 || text[i] == L'\r' || text[i] == L'\n')
            return false;
    return true;
}

// The value as the script's line for the key `key` (already named), or
// "name"=- when it does not exist.
std::wstring OldValueLine(HKEY key, const wchar_t* name)
{
    DWORD type = 0, size = 0;
    LONG status = ::RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return QuotedName(name) + L"=-\r\n";
    std::vector<BYTE> data(size + 2);
    for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt)
    {
        DWORD got = static_cast<DWORD>(data.size());
        status = ::RegQueryValueExW(key, name, NULL, &type, &data[0], &got);
        if (status == ERROR_SUCCESS)
            return RegistryValueLine(name, type, &data[0], got);
        if (status != ERROR_MORE_DATA || attempt > 4)
            break;
        data.resize(got + 2);
    }
    return std::wstring();
}


std::wstring RegistryValueLine(const wchar_t* name, DWORD type, const BYTE* data, DWORD size)
{
    std::wstring line = QuotedName(name) + L"=";
    if (type == REG_SZ && IsPlainText(data, size))
    {
        const std::wstring text(reinterpret_cast<const wchar_t*>(data), size / 2 - 1);
        line += L"\"";
        for (size_t i = 0; i < text.size(); ++i)
        {
            if (text[i] == L'\\' || text[i] == L'"')
                line += L'\\';
            line += text[i];
        }
        return line + L"\"\r\n";
    }
    if (type == REG_DWORD && size == 4)
        return line + L"dword:" + HexDigits(*reinterpret_cast<const DWORD*>(data), 8) + L"\r\n";
    wchar_t prefix[16];
    if (type == REG_BINARY)
        lstrcpyW(prefix, L"hex:");
    else
        swprintf(prefix, 16, L"hex(%lx):", static_cast<unsigned long>(type));
    line += prefix;
    size_t column = line.size();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (DWORD i = 0; i < size; ++i)
    {
        line += kDigits[data[i] >> 4];
        line += kDigits[data[i] & 15];
        column += 2;
        if (i + 1 < size)
        {
            line += L',';
            ++column;
            if (column > 76)
            {
                line += L"\\\r\n  ";
                column = 2;
            }
        }
    }
    return line + L"\r\n";
}

// Appends the key's tree to the script; false when a name cannot be carried
// or the script would grow past `maxChars`.
bool ExportRegistryTree(HKEY key, const std::wstring& name, std::wstring& script, REGSAM view, size_t maxChars)
{
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxValueName = 0, maxData = 0;
    if (!FitsScriptLine(name, true) ||
        ::RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, &maxSubkey, NULL, &values, &maxValueName, &maxData, NULL,
                           NULL) != ERROR_SUCCESS)
        return false;
    script += L"[" + name + L"]\r\n";
    std::vector<wchar_t> valueName(maxValueName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0; i < values; ++i)
    {
        DWORD nameChars = static_cast<DWORD>(valueName.size());
        DWORD type = 0, size = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, i, &valueName[0], &nameChars, NULL, &type, &data[0], &size) != ERROR_SUCCESS ||
            !FitsScriptLine(&valueName[0], nameChars, false))
            return false;
        script += RegistryValueLine(&valueName[0], type, &data[0], size);
        if (script.size() > maxChars)
            return false;  // past what the quarantine may take
    }
    script += L"\r\n";
    std::vector<wchar_t> subkeyName(maxSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i)
    {
        DWORD chars = static_cast<DWORD>(subkeyName.size());
        if (::RegEnumKeyExW(key, i, &subkeyName[0], &chars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS ||
            !FitsScriptLine(&subkeyName[0], chars, true))
            return false;
        CRegKey subkey;
        if (subkey.Open(key, &subkeyName[0], KEY_READ | view) != ERROR_SUCCESS ||
            !ExportRegistryTree(subkey, name + L"\\" + &subkeyName[0], script, view, maxChars))
            return false;
    }
    return true;
}

// A key as it really is, read directly and named by its own name in the
// registry script.
struct KeyPlace
{
    HKEY root;
    std::wstring path;  // below root; may be empty
    std::wstring name;  // the script's name of root\path; empty when unknown
    bool always;        // false: the user's classes, kept only where the key exists
    REGSAM view;        // the registry view it is read in (0: the process's own)

    KeyPlace(HKEY r, const std::wstring& p, const std::wstring& n, bool a, REGSAM v)
        : root(r), path(p), name(n), always(a), view(v)
    {
    }

    LONG Open(CRegKey& key) const
    {
        return name.empty() ? ERROR_INVALID_HANDLE : key.Open(root, path.c_str(), KEY_READ | view);
    }
};

// The script's name of a machine key read in the 32-bit view of a 64-bit
// Windows: its copy below WOW6432Node, where the native editor puts it back.
std::wstring NameInView(HKEY root, const std::wstring& path, REGSAM view)
{
    static const wchar_t kSoftware[] = L"SOFTWARE\\";
    const size_t length = ArrayCount(kSoftware) - 1;
    if (view != KEY_WOW64_32KEY || root != HKEY_LOCAL_MACHINE || !IsRedirectedKey(root, path.c_str()) ||
        path.size() < length || ::StrCmpNIW(path.c_str(), kSoftware, static_cast<int>(length)) != 0)
        return path;
    return path.substr(0, length) + L"WOW6432Node\\" + path.substr(length);
}

// Where root\path really is. The predefined HKEY_CLASSES_ROOT is a merged
// view of the machine's classes and the user's: both go, separately and
// each by its own name, so that nothing of the user's is ever put back as
// the machine's.
void KeyPlaces(HKEY root, const std::wstring& path, REGSAM view, std::vector<KeyPlace>& places)
{
    places.clear();
    const std::wstring below = path.empty() ? std::wstring() : L"\\" + path;
    if (root != HKEY_CLASSES_ROOT)
    {
        const std::wstring name = RegistryKeyName(root);
        const std::wstring viewed = NameInView(root, path, view);
        places.push_back(KeyPlace(root, path, name.empty() ? name : name + (viewed.empty() ? viewed : L"\\" + viewed),
                                  true, view));
        return;
    }
    places.push_back(KeyPlace(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes" + below,
                              L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes" + below, true, 0));
    CRegKey user;
    if (user.Open(HKEY_CURRENT_USER, L"Software\\Classes", KEY_READ) != ERROR_SUCCESS)
        return;  // no classes of the user's: nothing of theirs in the view
    const std::wstring name = KernelKeyName(user);
    places.push_back(KeyPlace(HKEY_CURRENT_USER, L"Software\\Classes" + below, name.empty() ? name : name + below,
                              false, 0));
}

// The first key of the place's path that is missing, as a script's
// deletion block: the key a write makes goes again with all below it.
std::wstring MissingKeyBlock(const KeyPlace& place)
{
    std::wstring::size_type end = 0;
    do
    {
        end = place.path.find(L'\\', end + 1);
        CRegKey probe;
        if (probe.Open(place.root, place.path.substr(0, end).c_str(), KEY_READ | place.view) == ERROR_FILE_NOT_FOUND)
            break;
    } while (end != std::wstring::npos);
    const std::wstring::size_type cut = place.name.size() - place.path.size() + std::min(end, place.path.size());
    return L"[-" + place.name.substr(0, cut) + L"]\r\n\r\n";
}

bool ValueBlock(const ChangeRequest& change, std::wstring& block, std::wstring& keyName)
{
    bool kept = true;
    // A value written into a subkey names the subkey in its path; a
    // subkey that is not there yet goes again on the way back.
    std::vector<KeyPlace> places;
    KeyPlaces(change.key, change.path, 0, places);
    keyName = (places[0].name.empty() ? L"?" : places[0].name) + L"\\" + (change.name ? change.name : L"");
    for (size_t i = 0; i < places.size(); ++i)
    {
        const KeyPlace& place = places[i];
        CRegKey key;
        const LONG opened = place.Open(key);
        if (opened == ERROR_FILE_NOT_FOUND && !place.always)
            continue;
        const bool fits = FitsScriptLine(place.name, true) && (!change.name || FitsScriptLine(change.name, false));
        if (opened == ERROR_FILE_NOT_FOUND && !place.path.empty())
        {
            const std::wstring missing = MissingKeyBlock(place);
            kept = kept && fits;
            block += missing;
            continue;
        }
        const std::wstring line = opened != ERROR_SUCCESS || !fits ? std::wstring() : OldValueLine(key, change.name);
        kept = kept && !line.empty();
        block += L"[" + place.name + L"]\r\n" + line + L"\r\n";
    }
    return kept;
}

bool TreeBlock(const ChangeRequest& change, std::wstring& block, std::wstring& keyName, size_t maxChars)
{
    // A reset key keeps its values; they are exported as they were, for
    // the record.
    std::vector<KeyPlace> places;
    KeyPlaces(change.key, change.name ? change.name : L"", change.view, places);
    keyName = places[0].name.empty() ? L"?" : places[0].name;
    bool kept = change.name != NULL;
    for (size_t i = 0; i < places.size() && kept; ++i)
    {
        CRegKey key;
        const LONG opened = places[i].Open(key);
        if (opened == ERROR_FILE_NOT_FOUND && !places[i].always)
            continue;
        kept = opened == ERROR_SUCCESS && ExportRegistryTree(key, places[i].name, block, places[i].view, maxChars);
    }
    return kept;
}

bool ImportBlock(const ChangeRequest& change, std::wstring& block, std::wstring& keyName, size_t maxChars)
{
    bool kept = true;
    for (const wchar_t* name = change.scriptKeys; name && *name; name += lstrlenW(name) + 1)
    {
        // The key goes whole and comes back as it was, or not at all
        // when it was not there.
        keyName += (keyName.empty() ? L"" : L" ") + std::wstring(name);
        HKEY root = NULL;
        std::wstring path;
        std::vector<KeyPlace> places;
        // Each editor writes its own view: the native one on 64-bit
        // Windows, the 32-bit one otherwise.
        const REGSAM view = !HasTwoRegViews() ? 0 : change.nativeView ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
        if (SplitKeyName(name, root, path))
            KeyPlaces(root, path, view, places);
        if (places.empty())
            kept = false;
        for (size_t i = 0; i < places.size(); ++i)
        {
            CRegKey key;
            const LONG opened = places[i].Open(key);
            if (opened == ERROR_FILE_NOT_FOUND && !places[i].always)
                continue;
            if (places[i].name.empty() || !FitsScriptLine(places[i].name, true))
            {
                kept = false;
                continue;
            }
            block += L"[-" + places[i].name + L"]\r\n\r\n";
            if (opened == ERROR_SUCCESS &&
                !ExportRegistryTree(key, places[i].name, block, places[i].view, maxChars))
                kept = false;
        }
    }
    return kept;
}

}  // namespace

std::wstring RegistryKeyName(HKEY key)
{
    for (size_t i = 0; i < ArrayCount(kRoots); ++i)
        if (key == kRoots[i].key)
        {
            if (key != HKEY_CURRENT_USER)
                return kRoots[i].name;
            // The user's hive by its own name, as an elevated editor sees it.
            HKEY opened = NULL;
            if (::RegOpenCurrentUser(KEY_READ, &opened) != ERROR_SUCCESS)
                return kRoots[i].name;
            CRegKey user;
            user.Attach(opened);
            const std::wstring name = KernelKeyName(user);
            return name.empty() ? std::wstring(kRoots[i].name) : name;
        }
    return KernelKeyName(key);
}

bool ComposeRegistryBlock(const ChangeRequest& change, std::wstring& block, std::wstring& keyName, size_t maxChars)
{
    bool kept = false;
    switch (change.kind)
    {
    case kChangeSetValue:
    case kChangeDeleteValue:
        kept = ValueBlock(change, block, keyName);
        break;
    case kChangeDeleteTree:
    case kChangeResetKeyAccess:
        kept = TreeBlock(change, block, keyName, maxChars);
        break;
    case kChangeImportScript:
        kept = ImportBlock(change, block, keyName, maxChars);
        break;
    default:
        break;
    }
    return kept && block.size() <= maxChars;
}
