/* Keeps Wine's desktop in use for a whole test run: a message-only window
 * and its message loop, until the process is ended. Wine closes a desktop
 * soon after the last program using it has ended and starts it anew for the
 * next one; a program that attaches while it closes cannot create windows
 * (ERROR_INVALID_WINDOW_HANDLE), and the desktop process started by a test
 * holds that test's output. scripts/test-wow64.sh starts this program, with
 * its output elsewhere, before the suite. */
#include <windows.h>

int main(void) {
    MSG msg;
    HWND window = CreateWindowExA(0, "STATIC", "kq-desktop-keeper", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  NULL, GetModuleHandleA(NULL), NULL);
    if (window == NULL) {
        return 1;
    }
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    return 0;
}
