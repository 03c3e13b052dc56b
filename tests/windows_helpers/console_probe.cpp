// console_probe.exe REPORT_FILE ACTION [ARGUMENTS...]: a Windows program for the server to
// launch in tests. It writes what it finds about itself and its console to REPORT_FILE, as
// "name=value" lines (written whole: a temporary file renamed into place), and does its action:
//   exit       ends at once;
//   sleep      waits up to 60 seconds to be ended;
//   keys       first types on its console's keyboard, as a user at a Windows console would, the
//              keys a terminal under wine cannot deliver: Ctrl+C, Esc, an arrow key (no
//              character) and "z";
//   census     ARGUMENTS are process ids: reports each as running or ended ("process_ID=...")
//              and then ends the ones still running, the tests' clean-up.
//
// The report: pid (the Windows process id), command_line (GetCommandLineA, whole), console (yes
// when the program has a console), console_mode (the input mode of that console, in
// hexadecimal), title (the console's title), window (yes when the console has a window of its
// own).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Each process's state, and then the running ones ended.
std::string census(int count, char** ids) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        DWORD id = static_cast<DWORD>(std::strtoul(ids[i], nullptr, 10));
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
        bool running = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        text += std::string("process_") + ids[i] + "=" + (running ? "running" : "ended") + "\n";
        if (running) TerminateProcess(process, 0);
        if (process) CloseHandle(process);
    }
    return text;
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
    text += std::string("command_line=") + GetCommandLineA() + "\n";
    text += std::string("console=") + (console ? "yes" : "no") + "\n";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(mode));
    text += std::string("console_mode=") + (console ? hex : "none") + "\n";
    text += std::string("title=") + title + "\n";
    HWND window = GetConsoleWindow();
    text += std::string("window=") + (window ? "yes" : "no") + "\n";
    if (action == "census") text += census(argc - 3, argv + 3);

    std::string part = std::string(report) + ".part";
    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!MoveFileExA(part.c_str(), report, MOVEFILE_REPLACE_EXISTING)) return 4;

    if (action == "sleep") Sleep(60000);
    return 0;
}
