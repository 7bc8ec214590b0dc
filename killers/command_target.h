// What a command line starts, once every wrapper is taken off: the command
// interpreter and its "start", the DLL runner's entry points that start
// another program, the script hosts and the DLL registrars. A worm hides its
// script behind two or three of them; what it names at the bottom is what
// is judged. Nothing here looks at a file: the answers are the texts.
#pragma once
#include <map>
#include <string>
#include <vector>

// The longest command line Windows starts (CreateProcess's limit); longer
// texts start nothing and are not taken apart.
const size_t kMaxCommandChars = 32767;

// How the innermost command starts its file.
enum TargetKind
{
    kTargetProgram,      // run as a program: .exe, .com, .pif, .scr, or a file of another kind
    kTargetInterpreted,  // read by an interpreter or loaded by a loader, or a script started directly
};

struct CommandTarget
{
    TargetKind kind;
    std::wstring path;  // as written, quotes taken off: may be relative ("shell32", "x.vbs")
    std::wstring host;  // the interpreter or loader in lower case ("wscript.exe"); empty when the
                        // file is started directly
};

// Environment variables by their names folded to upper case.
typedef std::map<std::wstring, std::wstring> VariableMap;

// The text with every %NAME% replaced from `variables`. False when a name is
// unknown (the text is then left as it was) or the result is longer than
// kMaxCommandChars. "%%" and a lone "%" stay as they are.
bool ExpandVariables(const std::wstring& text, const VariableMap& variables, std::wstring& expanded);

// The files the innermost commands of `line` start, in the order they come
// (a line that joins commands with "&" may start more than one). Commands
// that start no file (cmd's own "exit", "echo", a URL, powershell -Command)
// give none. False for an empty line, one longer than kMaxCommandChars, or
// wrappers nested deeper than anyone writes them.
bool InnermostTargets(const std::wstring& line, std::vector<CommandTarget>& targets);

// The file extensions the system hands to an interpreter when such a file is
// started directly.
bool IsScriptFileName(const std::wstring& path);
