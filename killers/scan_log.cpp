#include "killers/scan_log.h"

#include <cstdio>

#include "killers/command.h"

const char ScanLog::kHeaderFormat[] = "StartTime:%i-%i-%i %i:%i:%i\r\n\r\n";
const char kLogNothingFound[] = "未发现异常";
const char kLogFooter[] =
    "\r\n=====================================================================\r\n\r\n";

std::string& ScanLog::Buffer()
{
    // Never destroyed: a worker still writing while the process ends must not
    // find the text torn down under it.
    static std::string* text = new std::string;
    return *text;
}

void ScanLog::Reset(const char* format)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    Reset(format, now);
}

void ScanLog::Reset(const char* format, const SYSTEMTIME& at)
{
    char header[128];
    const int n = std::snprintf(header, sizeof(header), format, int(at.wYear), int(at.wMonth),
                                int(at.wDay), int(at.wHour), int(at.wMinute), int(at.wSecond));
    Buffer().assign(header, n > 0 ? (n < int(sizeof(header)) ? n : int(sizeof(header)) - 1) : 0);
}

void ScanLog::Append(const char* bytes, int length)
{
    if (bytes && length > 0)
        Buffer().append(bytes, static_cast<size_t>(length));
}

void ScanLog::AppendText(const char* text)
{
    if (text)
        Buffer().append(text);
}

void ScanLog::AppendLine(const std::string& prefix, const std::wstring& text)
{
    Append(prefix);
    Append(ToLogText(text.c_str()));
    Append("\r\n", 2);
}

int ScanLog::Length() { return static_cast<int>(Buffer().size()); }

const std::string& ScanLog::Text() { return Buffer(); }
