// Flips Internet Explorer's "Display Inline Images" option for the current user,
// then tells every top-level window that settings changed.
#include <windows.h>

#include "value_rule.h"

namespace {
constexpr char kKeyPath[] = "SOFTWARE\\Microsoft\\Internet Explorer\\main";
constexpr char kValueName[] = "Display Inline Images";
constexpr UINT kBroadcastTimeoutMs = 5000;
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_CURRENT_USER, kKeyPath, &key) != ERROR_SUCCESS) {
        (void)MessageBoxA(nullptr, "IExplorer not found", "Warning", MB_OK);
        return 0;
    }

    // Cleared, so that a value shorter than four bytes cannot borrow stack bytes to spell "yes".
    ValueBuffer value = {};
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, kValueName, nullptr, nullptr, value, &size) != ERROR_SUCCESS) {
        // Absent, or too long for the buffer: what the read left behind is not the value.
        value[0] = '\0';
    }
    const DWORD length = NextInlineImagesValue(value);
    (void)RegSetValueExA(key, kValueName, 0, REG_SZ, value, length);  // a refused write is not reported
    (void)RegCloseKey(key);

    // Bounded: a plain send would wait for ever on one window that has stopped answering.
    DWORD_PTR answer = 0;
    (void)SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_ABORTIFHUNG,
                              kBroadcastTimeoutMs, &answer);
    return 0;
}
