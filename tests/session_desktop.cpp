// Keeps a test session's desktop up between its programs, as a Windows shell does. Wine closes
// a desktop a second after the last program on it ends; the next one would then wait for a new
// desktop, over ten seconds with an emulated loader, and its run would be timed with it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetDesktopWindow();  // joins the desktop (and starts it if need be); the handle is not needed
    Sleep(INFINITE);     // until the session's end stops every program in it
    return 0;
}
