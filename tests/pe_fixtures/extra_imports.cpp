// The toggle's calls and three more: the binary check must name each one it was not given.
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HKEY key = nullptr;
    BYTE value[4] = {};
    DWORD size = sizeof value;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software", &key) == ERROR_SUCCESS) {
        (void)RegQueryValueExA(key, "x", nullptr, nullptr, value, &size);
        (void)RegSetValueExA(key, "x", 0, REG_SZ, value, size);
        (void)RegCloseKey(key);
    }
    (void)MessageBoxA(nullptr, "x", "x", MB_OK);
    DWORD_PTR answer = 0;
    (void)SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_ABORTIFHUNG, 1, &answer);
    (void)SendMessageA(HWND_BROADCAST, WM_WININICHANGE, 0, 0);
    (void)CloseHandle(CreateFileA("x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    (void)ShellExecuteA(nullptr, "open", "x", nullptr, nullptr, SW_SHOW);
    return 0;
}
