// Functions of system DLLs that not every supported Windows has (XP lacks
// many), looked up at run time so that the program starts everywhere.
#pragma once
#include <windows.h>

// A function of a loaded system DLL, or NULL where this Windows lacks it.
template <class Function>
Function SystemFunction(const wchar_t* module, const char* name)
{
    HMODULE loaded = ::GetModuleHandleW(module);
    return loaded ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(loaded, name))) : NULL;
}
