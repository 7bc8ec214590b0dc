// The usage ping: at every start, one HTTP GET to the maker's statistics
// server from a detached thread, after making sure the machine identifier
// exists. Nothing waits for it or reads its result but its status.
#pragma once
#include <windows.h>

#include <string>

class CUsageReport
{
public:
    // EnsureMachineId, then StartReport; neither when `report` is false (the
    // starts that send no ping and write no identifier).
    explicit CUsageReport(bool report = true);
    ~CUsageReport() {}

    static void EnsureMachineId();
    void StartReport();

    std::wstring m_strProduct;  // "stickmedic"
};

// The request URL for a product name.
std::wstring FormatUsageReportUrl(const wchar_t* product);

// One GET of `url` with "Connection: Close"; 0 for status 200, the status
// combined with 0xA0060000 for another, the Win32 error as an HRESULT when
// the request could not be made.
HRESULT SendHttpGet(const wchar_t* url);
