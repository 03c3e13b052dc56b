// console_probe.exe REPORT_FILE exit|sleep|keys|break [ARGUMENTS...]: a Windows program for the
// server to launch in tests. It writes what it finds about itself and its console to REPORT_FILE,
// as "name=value" lines (written whole: a temporary file renamed into place), then:
//   exit   ends at once;
//   sleep  waits up to 60 seconds to be ended;
//   keys   first types on its console's keyboard, as a user at a Windows console would, the
//          keys a terminal under wine cannot deliver: Ctrl+C, Esc, an arrow key (no
//          character) and "z";
//   break  sends Ctrl+Break to every program on its console, as the user pressing it would.
//
// The report: pid (the Windows process id), unix_pid (the process under wine, read from
// /proc/self/stat through wine's Z: drive; "none" elsewhere), command_line (GetCommandLineA,
// whole), console (yes when the program has a console), console_mode (the input mode of that
// console, in hexadecimal), title (the console's title), inherited (the standard handles it
// holds that are not its console's: "none" when nothing was inherited).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string unix_pid() {
    HANDLE stat = CreateFileA("Z:\\proc\\self\\stat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (stat == INVALID_HANDLE_VALUE) return "none";
    char text[64] = {};
    DWORD got = 0;
    ReadFile(stat, text, sizeof text - 1, &got, nullptr);
    CloseHandle(stat);
    std::string pid;
    for (DWORD i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) pid += text[i];
    return pid.empty() ? "none" : pid;
}

// The standard handles that are files or pipes rather than the console's own.
std::string inherited_handles() {
    std::string found;
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    const char* names[] = {"stdin", "stdout", "stderr"};
    for (int i = 0; i < 3; ++i) {
        HANDLE handle = GetStdHandle(streams[i]);
        if (!handle || handle == INVALID_HANDLE_VALUE) continue;
        DWORD type = GetFileType(handle);
        if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
            if (!found.empty()) found += ",";
            found += names[i];
        }
    }
    return found.empty() ? "none" : found;
}

void type_keys(HANDLE input) {
    struct Key {
        WORD virtual_key;
        char character;
        DWORD control;
    };
    const Key keys[] = {
        {'C', 3, LEFT_CTRL_PRESSED}, {VK_ESCAPE, 27, 0}, {VK_UP, 0, ENHANCED_KEY}, {'Z', 'z', 0}};
    INPUT_RECORD records[2 * sizeof keys / sizeof *keys] = {};
    int count = 0;
    for (const Key& key : keys) {
        for (BOOL down : {TRUE, FALSE}) {
            INPUT_RECORD& record = records[count++];
            record.EventType = KEY_EVENT;
            record.Event.KeyEvent.bKeyDown = down;
            record.Event.KeyEvent.wRepeatCount = 1;
            record.Event.KeyEvent.wVirtualKeyCode = key.virtual_key;
            record.Event.KeyEvent.uChar.AsciiChar = key.character;
            record.Event.KeyEvent.dwControlKeyState = key.control;
        }
    }
    DWORD written = 0;
    WriteConsoleInputA(input, records, static_cast<DWORD>(count), &written);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const char* report = argv[1];
    std::string action = argv[2];

    HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    bool console = input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
    char title[1024] = "";
    if (console) GetConsoleTitleA(title, sizeof title);
    if (console && action == "keys") type_keys(input);

    std::string text = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    text += "unix_pid=" + unix_pid() + "\n";
    text += std::string("command_line=") + GetCommandLineA() + "\n";
    text += std::string("console=") + (console ? "yes" : "no") + "\n";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(mode));
    text += std::string("console_mode=") + (console ? hex : "none") + "\n";
    text += std::string("title=") + title + "\n";
    text += "inherited=" + inherited_handles() + "\n";

    std::string part = std::string(report) + ".part";
    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!MoveFileExA(part.c_str(), report, MOVEFILE_REPLACE_EXISTING)) return 4;

    if (action == "sleep") Sleep(60000);
    if (action == "break") GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0);
    return 0;
}
