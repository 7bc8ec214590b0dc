// The program's start-up pieces: the usage ping against a loopback server,
// the machine identifier, the suite lookup, the result sentence, the
// command-line switch and the format's command line and schedule.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "app/command_line.h"
#include "app/force_format.h"
#include "app/result_dlg.h"
#include "app/scan_run.h"
#include "app/usage_report.h"
#include "tests/testing.h"
#include "undo/program_folder.h"

using namespace testing_util;

namespace {

// A one-request HTTP server on 127.0.0.1 that answers with `status` and
// keeps what it was asked. The sandbox's web proxy is pointed at it, so the
// program's request for the statistics host arrives here.
class CLoopbackServer
{
public:
    explicit CLoopbackServer(int status) : m_status(status), m_nRequests(0), m_listener(INVALID_SOCKET), m_thread(NULL)
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        ::listen(m_listener, 4);
        m_thread = ::CreateThread(NULL, 0, Serve, this, 0, NULL);
        wchar_t proxy[32];
        wsprintfW(proxy, L"127.0.0.1:%d", m_port);
        SetRegText(HKEY_CURRENT_USER, kSettings, L"ProxyServer", proxy);
    }
    ~CLoopbackServer()
    {
        ::closesocket(m_listener);
        ::WaitForSingleObject(m_thread, 5000);
        ::CloseHandle(m_thread);
        SetRegText(HKEY_CURRENT_USER, kSettings, L"ProxyServer", L"127.0.0.1:9");
        ::WSACleanup();
    }
    bool WaitForRequest(DWORD milliseconds)
    {
        for (DWORD waited = 0; waited < milliseconds; waited += 50)
        {
            if (m_nRequests > 0)
                return true;
            ::Sleep(50);
        }
        return false;
    }

    std::string m_request;
    int m_status;
    volatile LONG m_nRequests;

private:
    static DWORD WINAPI Serve(void* parameter)
    {
        CLoopbackServer* self = static_cast<CLoopbackServer*>(parameter);
        for (;;)
        {
            SOCKET client = ::accept(self->m_listener, NULL, NULL);
            if (client == INVALID_SOCKET)
                return 0;
            std::string request;
            char buffer[2048];
            while (request.find("\r\n\r\n") == std::string::npos)
            {
                const int n = ::recv(client, buffer, sizeof(buffer), 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            char answer[128];
            wsprintfA(answer, "HTTP/1.1 %d Answer\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", self->m_status);
            ::send(client, answer, lstrlenA(answer), 0);
            ::closesocket(client);
            self->m_request += request;
            ::InterlockedIncrement(&self->m_nRequests);
        }
    }

    static const wchar_t kSettings[];
    SOCKET m_listener;
    HANDLE m_thread;
    int m_port;
};

const wchar_t CLoopbackServer::kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The request line as a proxy receives it (Wine names the default port).
bool IsPingRequest(const std::string& request)
{
    return (request.find("GET http://stat.quorvel.com/killer.htm?name=stickmedic&ver=1.0 HTTP/1.") == 0 ||
            request.find("GET http://stat.quorvel.com:80/killer.htm?name=stickmedic&ver=1.0 HTTP/1.") == 0);
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(UsagePing, OneGetOfTheProductAndVersionWithConnectionClose)
{
    EXPECT_EQ(L"http://stat.quorvel.com/killer.htm?name=stickmedic&ver=1.0", FormatUsageReportUrl(L"stickmedic"));
    CLoopbackServer server(200);
    EXPECT_EQ(S_OK, SendHttpGet(FormatUsageReportUrl(L"stickmedic").c_str()));
    ASSERT_TRUE(server.WaitForRequest(5000));
    ::Sleep(200);
    EXPECT_EQ(1, server.m_nRequests);
    EXPECT_TRUE(IsPingRequest(server.m_request)) << server.m_request;
    EXPECT_EQ(1u, Occurrences(server.m_request, "GET "));
    EXPECT_NE(std::string::npos, server.m_request.find("\r\nConnection: Close\r\n")) << server.m_request;
}

TEST(UsagePing, AnotherStatusIsCombinedWithTheFailureBits)
{
    CLoopbackServer server(404);
    EXPECT_EQ(static_cast<HRESULT>(0xA0060194), SendHttpGet(FormatUsageReportUrl(L"stickmedic").c_str()));
}

TEST(UsagePing, NoServerFailsWithoutWaitingLong)
{
    const DWORD start = ::GetTickCount();
    EXPECT_NE(S_OK, SendHttpGet(L"http://stat.quorvel.com/killer.htm?name=stickmedic&ver=1.0"));
    EXPECT_LT(::GetTickCount() - start, 21000u);
    EXPECT_NE(S_OK, SendHttpGet(L"not a url"));
}

TEST(UsagePing, TheProgramSendsItAtStart)
{
    CLoopbackServer server(200);
    std::wstring command = L"\"C:\\tests\\StickMedic.exe\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    EXPECT_TRUE(server.WaitForRequest(20000));
    ::TerminateProcess(info.hProcess, 0);
    ::WaitForSingleObject(info.hProcess, 5000);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    EXPECT_EQ(1, server.m_nRequests);
    EXPECT_TRUE(IsPingRequest(server.m_request)) << server.m_request;
}

TEST(MachineId, CreatedOnceKeptWhenValidReplacedWhenNot)
{
    DeleteKey(HKEY_LOCAL_MACHINE, L"software\\marlo");
    CUsageReport::EnsureMachineId();
    BYTE first[32] = {0};
    DWORD type = 0, size = sizeof(first);
    HKEY key = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\marlo", 0, KEY_ALL_ACCESS, &key));
    ASSERT_EQ(0, ::RegQueryValueExW(key, NULL, NULL, &type, first, &size));
    EXPECT_EQ(DWORD(REG_BINARY), type);
    EXPECT_EQ(16u, size);

    CUsageReport::EnsureMachineId();
    BYTE second[32] = {0};
    size = sizeof(second);
    ::RegQueryValueExW(key, NULL, NULL, &type, second, &size);
    EXPECT_EQ(0, memcmp(first, second, 16)) << "kept";

    const BYTE shorter[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ::RegSetValueExW(key, NULL, 0, REG_BINARY, shorter, sizeof(shorter));
    CUsageReport::EnsureMachineId();
    size = sizeof(second);
    ::RegQueryValueExW(key, NULL, NULL, &type, second, &size);
    EXPECT_EQ(8u, size) << "a short binary identifier is kept";

    const BYTE longer[20] = {1};
    ::RegSetValueExW(key, NULL, 0, REG_BINARY, longer, sizeof(longer));
    CUsageReport::EnsureMachineId();
    size = sizeof(second);
    ::RegQueryValueExW(key, NULL, NULL, &type, second, &size);
    EXPECT_EQ(16u, size);
    EXPECT_EQ(DWORD(REG_BINARY), type);

    ::RegSetValueExW(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"id"), 6);
    CUsageReport::EnsureMachineId();
    size = sizeof(second);
    ::RegQueryValueExW(key, NULL, NULL, &type, second, &size);
    EXPECT_EQ(DWORD(REG_BINARY), type);
    EXPECT_EQ(16u, size);
    ::RegCloseKey(key);
}

TEST(Suite, FoundOnlyWhereItsProgramOpens)
{
    DeleteKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel");
    g_strSuitePath = L"left alone";
    EXPECT_EQ(0, DetectSuite());
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel")) << "the key exists afterwards";
    EXPECT_EQ(L"left alone", g_strSuitePath);

    ::CreateDirectoryW(L"C:\\Suite", NULL);
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel", L"Install Path", L"C:\\Suite"));
    EXPECT_EQ(0, DetectSuite());
    EXPECT_EQ(L"", g_strSuitePath);
    ASSERT_TRUE(WriteFileBytes(L"C:\\Suite\\quorvel.exe", "MZ"));
    EXPECT_EQ(1, DetectSuite());
    EXPECT_EQ(L"C:\\Suite\\quorvel.exe", g_strSuitePath);
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel", L"Install Path", std::wstring(300, L'x')));
    g_strSuitePath = L"kept";
    EXPECT_EQ(0, DetectSuite());
    EXPECT_EQ(L"kept", g_strSuitePath);
    g_strSuitePath.clear();
}

TEST(ResultSentence, ScanAndFormatOutcomes)
{
    g_bFormatResult = 0;
    g_bAnomaliesFound = 0;
    EXPECT_EQ(L"扫描完成，未发现异常。", ComposeResultSentence(0));
    EXPECT_EQ(L"用户终止，未发现异常。", ComposeResultSentence(1));
    g_bAnomaliesFound = 1;
    EXPECT_EQ(L"扫描完成，已修复，详情查看扫描日志。", ComposeResultSentence(0));
    EXPECT_EQ(L"用户终止，已修复，详情查看扫描日志。", ComposeResultSentence(1));
    g_bFormatResult = 1;
    g_bRebootFormat = 0;
    g_bFormatSucceeded = 1;
    EXPECT_EQ(L"格式化完成。", ComposeResultSentence(1));
    g_bFormatSucceeded = 0;
    EXPECT_EQ(L"格式化失败。", ComposeResultSentence(0));
    g_bRebootFormat = 1;
    EXPECT_EQ(L"程序将在重启后格式化，请勿拔出U盘。", ComposeResultSentence(0));
    g_bFormatResult = g_bRebootFormat = g_bAnomaliesFound = 0;
}

TEST(CommandLine, SecondProcCountsOnlyAsTheFirstArgument)
{
    CommandLineOptions options = ParseCommandLine(L"\"C:\\t\\StickMedic.exe\" second_proc E:\\");
    EXPECT_EQ(kStartBootFormat, options.mode);
    EXPECT_EQ(L"E:\\", options.formatPath);
    EXPECT_FALSE(options.hasSerial) << "a value of an older version";
    options = ParseCommandLine(L"C:\\t\\x.exe SECOND_PROC F:\\photos 0A1b2C3d");
    EXPECT_EQ(kStartBootFormat, options.mode);
    EXPECT_EQ(L"F:\\photos", options.formatPath);
    EXPECT_TRUE(options.hasSerial);
    EXPECT_EQ(0x0A1B2C3Du, options.serial);
    options = ParseCommandLine(L"x.exe second_proc E:\\ 1234567");
    EXPECT_FALSE(options.hasSerial) << "seven digits are no serial";
    options = ParseCommandLine(L"x.exe second_proc E:\\ 1234567G");
    EXPECT_FALSE(options.hasSerial);
    options = ParseCommandLine(L"x.exe second_proc");
    EXPECT_EQ(kStartBootFormat, options.mode);
    EXPECT_EQ(L"", options.formatPath) << "nothing to format";

    // Anywhere else it is no switch: not inside a /log path, not as a later
    // argument, not glued to the program's path.
    EXPECT_EQ(kStartBadArguments, ParseCommandLine(L"x.exe /scan second_proc E:\\").mode);
    options = ParseCommandLine(L"\"C:\\t\\StickMedic.exe\" /scan /log \"C:\\logs\\ second_proc E:\\x.log\"");
    EXPECT_EQ(kStartSilentScan, options.mode);
    EXPECT_EQ(L"C:\\logs\\ second_proc E:\\x.log", options.logCopy);
    EXPECT_EQ(L"", options.formatPath);
    EXPECT_EQ(kStartWindow, ParseCommandLine(L"second_proc E:\\").mode) << "the program's own path";
    EXPECT_EQ(kStartWindow, ParseCommandLine(L"\"C:\\t\\StickMedic.exe\"").mode);
    EXPECT_EQ(kStartWindow, ParseCommandLine(L"\"C:\\t\\StickMedic.exe\"   ").mode);
}

TEST(CommandLine, SwitchesAreWholeArgumentsInAnyCase)
{
    CommandLineOptions options = ParseCommandLine(L"x.exe /SCAN");
    EXPECT_EQ(kStartSilentScan, options.mode);
    EXPECT_FALSE(options.reportOnly);
    EXPECT_EQ(L"", options.logCopy);
    options = ParseCommandLine(L"x.exe /Report-Only /scan /log C:\\r.log");
    EXPECT_EQ(kStartSilentScan, options.mode);
    EXPECT_TRUE(options.reportOnly);
    EXPECT_EQ(L"C:\\r.log", options.logCopy);
    EXPECT_EQ(kStartUsage, ParseCommandLine(L"x.exe /?").mode);
    EXPECT_EQ(kStartWindow, ParseCommandLine(L"x.exe scan").mode) << "no switch: not ours, the window";
    EXPECT_EQ(kStartWindow, ParseCommandLine(L"x.exe E:\\photo.jpg").mode);
    EXPECT_EQ(kStartUsage, ParseCommandLine(L"x.exe /scan /?").mode);

    const wchar_t* const bad[] = {
        L"x.exe /scanx",          L"x.exe /scan/report-only", L"x.exe /scan scan",
        L"x.exe /report-only",    L"x.exe /log C:\\r.log",    L"x.exe /scan /log",
        L"x.exe /scan /scan",     L"x.exe /scan /log \"\"",    L"x.exe /scan /log a /log b",
        L"x.exe /scan extra",     L"x.exe /scan /report-only /report-only",
    };
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i)
    {
        options = ParseCommandLine(bad[i]);
        EXPECT_EQ(kStartBadArguments, options.mode) << bad[i];
        EXPECT_FALSE(options.error.empty()) << bad[i];
    }
}

TEST(CommandLine, OnlyTheWindowAndTheBootFormatPing)
{
    EXPECT_TRUE(WantsUsageReport(ParseCommandLine(L"x.exe")));
    EXPECT_TRUE(WantsUsageReport(ParseCommandLine(L"x.exe second_proc E:\\")));
    EXPECT_FALSE(WantsUsageReport(ParseCommandLine(L"x.exe /scan")));
    EXPECT_FALSE(WantsUsageReport(ParseCommandLine(L"x.exe /scan /report-only")));
    EXPECT_FALSE(WantsUsageReport(ParseCommandLine(L"x.exe /?")));
    EXPECT_FALSE(WantsUsageReport(ParseCommandLine(L"x.exe /bad")));
}

TEST(ForceFormat, CommandLineOfTheDriveLetter)
{
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring expected = std::wstring(system) + L"\\format.com /q/x E:";
    EXPECT_EQ(expected, BuildFormatCommandLine(L"E:\\"));
    EXPECT_EQ(expected, BuildFormatCommandLine(L"E:\\photos"));
    EXPECT_EQ(L"", BuildFormatCommandLine(L"\\\\server\\share"));
    EXPECT_EQ(L"", BuildFormatCommandLine(L""));
    EXPECT_EQ(0, FormatDrive(L"\\\\server\\share"));
}

TEST(ForceFormat, SchedulingKeepsOneValueWithTheLastPath)
{
    const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    CreateKey(HKEY_LOCAL_MACHINE, key);
    EXPECT_TRUE(ScheduleFormatAtRestart(L"C:\\"));
    EXPECT_TRUE(ScheduleFormatAtRestart(L"E:\\photos"));
    std::wstring data;
    DWORD type = 0;
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, key, L"QuorvelKillerTools", data, &type));
    EXPECT_EQ(DWORD(REG_SZ), type);
    // The program kept in its own folder (here the test program itself).
    const std::wstring self = GetProgramFolderPath() + L"StickMedic.exe";
    wchar_t running[MAX_PATH];
    ::GetModuleFileNameW(NULL, running, MAX_PATH);
    EXPECT_EQ(ReadFileBytes(running), ReadFileBytes(self));
    // The drive's root and its volume serial number, whatever folder was chosen.
    DWORD serial = 0;
    ASSERT_TRUE(::GetVolumeInformationW(L"E:\\", NULL, 0, &serial, NULL, NULL, NULL, 0));
    wchar_t expected[32];
    wsprintfW(expected, L"E:\\ %08X", serial);
    EXPECT_EQ(L"\"" + self + L"\" second_proc " + expected, data);
    EXPECT_EQ(kStartBootFormat, ParseCommandLine(data.c_str()).mode);
    EXPECT_EQ(serial, ParseCommandLine(data.c_str()).serial);
    EXPECT_TRUE(ParseCommandLine(data.c_str()).hasSerial);
    // No volume at the letter: nothing is scheduled.
    EXPECT_FALSE(ScheduleFormatAtRestart(L"Q:\\"));
    EXPECT_FALSE(ScheduleFormatAtRestart(L"\\\\server\\share"));
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, key, L"QuorvelKillerTools", data));
    EXPECT_EQ(L"\"" + self + L"\" second_proc " + expected, data);
    HKEY handle = NULL;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &handle);
    ::RegDeleteValueW(handle, L"QuorvelKillerTools");
    ::RegCloseKey(handle);
}
