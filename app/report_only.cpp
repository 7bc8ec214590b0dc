#include "app/report_only.h"

#include "killers/command.h"
#include "killers/scan_log.h"
#include "undo/quarantine.h"

const char kReportNotDoneMark[] = "[未执行] ";
const wchar_t kReportFileName[] = L"StickMedic-report.log";

namespace {

// What a change does, as its report line names it.
const char* const kChangeTexts[] = {
    "删除文件\t",          // kChangeDeleteFile
    "重启后删除文件\t",    // kChangeScheduleDelete
    "修改文件属性\t",      // kChangeSetAttributes
    "删除文件夹\t",        // kChangeRemoveFolder
    "修改注册表值\t",      // kChangeSetValue
    "删除注册表值\t",      // kChangeDeleteValue
    "删除注册表项\t",      // kChangeDeleteTree
    "重置注册表项权限\t",  // kChangeResetKeyAccess
    "导入注册表脚本\t",    // kChangeImportScript
    "结束进程\t",          // kChangeEndProcess
    "删除任务计划\t",      // kChangeDeleteTask
};

const std::string kCrLf = "\r\n";

// Appends the marked lines of log[from, to); false when there were none.
bool AppendMarkedLines(std::string& out, const std::string& log, size_t from, size_t to)
{
    bool any = false;
    while (from < to)
    {
        size_t end = log.find(kCrLf, from);
        if (end == std::string::npos || end > to)
            end = to;
        if (end > from)
        {
            out += kReportNotDoneMark;
            out.append(log, from, end - from);
            out += kCrLf;
            any = true;
        }
        from = end + (end < to ? kCrLf.size() : 0);
    }
    return any;
}

}  // namespace

std::string CReportOnlyRecorder::Describe(const ChangeRequest& change)
{
    std::string line = kChangeTexts[change.kind];
    switch (change.kind)
    {
    case kChangeSetValue:
    case kChangeDeleteValue:
    case kChangeDeleteTree:
    case kChangeResetKeyAccess:
        // Each key by its own name: the hive of whichever user it is in.
        line += ToLogText((RegistryKeyName(change.key) + (change.path.empty() ? L"" : L"\\" + change.path) + L"\\" +
                           (change.name ? change.name : L""))
                              .c_str());
        break;
    default:
        line += ToLogText(change.path.c_str());
        break;
    }
    return line;
}

IChangeRecorder::Verdict CReportOnlyRecorder::Before(const ChangeRequest& change)
{
    Declined declined;
    declined.logAt = static_cast<size_t>(ScanLog::Length());
    declined.summary = Describe(change);
    m_changes.push_back(declined);
    return kDecline;
}

std::string CReportOnlyRecorder::Compose(const std::string& logText, size_t headerLength) const
{
    if (headerLength > logText.size())
        headerLength = logText.size();
    size_t end = logText.size();
    const std::string footer = kLogFooter;
    if (end - headerLength >= footer.size() && logText.compare(end - footer.size(), footer.size(), footer) == 0)
        end -= footer.size();
    // "未发现异常" only says the commands wrote nothing: not a line of the report.
    size_t start = headerLength;
    const std::string nothing = kLogNothingFound;
    if (logText.compare(start, nothing.size(), nothing) == 0)
        start += nothing.size();

    std::string out = logText.substr(0, headerLength);
    const size_t bodyAt = out.size();
    size_t next = m_changes.empty() ? end : m_changes[0].logAt;
    AppendMarkedLines(out, logText, start, next < start ? start : (next > end ? end : next));
    for (size_t i = 0; i < m_changes.size(); ++i)
    {
        size_t from = m_changes[i].logAt;
        size_t to = i + 1 < m_changes.size() ? m_changes[i + 1].logAt : end;
        from = from < start ? start : (from > end ? end : from);
        to = to < from ? from : (to > end ? end : to);
        if (!AppendMarkedLines(out, logText, from, to))
            out += kReportNotDoneMark + m_changes[i].summary + kCrLf;
    }
    if (out.size() == bodyAt)
        out += nothing;
    out += footer;
    return out;
}
