#include "app/quarantine_items.h"

#include <cwchar>

#include "platform/array_count.h"
#include "platform/file_helpers.h"

namespace {

// The kinds of record as the window names them, in the order a
// quarantine's row counts them.
struct RecordKindName
{
    const wchar_t* kind;
    const wchar_t* name;
};
const RecordKindName kKindNames[] = {
    {kRecordFile, L"文件"},
    {kRecordFolder, L"文件夹"},
    {kRecordAttributes, L"属性"},
    {kRecordRegistry, L"注册表"},
    {kRecordTask, L"计划任务"},
};

const wchar_t* NameOfKind(const std::wstring& kind)
{
    for (size_t i = 0; i < ArrayCount(kKindNames); ++i)
        if (kind == kKindNames[i].kind)
            return kKindNames[i].name;
    return L"其他";
}

bool WasRestored(const QuarantineSummary& quarantine, size_t i)
{
    const ManifestRecord& record = quarantine.records[i];
    if (record.kind == kRecordRegistry)
        return quarantine.registryRestored;
    return i < quarantine.restored.size() && quarantine.restored[i];
}

}  // namespace

std::wstring ShownPath(const std::wstring& path) { return path.substr(LongFormPrefix(path)); }

bool CanComeBack(const ManifestRecord& record)
{
    if (record.kind == kRecordFile)
        return record.state == kStateKept || record.state == kStateScheduledKept;
    if (record.kind == kRecordFolder || record.kind == kRecordAttributes || record.kind == kRecordRegistry)
        return record.state == kStateChanged;
    return record.kind == kRecordTask && record.state == kStateKept;
}

std::wstring RecordRow(const ManifestRecord& record, bool restored)
{
    std::wstring row = std::wstring(NameOfKind(record.kind)) + L"  " + ShownPath(record.path);
    if (!CanComeBack(record))
        row += L"（未保留，无法恢复）";
    else if (restored)
        row += L"（已恢复）";
    return row;
}

size_t CountComeBack(const QuarantineSummary& quarantine)
{
    size_t count = 0;
    for (size_t i = 0; i < quarantine.records.size(); ++i)
        if (CanComeBack(quarantine.records[i]) && !WasRestored(quarantine, i))
            ++count;
    return count;
}

std::wstring NotBackText(const QuarantineSummary& quarantine)
{
    size_t notKept = 0;
    for (size_t i = 0; i < quarantine.records.size(); ++i)
        if (!CanComeBack(quarantine.records[i]))
            ++notKept;
    std::wstring text = L"无法恢复：结束的病毒进程、重设的注册表访问权限和格式化不能撤销";
    if (notKept)
    {
        wchar_t count[96];
        swprintf(count, 96, L"；另有 %lu 项在修复时未能保留副本", static_cast<unsigned long>(notKept));
        text += count;
    }
    return text + L"。";
}

std::wstring QuarantineRow(const QuarantineSummary& quarantine)
{
    const SYSTEMTIME& t = quarantine.time;
    wchar_t head[96];
    swprintf(head, 96, L"%04u-%02u-%02u %02u:%02u:%02u  %lu 项", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, static_cast<unsigned long>(quarantine.records.size()));
    std::wstring row = head;
    const wchar_t* separator = L"：";
    for (size_t k = 0; k < ArrayCount(kKindNames); ++k)
    {
        size_t count = 0;
        for (size_t i = 0; i < quarantine.records.size(); ++i)
            count += quarantine.records[i].kind == kKindNames[k].kind ? 1 : 0;
        if (!count)
            continue;
        wchar_t part[48];
        swprintf(part, 48, L"%ls %lu", kKindNames[k].name, static_cast<unsigned long>(count));
        row += separator;
        row += part;
        separator = L"，";
    }
    if (!quarantine.complete)
        row += L"（记录不完整）";
    return row;
}
