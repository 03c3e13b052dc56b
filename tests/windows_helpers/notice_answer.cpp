// notice_answer.exe CAPTION retry|cancel: answers the console's notice for the tests, as a user
// pressing one of its buttons would. It waits for a shown message box with this caption, presses
// the button (the box's dialog gets the button's command, as from a click), and waits until
// that box has gone. Pressing the button through the box itself, not through the X display's
// keyboard focus, keeps the answer from depending on which window the display lets have the
// focus on a loaded machine; and waiting for that one box, not for any box with the caption,
// keeps the answer apart from the next notice, which Retry brings a second later.
//
// Exit status: 0 answered and gone; 1 no such box within the wait; 2 the box has no such button;
// 3 the box stayed; 4 bad arguments.
#include <windows.h>

#include <cstring>

namespace {

constexpr DWORD WAIT_MS = 30000;
constexpr DWORD POLL_MS = 50;
// A press posted before the box runs its own loop waits in its queue; it is pressed again after
// this long all the same.
constexpr DWORD PRESS_AGAIN_MS = 2000;

HWND shown_box(const char* caption) {
    HWND box = FindWindowA("#32770", caption);
    return box && IsWindowVisible(box) ? box : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 4;
    int button = std::strcmp(argv[2], "retry") == 0    ? IDRETRY
                 : std::strcmp(argv[2], "cancel") == 0 ? IDCANCEL
                                                       : 0;
    if (button == 0) return 4;

    HWND box = nullptr;
    for (DWORD waited = 0; !(box = shown_box(argv[1])); waited += POLL_MS) {
        if (waited >= WAIT_MS) return 1;
        Sleep(POLL_MS);
    }
    HWND control = GetDlgItem(box, button);
    if (!control) return 2;
    for (DWORD waited = 0; IsWindow(box); waited += POLL_MS) {
        if (waited >= WAIT_MS) return 3;
        if (waited % PRESS_AGAIN_MS == 0)
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(control));
        Sleep(POLL_MS);
    }
    return 0;
}
