// The scan log text and the command framework's small pieces.
#include <gtest/gtest.h>

#include "killers/command.h"
#include "killers/scan_log.h"
#include "tests/testing.h"

using testing_util::Hex;

TEST(ScanLog, HeaderHasNoLeadingZeros)
{
    SYSTEMTIME at = {};
    at.wYear = 2010;
    at.wMonth = 6;
    at.wDay = 28;
    at.wHour = 9;
    at.wMinute = 5;
    at.wSecond = 3;
    ScanLog::Reset(ScanLog::kHeaderFormat, at);
    EXPECT_EQ("StartTime:2010-6-28 9:5:3\r\n\r\n", ScanLog::Text());
    EXPECT_EQ(29, ScanLog::Length());

    at.wMonth = 12;
    at.wDay = 1;
    at.wHour = 0;
    at.wMinute = 0;
    at.wSecond = 59;
    ScanLog::Reset(ScanLog::kHeaderFormat, at);
    EXPECT_EQ("StartTime:2010-12-1 0:0:59\r\n\r\n", ScanLog::Text());
}

TEST(ScanLog, ResetReplacesAndAppendsKeepExactBytes)
{
    ScanLog::Reset(ScanLog::kHeaderFormat);
    const int header = ScanLog::Length();
    EXPECT_EQ(0, ScanLog::Text().compare(0, 10, "StartTime:"));
    ScanLog::Append("ab\0cd", 5);  // embedded NUL kept: Append counts bytes
    ScanLog::AppendText("xyz");
    ScanLog::AppendText(NULL);
    ScanLog::Append(NULL, 3);
    ScanLog::Append("q", 0);
    EXPECT_EQ(header + 8, ScanLog::Length());
    EXPECT_EQ(std::string("ab\0cdxyz", 8), ScanLog::Text().substr(header));
    ScanLog::Reset(ScanLog::kHeaderFormat);
    EXPECT_EQ(header, ScanLog::Length());
}

TEST(ScanLog, FixedTextsAreGbkBytes)
{
    EXPECT_EQ(Hex("CE B4 B7 A2 CF D6 D2 EC B3 A3"), std::string(kLogNothingFound));
    const std::string footer = kLogFooter;
    ASSERT_EQ(75u, footer.size());
    EXPECT_EQ("\r\n" + std::string(69, '=') + "\r\n\r\n", footer);
}

TEST(ToLogText, ConvertsToTheAnsiCodePage)
{
    EXPECT_EQ(936u, ::GetACP()) << "the sandbox runs with code page 936";
    EXPECT_EQ("E:\\photos", ToLogText(L"E:\\photos"));
    // 照片 in GBK
    EXPECT_EQ("E:\\" + Hex("D5 D5 C6 AC"), ToLogText(L"E:\\照片"));
    EXPECT_EQ("", ToLogText(L""));
    EXPECT_EQ("", ToLogText(NULL));
}

TEST(ToLogText, UnmappedCharactersBecomeTheDefaultCharacter)
{
    // U+0E01 (Thai) and U+263A have no GBK byte; the code page's default is '?'.
    EXPECT_EQ("E:\\a?b?", ToLogText(L"E:\\a\x0E01" L"b\x263A"));
}

TEST(ToLogText, LongTextsConvertWhole)
{
    std::wstring wide;
    std::string expected;
    for (int i = 0; i < 3000; ++i)
    {
        wide += L"文";
        expected += Hex("CE C4");
    }
    EXPECT_EQ(expected, ToLogText(wide.c_str()));
}

namespace {
class CFakeModule : public IModuleKillClientNull
{
public:
    void* Context() const { return m_pContext; }
};
}  // namespace

TEST(ModuleKillClientNull, FiveOperationsAnswerAsSpecified)
{
    CFakeModule module;
    EXPECT_EQ(NULL, module.Context());
    int context = 0;
    IModuleKillClient& client = module;
    EXPECT_EQ(1, client.Init(&context));
    EXPECT_EQ(&context, module.Context());
    EXPECT_EQ(0, client.Query());
    EXPECT_EQ(0, client.Scan());
    EXPECT_EQ(0, client.Clean());
    EXPECT_EQ(1, client.Uninit());
}
