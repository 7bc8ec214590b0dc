// Report-only: the change gateway's recorder that declines every change and
// writes down what the scan would have done. The commands run as they always
// do; each change they ask for is reported as made and left undone, so the
// report and the real scan follow the same rules by construction.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "undo/change_gate.h"

// The mark in front of every line of a report: "[未执行] " (GBK).
extern const char kReportNotDoneMark[];
// The report's name in the log file's folder.
extern const wchar_t kReportFileName[];  // "StickMedic-report.log"

class CReportOnlyRecorder : public IChangeRecorder
{
public:
    CReportOnlyRecorder() {}

    // Every change is declined; where the scan log stood is noted with it.
    virtual Verdict Before(const ChangeRequest& change);
    virtual void After(const ChangeRequest&, bool) {}

    size_t DeclinedCount() const { return m_changes.size(); }

    // The report of one run from the run's log text (header, what the
    // commands wrote, footer): the header, then one marked line per declined
    // change (the lines the command logged after it, or, when it logged
    // nothing, what the change is and where), every other line the commands
    // logged, marked as well, and the footer. A run that would do nothing
    // reads as the log does: "未发现异常".
    std::string Compose(const std::string& logText, size_t headerLength) const;

    // One change in the log's style without its mark: "删除文件\tC:\x.vbs".
    static std::string Describe(const ChangeRequest& change);

private:
    CReportOnlyRecorder(const CReportOnlyRecorder&);
    CReportOnlyRecorder& operator=(const CReportOnlyRecorder&);

    struct Declined
    {
        size_t logAt;         // the scan log's length when the change was asked for
        std::string summary;  // Describe(change)
    };
    std::vector<Declined> m_changes;
};

