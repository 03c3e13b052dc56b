// Starting and ending programs on Windows: command_program, process_create and
// process_terminate.
//
// The command text is the program's command line, whole: Windows hands it to the program as it
// stands, and the program splits it. The console keeps the process handle of the one program it
// remembers and closes every other handle at once; ending that program goes through the kept
// handle, so an id that the system has since given to another process is never hit.
#include <cstring>

#include "internal.h"

namespace platform {

namespace {

// The most a command line can be: a command comes from one receive chunk, in the server's code
// page as Windows takes it, and even with its first word quoted (command_program) it fits.
constexpr std::size_t COMMAND_CAPACITY = RECEIVE_CHUNK;

// The remembered program. process_create and process_terminate run on the main thread only.
HANDLE held_process = nullptr;

// The creation flags that mean something for a program the console starts. The rest are left
// out: EXTENDED_STARTUPINFO_PRESENT would have Windows read a larger start-up block than the
// one given, the debugging flags would tie the program's life to the console's,
// CREATE_SUSPENDED would start a program that never runs, and the protected-process and job
// flags fail or do nothing useful here. No environment is passed, so
// CREATE_UNICODE_ENVIRONMENT has nothing to describe.
constexpr DWORD MEANINGFUL_FLAGS =
    DETACHED_PROCESS | CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW |
    CREATE_DEFAULT_ERROR_MODE | CREATE_BREAKAWAY_FROM_JOB | IDLE_PRIORITY_CLASS |
    BELOW_NORMAL_PRIORITY_CLASS | NORMAL_PRIORITY_CLASS | ABOVE_NORMAL_PRIORITY_CLASS |
    HIGH_PRIORITY_CLASS | REALTIME_PRIORITY_CLASS;

}  // namespace

const ProgramNaming PROGRAM_NAMING = {';', true};

bool command_program(char* command, std::size_t capacity, char* program,
                     std::size_t program_capacity) {
    // CreateProcess takes a quoted first word as the program's name, whole. An unquoted one ends
    // at the first blank, but when no program has that name CreateProcess goes on to the next
    // blank, and the next: the word is quoted, so that it alone is tried.
    const char* word = command;
    std::size_t length = 0;
    bool quoted = command[0] == '"';
    if (quoted) {
        ++word;
        const char* end = std::strchr(word, '"');
        if (!end) return false;
        length = static_cast<std::size_t>(end - word);
    } else {
        length = std::strcspn(command, " \t");
        // A quote inside the word leaves its end to the program's own reading.
        if (std::memchr(command, '"', length)) return false;
    }
    if (length == 0 || length >= program_capacity) return false;
    std::memcpy(program, word, length);
    program[length] = '\0';
    if (quoted) return true;
    std::size_t total = std::strlen(command);
    if (total + 3 > capacity) return false;
    std::memmove(command + length + 2, command + length, total - length + 1);
    std::memmove(command + 1, command, length);
    command[0] = '"';
    command[length + 1] = '"';
    return true;
}

namespace {

// The console's own start-up information with the new title. Standard handles are not passed
// on (nothing is inherited), nor is the runtime's private block of inherited files.
template <typename Startup, typename Text>
void prepare_startup(Startup* startup, Text* title) {
    startup->cb = sizeof *startup;
    startup->lpTitle = title;
    startup->dwFlags &= ~static_cast<DWORD>(STARTF_USESTDHANDLES);
    startup->hStdInput = startup->hStdOutput = startup->hStdError = nullptr;
    startup->cbReserved2 = 0;
    startup->lpReserved2 = nullptr;
    startup->lpReserved = nullptr;
}

// The program started with its command line and title in UTF-16, from the UTF-8 that a
// console that converts is given.
bool create_wide(char* command_line, const char* title, DWORD flags, PROCESS_INFORMATION* created) {
    static wchar_t wide_command[COMMAND_CAPACITY];
    static wchar_t wide_title[COMMAND_CAPACITY];
    if (MultiByteToWideChar(CP_UTF8, 0, command_line, -1, wide_command, COMMAND_CAPACITY) <= 0 ||
        MultiByteToWideChar(CP_UTF8, 0, title, -1, wide_title, COMMAND_CAPACITY) <= 0)
        return false;
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    prepare_startup(&startup, wide_title);
    return CreateProcessW(nullptr, wide_command, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                          &startup, created);
}

}  // namespace

bool process_create(const char* command, const char* title, std::uint32_t flags, bool remember) {
    // CreateProcessA may write into its command line: it gets a copy.
    char command_line[COMMAND_CAPACITY];
    std::size_t length = std::strlen(command);
    if (length == 0 || length >= sizeof command_line) return false;
    std::memcpy(command_line, command, length + 1);

    PROCESS_INFORMATION created{};
    DWORD creation = flags & MEANINGFUL_FLAGS;
    if (windows::console_converts) {
        if (!create_wide(command_line, title, creation, &created)) return false;
    } else {
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        prepare_startup(&startup, const_cast<char*>(title));
        if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, creation, nullptr,
                            nullptr, &startup, &created))
            return false;
    }
    CloseHandle(created.hThread);
    if (!remember) {
        CloseHandle(created.hProcess);
        return true;
    }
    if (held_process) CloseHandle(held_process);
    held_process = created.hProcess;
    return true;
}

bool process_terminate() {
    // A program that has already ended is left alone (its id may be someone else's now).
    if (!held_process || WaitForSingleObject(held_process, 0) != WAIT_TIMEOUT) return false;
    return TerminateProcess(held_process, 0) != 0;
}

}  // namespace platform
