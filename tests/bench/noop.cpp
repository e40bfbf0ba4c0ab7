// A do-nothing GUI program: the floor against which the tool's start-up is measured.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
