// Helpers for tests that set real state up in the sandbox: files on its
// drives, registry keys, byte texts.
#pragma once
#include <windows.h>
#include <string>

namespace testing_util {

// Writes the bytes to the file (created or truncated); true on success.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Deletes a folder and everything below it (attributes cleared first).
void RemoveTree(const std::wstring& path);
// The stick E:\ as tests plant it: emptied (its label file kept), a folder
// or a file made in its root with the given attributes. Names go in the
// long form, so that they may end in a blank or a dot.
void EmptyStick();
bool MakeStickFolder(const std::wstring& name, DWORD attributes = 0);
bool MakeStickFile(const std::wstring& name, const std::string& bytes, DWORD attributes = 0);
// Creates the folders of a file path (the test's own, independent of the
// program's helper).
void CreateDirectoryChainForTests(const std::wstring& filePath);
// Runs the program with the arguments, its standard output and error going
// to the file `output` (replaced); its exit code, or DWORD(-1) when it did not
// start or end within `milliseconds` (it is ended then).
DWORD RunWithOutput(const std::wstring& program, const std::wstring& arguments, const std::wstring& output,
                    DWORD milliseconds);
// A minimal executable image of `size` bytes: MZ, a PE offset, "PE".
std::string TinyImage(size_t size);
// A shortcut saved through the system's shell link object (COM initialised
// on the thread): its target path and arguments. True when saved.
bool SaveShortcut(const std::wstring& path, const std::wstring& target, const std::wstring& arguments);
// "CE B4 B7 A2" -> the bytes, for stating GBK texts independently of the
// compiler's execution character set.
std::string Hex(const char* spaced);

// Whether the sandbox's Wine runs 32-bit programs (the scripts say so in
// STICKMEDIC_WINE32; true where nobody said otherwise). Without them a
// 64-bit prefix has stand-ins in SysWOW64 and no 32-bit class keys of its own.
bool ThirtyTwoBitProgramsRun();

}  // namespace testing_util

namespace testing_util {

// Registry state for tests: keys are created as needed. `view` is or-ed into
// every access (KEY_WOW64_64KEY or KEY_WOW64_32KEY; 0: the test's own view).
bool SetRegValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                 DWORD bytes, REGSAM view = 0);
bool SetRegText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text,
                DWORD type = REG_SZ, REGSAM view = 0);
bool SetRegDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value, REGSAM view = 0);
// The raw value: text without expansion, and its type. False when missing.
bool GetRegText(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& text, DWORD* type = NULL,
                REGSAM view = 0);
bool GetRegDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& value, REGSAM view = 0);
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0);
// A registry link at root\path to `target`, a kernel name such as
// \REGISTRY\MACHINE\SOFTWARE\x (volatile: gone at the next start).
bool CreateRegistryLink(HKEY root, const std::wstring& path, const std::wstring& target);
// Waits (bounded) for a key that a registry editor started on its own
// writes; whether it came.
bool WaitForKey(HKEY root, const std::wstring& path);
bool CreateKey(HKEY root, const std::wstring& path, REGSAM view = 0);
void DeleteKey(HKEY root, const std::wstring& path, REGSAM view = 0);  // with all below it

// Whether the sandbox's Wine runs 32-bit programs (the scripts say so in
// STICKMEDIC_WINE32; true where nobody said otherwise). Without them a
// 64-bit prefix has stand-ins in SysWOW64 and no 32-bit class keys of its own.
bool ThirtyTwoBitProgramsRun();

}  // namespace testing_util
