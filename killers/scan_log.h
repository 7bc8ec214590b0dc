// The scan log: one process-wide GBK byte text, reset at the start of every
// scan and then only appended to by the scan worker.
#pragma once
#include <windows.h>
#include <string>

class ScanLog
{
public:
    // The header of a run: "StartTime:%i-%i-%i %i:%i:%i\r\n\r\n" with the
    // year, month, day, hour, minute and second, without leading zeros.
    static const char kHeaderFormat[];

    // Replaces the text with the header for the local time (or for `at`).
    static void Reset(const char* format);
    static void Reset(const char* format, const SYSTEMTIME& at);

    static void Append(const char* bytes, int length);
    static void AppendText(const char* text);  // NUL-terminated; NULL appends nothing
    static void Append(const std::string& bytes) { Append(bytes.data(), static_cast<int>(bytes.size())); }
    // A log line: the fixed prefix (GBK, ending in its TAB), the text in the
    // ANSI code page (ToLogText), CR LF.
    static void AppendLine(const std::string& prefix, const std::wstring& text);
    static int Length();
    static const std::string& Text();

private:
    static std::string& Buffer();
};

// Fixed texts of the log, in GBK as the source is compiled.
extern const char kLogNothingFound[];     // "未发现异常"
extern const char kLogFooter[];           // CR LF, 69 "=", CR LF, CR LF
