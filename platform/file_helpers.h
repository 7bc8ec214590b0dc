// File-system helpers shared by the cleaning commands and the scan run.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The drive roots ("C:\", "E:\", ...) in the order the system lists them, all
// types included. Any number of drives: a list longer than the first buffer
// is read again into one of the size the system asks for.
std::vector<std::wstring> ListDriveRoots();

// True when the file starts with an MZ header whose PE offset (the 32-bit
// value at byte 60) points to the letters "PE". With isDll, also tells whether
// the image's Characteristics carry IMAGE_FILE_DLL.
bool IsPeImage(const wchar_t* path, bool* isDll = NULL);

// True when the file exists and opens for reading (folders do not).
bool CanOpenForRead(const wchar_t* path);

// Creates every folder along the path up to its last backslash; the part after
// it is taken for a file name. Existing folders are fine. Always true.
bool CreateDirectoryChain(const wchar_t* path);
