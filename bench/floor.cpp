// The floor: a windowed program that does nothing but have USER32 loaded, as every program
// that can show a box or send a broadcast does. Built a second time with FLOOR_JOINS_DESKTOP,
// it also makes the one call that ties the process to the desktop, which any broadcast needs
// first and which Wine makes costly: it shows what the toggle's own work adds beyond that.
#include <windows.h>

// Binding one import is what loads USER32; calling it is not needed.
extern "C" __attribute__((used)) const void* const kUser32Import = reinterpret_cast<const void*>(&MessageBoxA);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
#ifdef FLOOR_JOINS_DESKTOP
    (void)GetDesktopWindow();
#endif
    return 0;
}
