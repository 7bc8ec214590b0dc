// The innermost command of autostart command lines: one table of lines as
// today's worms and honest programs write them, and what each starts at the
// bottom. Whether a file is then the worm's is the autostart walk's to say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "killers/command_target.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One command line and its innermost targets, written "i:host:path" (read
// by an interpreter or loader) or "p:path" (run as a program), joined by "|".
struct TargetCase
{
    const wchar_t* line;
    const wchar_t* expected;
};

const TargetCase kTargetCases[] = {
    // Script hosts: the first argument that is not a switch, whatever its extension.
    {L"wscript.exe //B \"C:\\Users\\bob\\AppData\\Roaming\\Microsoft\\svchost.vbs\"",
     L"i:wscript.exe:C:\\Users\\bob\\AppData\\Roaming\\Microsoft\\svchost.vbs"},
    {L"C:\\Windows\\System32\\WScript.exe /e:VBScript.Encode C:\\t\\x.db", L"i:wscript.exe:C:\\t\\x.db"},
    {L"cscript //nologo //E:jscript \"C:\\a b\\c.txt\" arg", L"i:cscript.exe:C:\\a b\\c.txt"},
    // The interpreter and its start, unwrapped.
    {L"cmd.exe /c start wscript /e:VBScript.Encode C:\\t\\x.db", L"i:wscript.exe:C:\\t\\x.db"},
    {L"C:\\Windows\\system32\\cmd.exe /q /c \"start \"\" /min \"C:\\p q\\w.exe\" -x\"", L"p:C:\\p q\\w.exe"},
    {L"cmd /k start /d C:\\x /b run.bat", L"i::run.bat"},
    {L"cmd.exe /c start RECYCLER\\a1b2c3d4.exe &start explorer Photos &exit",
     L"p:RECYCLER\\a1b2c3d4.exe|p:explorer"},
    {L"cmd /cstart x.exe", L"p:x.exe"},
    {L"cmd /c echo hello ^& start y.exe", L""},
    {L"cmd /c cmd /c cmd /c mshta C:\\h\\a.hta", L"i:mshta.exe:C:\\h\\a.hta"},
    {L"cmd", L""},
    // The DLL runner: entry points that start another file, and plain libraries.
    {L"rundll32 shell32 ShellExec_RunDLLA regsvr32 /u /s \"C:\\Users\\bob\\x.dat\"",
     L"i:regsvr32.exe:C:\\Users\\bob\\x.dat"},
    {L"RUNDLL32 SHELL32 ShellExec_RunDLLA REGSVR /u /s \"C:\\q\\r\"", L"i:regsvr32.exe:C:\\q\\r"},
    {L"rundll32.exe shell32.dll,ShellExec_RunDLL ?0x1? C:\\x\\run.exe", L"p:C:\\x\\run.exe"},
    {L"rundll32.exe shell32.dll,Control_RunDLL C:\\x\\evil.cpl,@0", L"i:rundll32.exe:C:\\x\\evil.cpl"},
    {L"rundll32 url.dll,FileProtocolHandler C:\\x\\y.vbs", L"i::C:\\x\\y.vbs"},
    {L"rundll32 url.dll,OpenURL \"C:\\x y\\z.exe\"", L"p:C:\\x y\\z.exe"},
    {L"rundll32 url.dll,FileProtocolHandler http://example.invalid/a.exe", L""},
    {L"rundll32 advpack.dll,LaunchINFSection C:\\x\\a.inf,DefaultInstall", L"i:rundll32.exe:C:\\x\\a.inf"},
    {L"RUNDLL32.EXE C:\\Windows\\system32\\drv.dll,Start", L"i:rundll32.exe:C:\\Windows\\system32\\drv.dll"},
    {L"rundll32 \"C:\\Users\\b\\a b.dll\",DllMain", L"i:rundll32.exe:C:\\Users\\b\\a b.dll"},
    // The registrars.
    {L"regsvr32 /s /n /i:x C:\\x\\a.ocx", L"i:regsvr32.exe:C:\\x\\a.ocx"},
    {L"odbcconf.exe /s /a {REGSVR C:\\x\\a.dll}", L"i:odbcconf.exe:C:\\x\\a.dll"},
    {L"msiexec /z C:\\x\\a.dll", L"i:msiexec.exe:C:\\x\\a.dll"},
    {L"msiexec.exe /i C:\\x\\setup.msi /qn", L"i:msiexec.exe:C:\\x\\setup.msi"},
    // PowerShell runs a file only with -File.
    {L"powershell -ExecutionPolicy Bypass -File C:\\ProgramData\\Corp\\logon.ps1",
     L"i:powershell.exe:C:\\ProgramData\\Corp\\logon.ps1"},
    {L"powershell -NoP -Command \"iex x\"", L""},
    // Programs started directly: .com, .pif and .scr are programs; scripts go to their host.
    {L"C:\\Users\\bob\\AppData\\Roaming\\a.scr /s", L"p:C:\\Users\\bob\\AppData\\Roaming\\a.scr"},
    {L"\"C:\\Users\\bob\\x.pif\"", L"p:C:\\Users\\bob\\x.pif"},
    {L"C:\\u\\y.com", L"p:C:\\u\\y.com"},
    {L"C:\\Users\\bob\\AppData\\Local\\App\\Update.exe --processStart App.exe",
     L"p:C:\\Users\\bob\\AppData\\Local\\App\\Update.exe"},
    {L"C:\\Program Files\\Vendor App\\app.exe -tray", L"p:C:\\Program Files\\Vendor App\\app.exe"},
    {L"\"C:\\Users\\bob\\Start Menu\\x.js\"", L"i::C:\\Users\\bob\\Start Menu\\x.js"},
    {L"C:\\Users\\bob\\logon.bat", L"i::C:\\Users\\bob\\logon.bat"},
    // Garbage starts nothing and does not trip the reader.
    {L"\"\"\"", L""},
    {L"\"unterminated C:\\x.exe", L"p:unterminated C:\\x.exe"},
    {L"rundll32", L""},
    {L"wscript //B", L""},
};

std::wstring Describe(const std::vector<CommandTarget>& targets)
{
    std::wstring text;
    for (size_t i = 0; i < targets.size(); ++i)
    {
        if (i)
            text += L"|";
        text += targets[i].kind == kTargetInterpreted ? L"i:" + targets[i].host + L":" : L"p:";
        text += targets[i].path;
    }
    return text;
}

TEST(CommandTargetTest, EachLineGivesItsInnermostTargets)
{
    for (size_t i = 0; i < sizeof(kTargetCases) / sizeof(kTargetCases[0]); ++i)
    {
        std::vector<CommandTarget> targets;
        InnermostTargets(kTargetCases[i].line, targets);
        EXPECT_EQ(Narrow(kTargetCases[i].expected), Narrow(Describe(targets))) << Narrow(kTargetCases[i].line);
    }
}

TEST(CommandTargetTest, TooLongDeepOrEmptyLinesAreNotTakenApart)
{
    std::vector<CommandTarget> targets;
    std::wstring longest = L"C:\\u\\a.exe ";
    longest.resize(kMaxCommandChars, L'x');
    EXPECT_TRUE(InnermostTargets(longest, targets));
    EXPECT_EQ("p:C:\\u\\a.exe", Narrow(Describe(targets)));
    EXPECT_FALSE(InnermostTargets(longest + L"x", targets));
    EXPECT_TRUE(targets.empty());

    std::wstring deep;
    for (int i = 0; i < 20; ++i)
        deep += L"cmd /c ";
    EXPECT_FALSE(InnermostTargets(deep + L"x.exe", targets));
    EXPECT_FALSE(InnermostTargets(L"   ", targets));
    EXPECT_FALSE(InnermostTargets(std::wstring(L"a.exe\0b.exe", 11), targets));

    // A long line of blanks and quotes is read in one pass.
    std::wstring quotes(kMaxCommandChars - 10, L'"');
    EXPECT_TRUE(InnermostTargets(L"cmd /c " + quotes, targets));
}

TEST(CommandTargetTest, VariablesExpandFromTheGivenRecordsOnly)
{
    VariableMap variables;
    variables[L"TEMP"] = L"C:\\Users\\bob\\AppData\\Local\\Temp";
    variables[L"APPDATA"] = L"C:\\Users\\bob\\AppData\\Roaming";
    struct ExpandCase
    {
        const wchar_t* text;
        bool expands;
        const wchar_t* expected;
    } const cases[] = {
        {L"%temp%\\x.db", true, L"C:\\Users\\bob\\AppData\\Local\\Temp\\x.db"},
        {L"wscript \"%APPDATA%\\a.vbs\" %TEMP%", true,
         L"wscript \"C:\\Users\\bob\\AppData\\Roaming\\a.vbs\" C:\\Users\\bob\\AppData\\Local\\Temp"},
        {L"100%% sure", true, L"100%% sure"},
        {L"50% off", true, L"50% off"},
        {L"%USERPROFILE%\\x.exe", false, L""},
        {L"no variables", true, L"no variables"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        std::wstring expanded;
        EXPECT_EQ(cases[i].expands, ExpandVariables(cases[i].text, variables, expanded)) << Narrow(cases[i].text);
        if (cases[i].expands)
        {
            EXPECT_EQ(Narrow(cases[i].expected), Narrow(expanded)) << Narrow(cases[i].text);
        }
    }
    std::wstring huge;
    variables[L"BIG"] = std::wstring(20000, L'a');
    EXPECT_FALSE(ExpandVariables(L"%BIG%%BIG%", variables, huge));
}

}  // namespace
