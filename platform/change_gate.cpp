#include "platform/change_gate.h"

#include "platform/file_helpers.h"
#include "platform/registry.h"

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

// The common road of a change that reports a BOOL.
template <class Action>
bool Pass(const ChangeRequest& change, Action action)
{
    switch (Ask(change))
    {
    case IChangeRecorder::kDecline:
        return true;
    case IChangeRecorder::kLeave:
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    case IChangeRecorder::kMake:
        break;
    }
    const bool done = action();
    const DWORD error = ::GetLastError();
    Tell(change, done);
    ::SetLastError(error);
    return done;
}

// The same for a change that reports a registry status.
template <class Action>
LONG PassStatus(const ChangeRequest& change, Action action)
{
    switch (Ask(change))
    {
    case IChangeRecorder::kDecline:
        return ERROR_SUCCESS;
    case IChangeRecorder::kLeave:
        return ERROR_ACCESS_DENIED;
    case IChangeRecorder::kMake:
        break;
    }
    const LONG status = action();
    Tell(change, status == ERROR_SUCCESS);
    return status;
}

struct DeleteFileAction
{
    const std::wstring& path;
    bool operator()() const { return DeleteFileClearingReadOnly(path.c_str()); }
};

struct ScheduleAction
{
    const std::wstring& path;
    bool operator()() const { return ::MoveFileExW(path.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE; }
};

struct AttributesAction
{
    const std::wstring& path;
    DWORD attributes;
    bool operator()() const { return ::SetFileAttributesW(path.c_str(), attributes) != FALSE; }
};

struct RemoveFolderAction
{
    const std::wstring& path;
    bool operator()() const { return ::RemoveDirectoryW(path.c_str()) != FALSE; }
};

struct SetValueAction
{
    const ChangeRequest& change;
    LONG operator()() const
    {
        return ::RegSetValueExW(change.key, change.name, 0, change.type, static_cast<const BYTE*>(change.data),
                                change.bytes);
    }
};

struct SetValueInAction
{
    const ChangeRequest& change;
    LONG operator()() const
    {
        HKEY key = NULL;
        LONG status = ::RegCreateKeyExW(change.key, change.path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
        if (status != ERROR_SUCCESS)
            return status;
        status = ::RegSetValueExW(key, change.name, 0, change.type, static_cast<const BYTE*>(change.data),
                                  change.bytes);
        ::RegCloseKey(key);
        return status;
    }
};

struct DeleteValueAction
{
    const ChangeRequest& change;
    LONG operator()() const { return ::RegDeleteValueW(change.key, change.name); }
};

struct DeleteTreeAction
{
    const ChangeRequest& change;
    LONG operator()() const { return DeleteRegKeyTree(change.key, change.name); }
};

struct ResetAccessAction
{
    bool (*reset)(const wchar_t*);
    const wchar_t* path;
    bool operator()() const { return reset(path); }
};

struct ImportAction
{
    bool (*import)(const std::wstring&, bool);
    const std::wstring& script;
    bool nativeView;
    bool operator()() const { return import(script, nativeView); }
};

struct EndProcessAction
{
    HANDLE process;
    bool operator()() const { return ::TerminateProcess(process, 0) != FALSE; }
};

}  // namespace

void SetChangeRecorder(IChangeRecorder* recorder) { g_recorder = recorder; }
IChangeRecorder* GetChangeRecorder() { return g_recorder; }

bool GateDeleteFile(const std::wstring& path, KeepRule rule)
{
    ChangeRequest change;
    change.kind = kChangeDeleteFile;
    change.path = path;
    change.rule = rule;
    const DeleteFileAction action = {path};
    return Pass(change, action);
}

bool GateScheduleDelete(const std::wstring& path, KeepRule rule)
{
    ChangeRequest change;
    change.kind = kChangeScheduleDelete;
    change.path = path;
    change.rule = rule;
    const ScheduleAction action = {path};
    return Pass(change, action);
}

bool GateSetAttributes(const std::wstring& path, DWORD attributes)
{
    ChangeRequest change;
    change.kind = kChangeSetAttributes;
    change.path = path;
    change.attributes = attributes;
    const AttributesAction action = {path, attributes};
    return Pass(change, action);
}

bool GateRemoveFolder(const std::wstring& path)
{
    ChangeRequest change;
    change.kind = kChangeRemoveFolder;
    change.path = path;
    const RemoveFolderAction action = {path};
    return Pass(change, action);
}

LONG GateSetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes)
{
    ChangeRequest change;
    change.kind = kChangeSetValue;
    change.key = key;
    change.name = name;
    change.type = type;
    change.data = data;
    change.bytes = bytes;
    const SetValueAction action = {change};
    return PassStatus(change, action);
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
    const SetValueInAction action = {change};
    return PassStatus(change, action);
}

LONG GateDeleteValue(HKEY key, const wchar_t* name)
{
    ChangeRequest change;
    change.kind = kChangeDeleteValue;
    change.key = key;
    change.name = name;
    const DeleteValueAction action = {change};
    return PassStatus(change, action);
}

LONG GateDeleteTree(HKEY parent, const wchar_t* name)
{
    ChangeRequest change;
    change.kind = kChangeDeleteTree;
    change.key = parent;
    change.name = name;
    const DeleteTreeAction action = {change};
    return PassStatus(change, action);
}

bool GateResetKeyAccess(HKEY root, bool (*reset)(const wchar_t* path), const wchar_t* path)
{
    ChangeRequest change;
    change.kind = kChangeResetKeyAccess;
    change.key = root;
    change.name = path;
    const ResetAccessAction action = {reset, path};
    return Pass(change, action);
}

bool GateImportScript(const std::wstring& script, const wchar_t* scriptKeys, bool nativeView,
                      bool (*import)(const std::wstring& script, bool nativeView))
{
    ChangeRequest change;
    change.kind = kChangeImportScript;
    change.path = script;
    change.scriptKeys = scriptKeys;
    change.nativeView = nativeView;
    const ImportAction action = {import, script, nativeView};
    return Pass(change, action);
}

bool GateEndProcess(HANDLE process, const std::wstring& imagePath)
{
    ChangeRequest change;
    change.kind = kChangeEndProcess;
    change.path = imagePath;
    change.process = process;
    const EndProcessAction action = {process};
    return Pass(change, action);
}
