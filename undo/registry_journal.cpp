#include "undo/registry_journal.h"

#include <cwchar>
#include <vector>

#include "undo/program_folder.h"

const wchar_t kRegistryScriptName[] = L"before.reg";
const wchar_t kRegistryJournalName[] = L"before.blocks";

namespace {

const wchar_t kBlockMark[] = L";block ";
const size_t kMarkChars = 7;
const size_t kLengthDigits = 20;
const size_t kLineChars = kMarkChars + kLengthDigits + 2;  // the mark, the length, CR LF
const DWORD kLineBytes = static_cast<DWORD>(kLineChars * sizeof(wchar_t));
const wchar_t kScriptHeader[] = L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n";
const DWORD kChunk = 65536;

DWORD WriteWhole(HANDLE file, const void* bytes, DWORD size)
{
    DWORD written = 0;
    if (size && (!g_folderCalls.writeFile(file, bytes, size, &written, NULL) || written != size))
        return ::GetLastError() ? ::GetLastError() : ERROR_WRITE_FAULT;
    return ERROR_SUCCESS;
}

bool SeekTo(HANDLE file, ULONGLONG position)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(position);
    return ::SetFilePointerEx(file, at, NULL, FILE_BEGIN) != FALSE;
}

// Cuts the file back to `size` bytes.
void CutTo(HANDLE file, ULONGLONG size)
{
    if (SeekTo(file, size))
        ::SetEndOfFile(file);
}

// The length a block's line gives; false for a line of no block.
bool ParseBlockLine(const wchar_t* line, ULONGLONG& length)
{
    if (std::wcsncmp(line, kBlockMark, kMarkChars) != 0 || line[kLineChars - 2] != L'\r' ||
        line[kLineChars - 1] != L'\n')
        return false;
    length = 0;
    for (size_t i = kMarkChars; i < kMarkChars + kLengthDigits; ++i)
    {
        if (line[i] < L'0' || line[i] > L'9')
            return false;
        length = length * 10 + static_cast<ULONGLONG>(line[i] - L'0');
    }
    return length % sizeof(wchar_t) == 0;
}

struct BlockPlace
{
    ULONGLONG offset;
    ULONGLONG bytes;
};

// Where each whole block of the journal lies, in the order written.
bool WalkJournal(HANDLE journal, ULONGLONG size, std::vector<BlockPlace>& blocks)
{
    ULONGLONG position = 0;
    wchar_t line[kLineChars];
    while (position + kLineBytes <= size)
    {
        DWORD read = 0;
        ULONGLONG length = 0;
        if (!SeekTo(journal, position) || !::ReadFile(journal, line, kLineBytes, &read, NULL))
            return false;
        if (read != kLineBytes || !ParseBlockLine(line, length) || position + kLineBytes + length > size)
            break;  // cut short as the scan ended: its change was never made
        const BlockPlace place = {position + kLineBytes, length};
        blocks.push_back(place);
        position += kLineBytes + length;
    }
    return true;
}

// Copies `bytes` bytes from `offset` in one file to the end of the other.
DWORD CopyBytes(HANDLE from, ULONGLONG offset, ULONGLONG bytes, HANDLE to, std::vector<BYTE>& buffer)
{
    if (!SeekTo(from, offset))
        return ::GetLastError();
    while (bytes > 0)
    {
        const DWORD wanted = bytes < kChunk ? static_cast<DWORD>(bytes) : kChunk;
        DWORD read = 0;
        if (!::ReadFile(from, &buffer[0], wanted, &read, NULL) || read != wanted)
            return ::GetLastError() ? ::GetLastError() : ERROR_HANDLE_EOF;
        const DWORD written = WriteWhole(to, &buffer[0], read);
        if (written != ERROR_SUCCESS)
            return written;
        bytes -= read;
    }
    return ERROR_SUCCESS;
}

// Opens the journal to read: a plain file of one name, the program's own.
DWORD OpenJournal(const std::wstring& path, CHandle& journal, ULONGLONG& size)
{
    journal.Attach(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, NULL));
    if (!journal.IsValid())
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_folderCalls.getInformation(journal, &info))
        return ::GetLastError();
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1 || !IsProgramOwned(journal))
        return ERROR_ACCESS_DENIED;
    size = (ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return ERROR_SUCCESS;
}

}  // namespace

ULONGLONG JournalBytesOf(const std::wstring& block) { return kLineBytes + block.size() * sizeof(wchar_t); }

DWORD CRegistryJournal::Append(const std::wstring& folder, const std::wstring& block)
{
    if (!m_file.IsValid())
    {
        // Made new in the scan's own folder, which this program has just made.
        m_file.Attach(::CreateFileW((folder + kRegistryJournalName).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ, NULL, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
        if (!m_file.IsValid())
            return ::GetLastError();
        m_size = 0;
    }
    wchar_t line[kLineChars + 1];
    swprintf(line, kLineChars + 1, L"%ls%020llu\r\n", kBlockMark,
             static_cast<unsigned long long>(block.size() * sizeof(wchar_t)));
    DWORD error = SeekTo(m_file, m_size) ? WriteWhole(m_file, line, kLineBytes) : ::GetLastError();
    if (error == ERROR_SUCCESS)
        error = WriteWhole(m_file, block.data(), static_cast<DWORD>(block.size() * sizeof(wchar_t)));
    if (error == ERROR_SUCCESS && !::FlushFileBuffers(m_file))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS)
    {
        CutTo(m_file, m_size);
        return error;
    }
    m_lastStart = m_size;
    m_size += JournalBytesOf(block);
    ++m_blocks;
    return ERROR_SUCCESS;
}

void CRegistryJournal::DropLast()
{
    if (!m_file.IsValid() || m_blocks == 0)
        return;
    CutTo(m_file, m_lastStart);
    m_size = m_lastStart;
    --m_blocks;
}

DWORD CRegistryJournal::Close()
{
    m_file.Close();
    return m_blocks;
}

DWORD ComposeRegistryScript(const std::wstring& folder)
{
    const std::wstring journalPath = folder + kRegistryJournalName;
    if (::GetFileAttributesW(journalPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ERROR_SUCCESS;
    CHandle journal;
    ULONGLONG size = 0;
    DWORD error = OpenJournal(journalPath, journal, size);
    std::vector<BlockPlace> blocks;
    if (error == ERROR_SUCCESS && !WalkJournal(journal, size, blocks))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS)
        return error;

    // The script whole under another name first: an old one stays as it was
    // until the new one is complete.
    const std::wstring temporary = folder + kRegistryScriptName + L".tmp";
    ::DeleteFileW(temporary.c_str());
    {
        CHandle script(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
        if (!script.IsValid())
            return ::GetLastError();
        error = WriteWhole(script, kScriptHeader, static_cast<DWORD>(std::wcslen(kScriptHeader) * sizeof(wchar_t)));
        std::vector<BYTE> buffer(kChunk);
        for (size_t i = blocks.size(); i-- > 0 && error == ERROR_SUCCESS;)
            error = CopyBytes(journal, blocks[i].offset, blocks[i].bytes, script, buffer);
        if (error == ERROR_SUCCESS && !::FlushFileBuffers(script))
            error = ::GetLastError();
    }
    if (error == ERROR_SUCCESS &&
        !::MoveFileExW(temporary.c_str(), (folder + kRegistryScriptName).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS)
    {
        ::DeleteFileW(temporary.c_str());
        return error;
    }
    journal.Close();
    ::DeleteFileW(journalPath.c_str());
    return ERROR_SUCCESS;
}
