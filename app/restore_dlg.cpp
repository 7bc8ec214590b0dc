#include "app/restore_dlg.h"

#include <objbase.h>

#include <cwchar>

#include "app/quarantine_items.h"
#include "app/restore_run.h"
#include "platform/array_count.h"

namespace {

// Why a restore did nothing, as the user is told.
struct RefusalText
{
    RestoreRefusal refusal;
    const wchar_t* text;
};
const RefusalText kRefusalTexts[] = {
    {kRefusedNoRoot, L"未恢复：找不到受保护的隔离文件夹。"},
    {kRefusedNotQuarantine, L"未恢复：这不是本程序的隔离文件夹。"},
    {kRefusedMissing, L"未恢复：隔离文件夹已不存在。"},
    {kRefusedNotProgramMade, L"未恢复：隔离文件夹不是本程序建立的，其中的内容不可信。"},
    {kRefusedNoManifest, L"未恢复：隔离记录缺失或无法读取。"},
    {kRefusedBusy, L"未恢复：另一个查杀或恢复正在进行，请稍后再试。"},
};

const wchar_t kNotStarted[] = L"未恢复：无法启动恢复。";

// Why an item did not come back, as the user is told; the report's own
// words (restore.txt keeps them) where no row says otherwise.
struct ReasonText
{
    const wchar_t* report;
    const wchar_t* shown;
};
const ReasonText kReasonTexts[] = {
    {L"a file stands where its folder belongs", L"它所在的文件夹处现在是一个文件"},
    {L"a folder on the way could not be opened or made", L"路径上的文件夹无法打开或建立"},
    {L"a folder on the way is a link", L"路径上的文件夹是一个链接"},
    {L"a folder on the way was moved or replaced", L"路径上的文件夹已被移动或替换"},
    {L"a path that leaves its folder", L"路径指向了文件夹之外"},
    {L"a path with a device form", L"路径是设备形式"},
    {L"another name of the file lies elsewhere", L"该文件在别处还有另一个名字"},
    {L"a path with a device, stream or wildcard form", L"路径是设备、数据流或通配符形式"},
    {L"a task was registered at this path since: it is left as it is", L"此处已登记了另一个计划任务，保持原样"},
    {L"could not be written", L"无法写入"},
    {L"failed", L"失败"},
    {L"it is gone or a link", L"它已不存在或是一个链接"},
    {L"it was not made by this program", L"它不是本程序建立的"},
    {L"its access list could not be set", L"无法设置它的访问权限"},
    {L"its attributes could not be set", L"无法设置它的属性"},
    {L"its deletion at the next start could not be cancelled", L"无法取消它在下次启动时的删除"},
    {L"its old registry data could not be read", L"无法读取它原来的注册表数据"},
    {L"its volume is not the one it was changed on", L"它所在的磁盘已不是修改时的那个"},
    {L"its volume is not the one it was deleted from", L"它所在的磁盘已不是删除时的那个"},
    {L"no free name beside it", L"旁边没有可用的文件名"},
    {L"no kept copy", L"没有保存副本"},
    {L"no kept definition", L"没有保存任务定义"},
    {L"not a path on a drive", L"不是磁盘上的路径"},
    {L"not imported", L"未导入"},
    {L"not kept", L"未保存副本"},
    {L"refused", L"被拒绝"},
    {L"the Task Scheduler did not register the task", L"任务计划程序未能登记该任务"},
    {L"the kept copy could not be read", L"无法读取保存的副本"},
    {L"the kept copy does not match its SHA-256", L"保存的副本与其 SHA-256 不符"},
    {L"the kept copy is missing or of another size", L"保存的副本缺失或大小不符"},
    {L"the kept copy was not made by this program", L"保存的副本不是本程序建立的"},
    {L"the kept definition could not be read", L"无法读取保存的任务定义"},
    {L"the kept definition is missing or damaged", L"保存的任务定义缺失或已损坏"},
    {L"the kept definition was not made by this program", L"保存的任务定义不是本程序建立的"},
    {L"the registry editor did not import it", L"注册表编辑器未能导入"},
    {L"the registry script could not be made of it", L"无法由它生成注册表脚本"},
    {L"the registry script is missing or not a file", L"注册表备份缺失或不是文件"},
    {L"unknown record", L"无法识别的记录"},
};

std::wstring ShownReason(const std::wstring& report)
{
    for (size_t i = 0; i < ArrayCount(kReasonTexts); ++i)
    {
        if (report == kReasonTexts[i].report)
            return kReasonTexts[i].shown;
    }
    return report;
}

}  // namespace

CRestoreWorker::CRestoreWorker() : m_hNotify(NULL) {}

CRestoreWorker::~CRestoreWorker()
{
    if (m_thread.IsValid())
        ::WaitForSingleObject(m_thread, INFINITE);
}

bool CRestoreWorker::Start(HWND notify, const std::wstring& folder, const RestoreChoice& choice)
{
    if (m_thread.IsValid())
        return false;
    m_hNotify = notify;
    m_strFolder = folder;
    m_choice = choice;
    m_thread.Attach(::CreateThread(NULL, 0, ThreadProc, this, 0, NULL));
    return m_thread.IsValid();
}

const RestoreOutcome& CRestoreWorker::Outcome()
{
    if (m_thread.IsValid())
        ::WaitForSingleObject(m_thread, INFINITE);  // it posted as its last step
    return m_outcome;
}

DWORD WINAPI CRestoreWorker::ThreadProc(void* parameter)
{
    CRestoreWorker* self = static_cast<CRestoreWorker*>(parameter);
    // A task comes back through the Task Scheduler's COM objects.
    const HRESULT com = ::CoInitializeEx(NULL, COINIT_MULTITHREADED);
    RestoreUnderScanLock(self->m_strFolder, self->m_choice, kRestoreLockWait, self->m_outcome);
    if (SUCCEEDED(com))
        ::CoUninitialize();
    ::PostMessageW(self->m_hNotify, WM_RESTORE_DONE, 0, 0);
    return 0;
}

std::wstring RestoreSentence(const RestoreOutcome& outcome)
{
    for (size_t i = 0; i < ArrayCount(kRefusalTexts); ++i)
        if (kRefusalTexts[i].refusal == outcome.refusal)
            return kRefusalTexts[i].text;
    if (outcome.nothingLeft)
        return L"没有可恢复的项目：它们已经恢复过了。";
    size_t back = 0;
    size_t notBack = 0;
    for (size_t i = 0; i < outcome.items.size(); ++i)
        (outcome.items[i].back ? back : notBack) += outcome.items[i].records;
    wchar_t text[128];
    if (outcome.code == kRestoreDone)
        swprintf(text, 128, L"恢复完成：%lu 项已恢复。", static_cast<unsigned long>(back));
    else
        swprintf(text, 128, L"未能全部恢复：%lu 项已恢复，%lu 项未恢复，原因见下。", static_cast<unsigned long>(back),
                 static_cast<unsigned long>(notBack));
    return text;
}

CRestoreDlg::CRestoreDlg(const std::wstring& folder, const RestoreChoice& choice)
    : m_strFolder(folder), m_choice(choice), m_bDone(false)
{
}

bool CRestoreDlg::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<CRestoreDlg> table[] = {
        {WM_INITDIALOG, kAnyId, &CRestoreDlg::OnInitDialog},
        {WM_RESTORE_DONE, kAnyId, &CRestoreDlg::OnRestoreDone},
        {WM_COMMAND, IDOK, &CRestoreDlg::OnClose},
        {WM_COMMAND, IDCANCEL, &CRestoreDlg::OnClose},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

LRESULT CRestoreDlg::OnInitDialog(WPARAM, LPARAM)
{
    CenterWindow();
    if (!m_worker.Start(m_hWnd, m_strFolder, m_choice))
    {
        m_bDone = true;
        ::SetWindowTextW(GetDlgItem(IDC_RESTORE_SENTENCE), kNotStarted);
        ::EnableWindow(GetDlgItem(IDOK), TRUE);
    }
    return TRUE;
}

LRESULT CRestoreDlg::OnRestoreDone(WPARAM, LPARAM)
{
    m_bDone = true;
    ShowOutcome(m_worker.Outcome());
    ::EnableWindow(GetDlgItem(IDOK), TRUE);
    ::SetFocus(GetDlgItem(IDOK));
    return 0;
}

// The sentence, then one row per item: what came back first, then what did
// not and why.
void CRestoreDlg::ShowOutcome(const RestoreOutcome& outcome)
{
    ::SetWindowTextW(GetDlgItem(IDC_RESTORE_SENTENCE), RestoreSentence(outcome).c_str());
    HWND lines = GetDlgItem(IDC_RESTORE_LINES);
    for (int back = 1; back >= 0; --back)
    {
        for (size_t i = 0; i < outcome.items.size(); ++i)
        {
            const RestoredItem& item = outcome.items[i];
            if (item.back != (back == 1))
                continue;
            std::wstring row = (item.back ? L"已恢复  " : L"未恢复  ") + ShownPath(item.path);
            if (item.record == kRegistryScriptItem)
                row += L"（注册表的修改）";
            if (!item.back)
                row += L"：" + ShownReason(item.why);
            ::SendMessageW(lines, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
        }
    }
    // Long paths scroll sideways.
    ::SendMessageW(lines, LB_SETHORIZONTALEXTENT, 2000, 0);
}

LRESULT CRestoreDlg::OnClose(WPARAM wParam, LPARAM)
{
    // A restore at work is not left: the dialog closes once it is over.
    if (m_bDone)
        EndDialog(LOWORD(wParam));
    return 0;
}
