// Where the pieces of a launcher shortcut's command line point on the stick
// it lies on: texts only, nothing a piece names is looked at.
#pragma once
#include <string>
#include <vector>

// The pieces of a command line that may name a file: quoted texts whole,
// the rest split at blanks and at the characters that join commands and
// arguments (cmd's "&", rundll32's ",", ...).
void SplitCommandLine(const std::wstring& line, std::vector<std::wstring>& pieces);

// Where a piece of a command line points, seen from the root of a drive.
enum Reach
{
    kElsewhere,  // another drive, the network, a device, a variable, a switch
    kOnDrive,    // "E:\x", "\x", "%~d0\x", "\\?\E:\x"
    kRelative,   // "x", ".\x": the root when started from the stick
};

// The parts of the path below the root of `drive`, "." and ".." worked out
// (never above the root).
Reach Locate(const std::wstring& piece, wchar_t drive, std::vector<std::wstring>& parts);
