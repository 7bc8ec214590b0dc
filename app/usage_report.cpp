#include "app/usage_report.h"

#include <objbase.h>
#include <wininet.h>

#include "app/addresses.h"
#include "platform/handles.h"
#include "platform/registry.h"

namespace {

const wchar_t kMachineIdKey[] = L"software\\marlo";

struct UsageReportParam
{
    std::wstring product;
};

// Closes a WinINet handle when it goes.
class CInternetHandle
{
public:
    explicit CInternetHandle(HINTERNET handle) : m_h(handle) {}
    ~CInternetHandle()
    {
        if (m_h)
            ::InternetCloseHandle(m_h);
    }
    operator HINTERNET() const { return m_h; }

private:
    CInternetHandle(const CInternetHandle&);
    CInternetHandle& operator=(const CInternetHandle&);
    HINTERNET m_h;
};

HRESULT LastError() { return HRESULT_FROM_WIN32(::GetLastError()); }

DWORD WINAPI ReportThreadProc(void* parameter)
{
    UsageReportParam* param = static_cast<UsageReportParam*>(parameter);
    if (!param)
        return static_cast<DWORD>(-1);
    SendHttpGet(FormatUsageReportUrl(param->product.c_str()).c_str());
    delete param;
    return 0;
}

}  // namespace

CUsageReport::CUsageReport(bool report) : m_strProduct(L"stickmedic")
{
    if (!report)
        return;
    EnsureMachineId();
    StartReport();
}

void CUsageReport::EnsureMachineId()
{
    HKEY created = NULL;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineIdKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                          NULL, &created, NULL) != ERROR_SUCCESS)
        return;
    CRegKey key;
    key.Attach(created);
    BYTE id[16];
    DWORD type = 0;
    DWORD size = sizeof(id);
    if (::RegQueryValueExW(key, NULL, NULL, &type, id, &size) != ERROR_SUCCESS || type != REG_BINARY)
    {
        GUID guid;
        if (SUCCEEDED(::CoCreateGuid(&guid)))
            ::RegSetValueExW(key, NULL, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&guid), sizeof(guid));
    }
}

void CUsageReport::StartReport()
{
    UsageReportParam* param = new (std::nothrow) UsageReportParam;
    if (!param)
        return;
    param->product = m_strProduct;
    const CHandle thread(::CreateThread(NULL, 0, ReportThreadProc, param, 0, NULL));
    if (!thread.IsValid())
        delete param;
}

std::wstring FormatUsageReportUrl(const wchar_t* product)
{
    // The format's one "%s" takes the product name (no printf: the meaning
    // of %s in wide formats differs between C runtimes).
    std::wstring url(kUsageReportUrlFormat);
    const std::wstring::size_type at = url.find(L"%s");
    if (at != std::wstring::npos)
        url.replace(at, 2, product);
    return url;
}

HRESULT SendHttpGet(const wchar_t* url)
{
    wchar_t host[261] = {0};
    wchar_t path[261] = {0};
    URL_COMPONENTSW parts;
    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 261;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 261;
    if (!::InternetCrackUrlW(url, 0, ICU_ESCAPE, &parts))
        return LastError();

    CInternetHandle internet(::InternetOpenW(NULL, INTERNET_OPEN_TYPE_PRECONFIG, L"", L"", 0));
    if (!internet)
        return LastError();
    DWORD connectTimeout = 20000;
    DWORD receiveTimeout = 5000;
    if (!::InternetSetOptionW(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof(connectTimeout)) ||
        !::InternetSetOptionW(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof(receiveTimeout)))
        return LastError();
    CInternetHandle connection(
        ::InternetConnectW(internet, host, parts.nPort, L"", L"", INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection)
        return LastError();
    CInternetHandle request(::HttpOpenRequestW(connection, NULL, path, NULL, NULL, NULL,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    if (!request)
        return LastError();
    ::HttpAddRequestHeadersW(request, L"Connection: Close", 17, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    if (!::HttpSendRequestW(request, NULL, 0, NULL, 0))
        return LastError();
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL))
        return LastError();
    return status == 200 ? S_OK : static_cast<HRESULT>(status | 0xA0060000);
}
