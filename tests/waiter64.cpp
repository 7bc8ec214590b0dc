// A program that only waits until it is ended: built as x86_64, it stands in
// for a 64-bit script host in the tests of the process sweep.
#include <windows.h>

int main()
{
    ::Sleep(INFINITE);
    return 0;
}
