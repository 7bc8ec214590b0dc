#include "killers/command_target.h"

#include "platform/array_count.h"
#include "platform/file_helpers.h"

namespace {

// Wrappers inside wrappers deeper than this are no one's honest command.
const int kMaxDepth = 8;

const wchar_t* const kScriptExtensions[] = {
    L".vbs", L".vbe", L".js", L".jse", L".wsf", L".wsh", L".hta", L".bat", L".cmd", L".ps1",
};

// What a path without a folder is taken to end in when it is started.
const wchar_t* const kRunnableExtensions[] = {
    L".exe", L".com", L".scr", L".pif", L".vbs", L".vbe", L".js", L".jse", L".wsf", L".bat", L".cmd",
};

// The interpreter's own commands, which start no file.
const wchar_t* const kBuiltinCommands[] = {
    L"exit", L"echo", L"cd", L"chdir", L"set", L"rem", L"cls", L"title", L"ver", L"pause", L"goto", L"call",
};

// PowerShell's switches that take the next argument (and their short forms).
const wchar_t* const kPowershellValueSwitches[] = {
    L"-executionpolicy", L"-ep", L"-ex", L"-exec", L"-windowstyle", L"-w", L"-win", L"-version", L"-v",
    L"-outputformat", L"-o", L"-inputformat", L"-if", L"-configurationname", L"-psconsolefile",
};

// Switches of "start" that take the next argument.
const wchar_t* const kStartValueSwitches[] = {L"/d", L"/node", L"/affinity"};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring Lower(const std::wstring& text)
{
    std::wstring lower(text);
    for (size_t i = 0; i < lower.size(); ++i)
    {
        if (lower[i] >= L'A' && lower[i] <= L'Z')
            lower[i] = static_cast<wchar_t>(lower[i] + (L'a' - L'A'));
    }
    return lower;
}

std::wstring Trim(const std::wstring& text)
{
    size_t first = 0;
    size_t end = text.size();
    while (first < end && IsBlank(text[first]))
        ++first;
    while (end > first && IsBlank(text[end - 1]))
        --end;
    return text.substr(first, end - first);
}

// The last part of a path, in lower case, without ".exe" ("C:\x\CMD.EXE"
// gives "cmd").
std::wstring ProgramName(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    std::wstring name = Lower(slash == std::wstring::npos ? path : path.substr(slash + 1));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".exe") == 0)
        name.erase(name.size() - 4);
    return name;
}

bool StartsWith(const std::wstring& lower, const wchar_t* head)
{
    return lower.compare(0, std::wstring(head).size(), head) == 0;
}

// Reads one argument from `pos`: blanks skipped, quotes taken off (a quoted
// part may sit inside it), up to the next blank outside quotes or one of
// `stops`. `quoted`: whether it began with a quote.
std::wstring NextToken(const std::wstring& line, size_t& pos, const wchar_t* stops = L"", bool* quoted = NULL)
{
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    if (quoted)
        *quoted = pos < line.size() && line[pos] == L'"';
    std::wstring token;
    bool inQuotes = false;
    for (; pos < line.size(); ++pos)
    {
        const wchar_t c = line[pos];
        if (c == L'"')
        {
            inQuotes = !inQuotes;
            continue;
        }
        if (!inQuotes && (IsBlank(c) || std::wstring(stops).find(c) != std::wstring::npos))
            break;
        token += c;
    }
    return token;
}

bool IsSwitch(const std::wstring& token) { return !token.empty() && (token[0] == L'/' || token[0] == L'-'); }

// The first argument from `pos` that is not a switch; empty when none.
std::wstring FirstNonSwitch(const std::wstring& line, size_t pos)
{
    for (;;)
    {
        const std::wstring token = NextToken(line, pos);
        if (token.empty() || !IsSwitch(token))
            return token;
    }
}

// The program a line starts and where its arguments begin. An unquoted
// path holding blanks ("C:\Program Files\App\app.exe -x") reaches as far
// as its first part that ends like a program.
std::wstring ProgramToken(const std::wstring& line, size_t& pos)
{
    bool quoted = false;
    std::wstring token = NextToken(line, pos, L"", &quoted);
    if (quoted || token.find(L'\\') == std::wstring::npos || HasExtensionIn(token, kRunnableExtensions))
        return token;
    size_t end = pos;
    std::wstring longer = token;
    while (end < line.size())
    {
        size_t next = end;
        const std::wstring part = NextToken(line, next);
        if (part.empty())
            break;
        longer += line.substr(end, next - end - part.size()) + part;
        end = next;
        if (HasExtensionIn(longer, kRunnableExtensions))
        {
            pos = end;
            return longer;
        }
    }
    return token;
}

bool IsUrl(const std::wstring& text)
{
    const std::wstring lower = Lower(text);
    return lower.find(L"://") != std::wstring::npos || StartsWith(lower, L"vbscript:") ||
           StartsWith(lower, L"javascript:") || StartsWith(lower, L"about:") || StartsWith(lower, L"mailto:");
}

void AddTarget(std::vector<CommandTarget>& targets, TargetKind kind, const std::wstring& path, const std::wstring& host)
{
    if (path.empty() || IsUrl(path))
        return;
    CommandTarget target;
    target.kind = kind;
    target.path = path;
    target.host = host;
    targets.push_back(target);
}

// A file started as it is: a script goes to its interpreter.
void AddStarted(std::vector<CommandTarget>& targets, const std::wstring& path)
{
    AddTarget(targets, IsScriptFileName(path) ? kTargetInterpreted : kTargetProgram, path, std::wstring());
}

bool ParseLine(const std::wstring& line, int depth, std::vector<CommandTarget>& targets);

// The text after cmd's /c or /k: its outer quotes taken off as the
// interpreter does when the text is more than one quoted path, then each of
// the commands joined by "&", "&&", "||" or "|".
bool ParseInterpreterCommands(std::wstring rest, int depth, std::vector<CommandTarget>& targets)
{
    rest = Trim(rest);
    size_t quotes = 0;
    for (size_t i = 0; i < rest.size(); ++i)
        quotes += rest[i] == L'"';
    if (quotes > 2 && rest[0] == L'"')
    {
        rest.erase(0, 1);
        rest.erase(rest.find_last_of(L'"'), 1);
    }
    bool inQuotes = false;
    size_t start = 0;
    for (size_t i = 0; i <= rest.size(); ++i)
    {
        const wchar_t c = i < rest.size() ? rest[i] : L'&';
        if (c == L'^' && !inQuotes)
        {
            ++i;  // an escaped character belongs to the command
            continue;
        }
        if (c == L'"')
            inQuotes = !inQuotes;
        if (inQuotes || (c != L'&' && c != L'|'))
            continue;
        std::wstring command = Trim(rest.substr(start, i - start));
        while (!command.empty() && (command[0] == L'@' || command[0] == L'('))
            command = Trim(command.substr(1));
        while (!command.empty() && command[command.size() - 1] == L')')
            command = Trim(command.substr(0, command.size() - 1));
        if (!command.empty() && !ParseLine(command, depth + 1, targets))
            return false;
        start = i + 1;
    }
    return true;
}

bool ParseCmd(const std::wstring& line, size_t pos, int depth, std::vector<CommandTarget>& targets)
{
    for (;;)
    {
        size_t before = pos;
        const std::wstring token = Lower(NextToken(line, pos));
        if (token.empty())
            return true;  // an interpreter waiting for input starts nothing
        if (token == L"/c" || token == L"/k" || token == L"/r")
            return ParseInterpreterCommands(line.substr(pos), depth, targets);
        if (token.size() > 2 && token[0] == L'/' && (token[1] == L'c' || token[1] == L'k') && token[2] != L':')
        {
            // "/cstart x": the command follows the switch at once.
            while (before < line.size() && IsBlank(line[before]))
                ++before;
            return ParseInterpreterCommands(line.substr(before + 2), depth, targets);
        }
        if (!IsSwitch(token))
            return true;
    }
}

bool ParseStart(const std::wstring& line, size_t pos, int depth, std::vector<CommandTarget>& targets)
{
    size_t peek = pos;
    bool quoted = false;
    NextToken(line, peek, L"", &quoted);
    if (quoted)
        pos = peek;  // the window's title
    for (;;)
    {
        peek = pos;
        const std::wstring token = Lower(NextToken(line, peek));
        if (!IsSwitch(token) || token.size() < 2 || token[0] != L'/')
            break;
        pos = peek;
        for (size_t i = 0; i < ArrayCount(kStartValueSwitches); ++i)
        {
            if (token == kStartValueSwitches[i])
                NextToken(line, pos);
        }
    }
    const std::wstring rest = Trim(line.substr(pos));
    return rest.empty() || ParseLine(rest, depth + 1, targets);
}

// rundll32's entry points that start another file, and what they start.
bool ParseRundll(const std::wstring& line, size_t pos, int depth, std::vector<CommandTarget>& targets)
{
    const std::wstring dll = NextToken(line, pos, L",");
    while (pos < line.size() && (IsBlank(line[pos]) || line[pos] == L','))
        ++pos;
    const std::wstring entry = Lower(NextToken(line, pos));
    const std::wstring library = ProgramName(dll);
    const std::wstring rest = Trim(line.substr(pos));
    if (library == L"shell32" || library == L"shell32.dll")
    {
        if (StartsWith(entry, L"shellexec_rundll"))
        {
            size_t at = 0;
            size_t peek = 0;
            while (NextToken(rest, peek).compare(0, 1, L"?") == 0)
                at = peek;  // "?0x...?" flags before the command
            const std::wstring command = Trim(rest.substr(at));
            return command.empty() || ParseLine(command, depth + 1, targets);
        }
        if (StartsWith(entry, L"control_rundll"))
        {
            size_t at = 0;
            AddTarget(targets, kTargetInterpreted, NextToken(rest, at, L","), L"rundll32.exe");
            return true;
        }
    }
    if ((library == L"url" || library == L"url.dll") &&
        (StartsWith(entry, L"fileprotocolhandler") || StartsWith(entry, L"openurl")))
    {
        size_t at = 0;
        const std::wstring file = rest.empty() ? rest : (rest[0] == L'"' ? NextToken(rest, at) : rest);
        AddStarted(targets, file);
        return true;
    }
    if ((library == L"advpack" || library == L"advpack.dll" || library == L"ieadvpack" ||
         library == L"ieadvpack.dll") &&
        StartsWith(entry, L"launchinfsection"))
    {
        size_t at = 0;
        AddTarget(targets, kTargetInterpreted, NextToken(rest, at, L","), L"rundll32.exe");
        return true;
    }
    if ((library == L"zipfldr" || library == L"zipfldr.dll") && entry == L"routethecall")
        return rest.empty() || ParseLine(rest, depth + 1, targets);
    AddTarget(targets, kTargetInterpreted, dll, L"rundll32.exe");
    return true;
}

// odbcconf's "/a {REGSVR x.dll}" and its response file.
void ParseOdbcconf(const std::wstring& line, size_t pos, std::vector<CommandTarget>& targets)
{
    const std::wstring lower = Lower(line);
    const std::wstring::size_type regsvr = lower.find(L"regsvr", pos);
    if (regsvr != std::wstring::npos)
    {
        size_t at = regsvr + 6;
        AddTarget(targets, kTargetInterpreted, NextToken(line, at, L"}"), L"odbcconf.exe");
        return;
    }
    for (;;)
    {
        const std::wstring token = Lower(NextToken(line, pos));
        if (token.empty())
            return;
        if (token == L"/f" || token == L"-f")
        {
            AddTarget(targets, kTargetInterpreted, NextToken(line, pos), L"odbcconf.exe");
            return;
        }
    }
}

// msiexec's DLL registration (/y, /z) and its packages (/i, /package).
void ParseMsiexec(const std::wstring& line, size_t pos, std::vector<CommandTarget>& targets)
{
    for (;;)
    {
        const std::wstring token = Lower(NextToken(line, pos));
        if (token.empty())
            return;
        if (token == L"/y" || token == L"/z" || token == L"/i" || token == L"/package" || token == L"-y" ||
            token == L"-i")
        {
            AddTarget(targets, kTargetInterpreted, NextToken(line, pos), L"msiexec.exe");
            return;
        }
    }
}

// powershell runs a file only with -File (or its short forms).
void ParsePowershell(const std::wstring& line, size_t pos, std::vector<CommandTarget>& targets)
{
    for (;;)
    {
        const std::wstring token = Lower(NextToken(line, pos));
        if (token.empty())
            return;
        if (token == L"-file" || token == L"-f" || token == L"/file")
        {
            AddTarget(targets, kTargetInterpreted, NextToken(line, pos), L"powershell.exe");
            return;
        }
        if (token == L"-command" || token == L"-c" || token == L"-encodedcommand" || token == L"-enc" ||
            token == L"-e")
            return;
        if (IsNameIn(token, kPowershellValueSwitches))
        {
            NextToken(line, pos);
            continue;
        }
        if (!IsSwitch(token))
        {
            // A first plain argument is a command, unless it names a script.
            if (HasExtensionIn(token, kScriptExtensions))
                AddTarget(targets, kTargetInterpreted, token, L"powershell.exe");
            return;
        }
    }
}

bool ParseLine(const std::wstring& line, int depth, std::vector<CommandTarget>& targets)
{
    if (depth > kMaxDepth)
        return false;
    size_t pos = 0;
    const std::wstring program = ProgramToken(line, pos);
    const std::wstring name = ProgramName(program);
    if (program.empty())
        return true;
    if (name == L"cmd")
        return ParseCmd(line, pos, depth, targets);
    if (name == L"start" && program.find_first_of(L"\\/") == std::wstring::npos)
        return ParseStart(line, pos, depth, targets);
    if (name == L"rundll32")
        return ParseRundll(line, pos, depth, targets);
    if (name == L"wscript" || name == L"cscript" || name == L"mshta" || name == L"regsvr32" || name == L"regsvr")
    {
        // The first argument that is not a switch ("//B", "/e:VBScript.Encode",
        // "/u", "/s") is the script or library, whatever its extension.
        const std::wstring host = (name == L"regsvr" ? L"regsvr32" : name) + L".exe";
        AddTarget(targets, kTargetInterpreted, FirstNonSwitch(line, pos), host);
        return true;
    }
    if (name == L"odbcconf")
        ParseOdbcconf(line, pos, targets);
    else if (name == L"msiexec")
        ParseMsiexec(line, pos, targets);
    else if (name == L"powershell" || name == L"pwsh")
        ParsePowershell(line, pos, targets);
    else if (program.find_first_of(L"\\/") != std::wstring::npos || !IsNameIn(name, kBuiltinCommands))
        AddStarted(targets, program);
    return true;
}

}  // namespace

bool IsScriptFileName(const std::wstring& path) { return HasExtensionIn(path, kScriptExtensions); }

bool ExpandVariables(const std::wstring& text, const VariableMap& variables, std::wstring& expanded)
{
    std::wstring out;
    size_t pos = 0;
    while (pos < text.size())
    {
        const std::wstring::size_type open = text.find(L'%', pos);
        const std::wstring::size_type close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos)
        {
            out += text.substr(pos);
            break;
        }
        out += text.substr(pos, open - pos);
        const std::wstring name = text.substr(open + 1, close - open - 1);
        if (name.empty())
        {
            out += L"%%";
            pos = close + 1;
            continue;
        }
        const VariableMap::const_iterator found = variables.find(FoldCase(name));
        if (found == variables.end())
            return false;
        out += found->second;
        if (out.size() > kMaxCommandChars)
            return false;
        pos = close + 1;
    }
    if (out.size() > kMaxCommandChars)
        return false;
    expanded.swap(out);
    return true;
}

bool InnermostTargets(const std::wstring& line, std::vector<CommandTarget>& targets)
{
    targets.clear();
    if (line.size() > kMaxCommandChars || line.find(L'\0') != std::wstring::npos)
        return false;
    const std::wstring trimmed = Trim(line);
    if (trimmed.empty())
        return false;
    if (!ParseLine(trimmed, 0, targets))
    {
        targets.clear();
        return false;
    }
    return true;
}
