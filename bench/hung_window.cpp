// A top-level window whose thread stops taking messages as soon as the window exists: the
// receiver that a settings broadcast has to give up on. Ends after 30 seconds.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = instance;
    window_class.lpszClassName = "HungWindow";
    (void)RegisterClassA(&window_class);
    if (CreateWindowExA(0, window_class.lpszClassName, "hung", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                        nullptr, nullptr, instance, nullptr) == nullptr)
        return 1;
    Sleep(30000);
    return 0;
}
