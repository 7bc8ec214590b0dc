#include "killers/launcher_paths.h"

#include <windows.h>

#include <algorithm>

#include "platform/file_helpers.h"

namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* head)
{
    const size_t length = static_cast<size_t>(::lstrlenW(head));
    return text.size() >= length && FoldCase(text.substr(0, length)) == FoldCase(head);
}

}  // namespace

void SplitCommandLine(const std::wstring& line, std::vector<std::wstring>& pieces)
{
    static const wchar_t kSeparators[] = L" \t\r\n&|<>(),;=";
    std::wstring current;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i)
    {
        const wchar_t c = line[i];
        const bool separator = !quoted && std::wstring(kSeparators).find(c) != std::wstring::npos;
        if (c == L'"' || separator)
        {
            if (!current.empty())
                pieces.push_back(current);
            current.clear();
            if (c == L'"')
                quoted = !quoted;
            continue;
        }
        current += c;
    }
    if (!current.empty())
        pieces.push_back(current);
}

Reach Locate(const std::wstring& piece, wchar_t drive, std::vector<std::wstring>& parts)
{
    parts.clear();
    std::wstring text(piece);
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (text.empty() || piece[0] == L'/' || piece[0] == L'-')
        return kElsewhere;  // a switch ("/c", "-File")
    Reach reach = kOnDrive;
    std::wstring rest;
    if (StartsWithNoCase(text, L"\\\\?\\") && text.size() >= 6 && text[5] == L':')
        text = text.substr(4);
    if (text.size() >= 2 && text[0] == L'\\' && text[1] == L'\\')
        return kElsewhere;  // "\\host\share", "\\.\pipe\x": never opened
    if (text.size() >= 2 && text[1] == L':')
    {
        if (FoldCase(text.substr(0, 1)) != FoldCase(std::wstring(1, drive)))
            return kElsewhere;
        rest = text.substr(2);
    }
    else if (StartsWithNoCase(text, L"%~dp0"))
        rest = text.substr(5);
    else if (StartsWithNoCase(text, L"%~d0"))
        rest = text.substr(4);
    else if (text[0] == L'\\')
        rest = text;
    else if (text[0] == L'%' || text.find(L':') != std::wstring::npos)
        return kElsewhere;  // a variable of the PC, a URL, a stream, "vbscript:"
    else
    {
        rest = text;
        reach = kRelative;
    }
    if (rest.find_first_of(L"*?%") != std::wstring::npos)
        return kElsewhere;
    std::wstring::size_type start = 0;
    while (start <= rest.size())
    {
        std::wstring::size_type end = rest.find(L'\\', start);
        if (end == std::wstring::npos)
            end = rest.size();
        const std::wstring part = rest.substr(start, end - start);
        if (part == L"..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else if (!part.empty() && part != L".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts.empty() ? kElsewhere : reach;
}
