// A stand-in for the system's format.com in the sandbox, which has none. It
// behaves as the real one does towards StickMedic: its console window
// carries its full path in the title, it prompts and waits for Enter (twice,
// as the real one asks to insert the disk and for a volume label), and it
// records its command line in C:\tests\format-record.txt. With the file
// C:\tests\format-fails present it ends with exit code 1.
#include <windows.h>

#include <cstdio>

namespace {

bool WaitForEnter(HANDLE input)
{
    for (;;)
    {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!::ReadConsoleInputW(input, &record, 1, &read) || read == 0)
            return false;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            (record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN || record.Event.KeyEvent.uChar.UnicodeChar == L'\r'))
            return true;
    }
}

void Record(const wchar_t* line)
{
    HANDLE file = ::CreateFileW(L"C:\\tests\\format-record.txt", FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &written, NULL);
    ::WriteFile(file, L"\n", sizeof(wchar_t), &written, NULL);
    ::CloseHandle(file);
}

}  // namespace

int wmain()
{
    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, self, MAX_PATH);
    ::SetConsoleTitleW(self);
    HANDLE input = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    std::printf("Insert new disk for the drive\nand press ENTER when ready...");
    std::fflush(stdout);
    if (!WaitForEnter(input))
        return 2;
    std::printf("\nVolume label (11 characters, ENTER for none)? ");
    std::fflush(stdout);
    if (!WaitForEnter(input))
        return 2;
    Record(::GetCommandLineW());
    return ::GetFileAttributesW(L"C:\\tests\\format-fails") == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}
