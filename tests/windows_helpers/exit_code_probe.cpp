// exit_code_probe.exe [--new-console] COMMAND...: runs the command (in a console of its own with
// --new-console) (its words joined by spaces, handles
// inherited), waits for it, writes "exit code N" with its full 32-bit exit code to standard
// error and ends with the same code. Under wine a Linux parent sees only the low byte of a
// Windows exit code; the tests read the whole of it through this probe.
//
// It also stands for the shell a console program shares its console with: it writes the
// console's input mode and title as it found them before the command ran ("before mode M title
// T") and as the command left them ("after mode M title T"), and, as a shell does, outlives
// a Ctrl+Break that ends the command. With PROBE_CODE_PAGE=N in its environment it first sets
// the console's code pages to N, as chcp does.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

BOOL WINAPI stay(DWORD) {
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    SetConsoleCtrlHandler(stay, TRUE);
    if (const char* code_page = std::getenv("PROBE_CODE_PAGE")) {
        SetConsoleOutputCP(static_cast<UINT>(std::atoi(code_page)));
        SetConsoleCP(static_cast<UINT>(std::atoi(code_page)));
    }
    DWORD flags = 0;
    if (argc > 1 && std::strcmp(argv[1], "--new-console") == 0) {
        flags = CREATE_NEW_CONSOLE;
        --argc;
        ++argv;
    }
    static char command[32768];
    std::size_t used = 0;
    for (int i = 1; i < argc; ++i) {
        std::size_t length = std::strlen(argv[i]);
        if (used + length + 2 >= sizeof command) return 125;
        if (i > 1) command[used++] = ' ';
        std::memcpy(command + used, argv[i], length);
        used += length;
    }
    command[used] = '\0';
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    auto describe = [input](const char* when) {
        DWORD mode = 0;
        char title[1024] = "";
        if (!GetConsoleMode(input, &mode)) return;
        GetConsoleTitleA(title, sizeof title);
        std::fprintf(stderr, "%s mode %lx title %s\n", when, static_cast<unsigned long>(mode),
                     title);
        std::fflush(stderr);
    };
    describe("before");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        &process))
        return 126;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    describe("after");
    std::fprintf(stderr, "exit code %lu\n", static_cast<unsigned long>(code));
    std::fflush(stderr);
    ExitProcess(code);
}
