// The console window's title and icon on Windows: set_console_title, get_console_title and
// set_console_icon_from_files.
#include <cstring>

#include "internal.h"
#include "platform/common/harmless_text.h"

namespace platform {

namespace {

// The title last set (before any, the one console_start found, cut to fit), which
// get_console_title answers: not the console's own, which a program sharing the console may
// have changed since, and which shows set titles made harmless. The server's title comes in
// one receive chunk.
constexpr std::size_t TITLE_CAPACITY = RECEIVE_CHUNK;
// The main thread alone sets and reads it.
char last_title[TITLE_CAPACITY] = "";

std::size_t copy_text(char* buffer, std::size_t capacity, const char* text) {
    std::size_t length = std::strlen(text);
    if (length > capacity - 1) length = capacity - 1;
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

}  // namespace

namespace windows {

void keep_title_found(const char* title) {
    copy_text(last_title, TITLE_CAPACITY, title);
}

}  // namespace windows

void set_console_title(const char* title) {
    copy_text(last_title, TITLE_CAPACITY, title);
    // A console may hand its title on to the terminal that hosts it: the title is read in the
    // console's code page (UTF-8 where the console converts) and made harmless as a UTF-8
    // terminal's title is (C0, DEL, C1).
    wchar_t wide[TITLE_CAPACITY];
    char utf8[3 * TITLE_CAPACITY];
    char harmless[3 * TITLE_CAPACITY];
    UINT code_page = windows::console_converts ? CP_UTF8 : GetConsoleOutputCP();
    int length = MultiByteToWideChar(code_page, 0, title,
                                     static_cast<int>(strnlen(title, TITLE_CAPACITY - 1)), wide,
                                     TITLE_CAPACITY - 1);
    length = WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8, sizeof utf8, nullptr, nullptr);
    std::size_t kept = copy_harmless_utf8(harmless, sizeof harmless, utf8, length);
    length =
        MultiByteToWideChar(CP_UTF8, 0, harmless, static_cast<int>(kept), wide, TITLE_CAPACITY - 1);
    wide[length] = L'\0';
    SetConsoleTitleW(wide);
}

std::size_t get_console_title(char* buffer, std::size_t capacity) {
    if (capacity == 0) return 0;
    return copy_text(buffer, capacity, last_title);
}

bool set_console_icon_from_files(const char* const* files, int count) {
    // The console's window belongs to the console host, not to any thread of ours, so it is
    // asked for directly; a console with no window (a redirected or detached one) gets no icon.
    HWND window = GetConsoleWindow();
    if (!window) return false;
    HANDLE icon = nullptr;
    for (int i = 0; i < count && !icon; ++i)
        icon = LoadImageA(nullptr, files[i], IMAGE_ICON, 0, 0, LR_LOADFROMFILE);
    if (!icon) icon = LoadIconA(nullptr, MAKEINTRESOURCEA(32517));  // IDI_WINLOGO
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    return true;
}

}  // namespace platform
