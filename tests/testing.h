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
// "CE B4 B7 A2" -> the bytes, for stating GBK texts independently of the
// compiler's execution character set.
std::string Hex(const char* spaced);

}  // namespace testing_util
