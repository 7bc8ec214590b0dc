// The registry half of a quarantine. Before a registry change is made, the
// block of a registry script that puts back what it destroys is appended to
// "before.blocks" in the quarantine's folder, once, in the order of the
// changes: a change whose block is not on disk is not made. When the scan is
// over (or, after a scan that was cut short, when /restore needs it) the
// blocks are composed into "before.reg", latest change first, so importing
// it leaves every value as it was before the first change. The script is
// written under a temporary name and put in place whole; the blocks go only
// then. Nothing is rewritten in place and nothing is held in memory but one
// block at a time.
//
// before.blocks is UTF-16 without byte-order mark; each block is preceded by
// a comment line ";block <20 digits>" giving its length in bytes, so the
// blocks are walked without reading them, and a block cut short by a scan
// that ended mid-write is left out.
#pragma once
#include <windows.h>

#include <string>

#include "platform/handles.h"

extern const wchar_t kRegistryScriptName[];   // "before.reg"
extern const wchar_t kRegistryJournalName[];  // "before.blocks"

// The bytes one block takes in the journal, its line before it included.
ULONGLONG JournalBytesOf(const std::wstring& block);

// The journal of one scan, open from its first block to Close.
class CRegistryJournal
{
public:
    CRegistryJournal() : m_size(0), m_lastStart(0), m_blocks(0) {}

    // Appends one block to "<folder>before.blocks" (made new with the first
    // one). A block not written whole is cut away again. The Win32 error
    // code (ERROR_SUCCESS when it is on disk).
    DWORD Append(const std::wstring& folder, const std::wstring& block);
    // Cuts the last block away again: its change was not made.
    void DropLast();
    // Closes the journal; the number of blocks it holds.
    DWORD Close();
    DWORD Blocks() const { return m_blocks; }

private:
    CRegistryJournal(const CRegistryJournal&);
    CRegistryJournal& operator=(const CRegistryJournal&);

    CHandle m_file;
    ULONGLONG m_size;
    ULONGLONG m_lastStart;
    DWORD m_blocks;
};

// Composes "<folder>before.reg" from "<folder>before.blocks" (a journal of
// this program's own: never a link or a file with other names), latest
// block first, through "before.reg.tmp"; the journal is deleted once the
// script is in place. ERROR_SUCCESS, also when there is no journal.
DWORD ComposeRegistryScript(const std::wstring& folder);
