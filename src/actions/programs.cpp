// The programs the server may start: the user's VELDRIN_PROGRAMS, or the administrator's file,
// read once at start-up; the launch asks launch_allowed before it starts anything.
#include <cstring>

#include "actions/actions.h"
#include "platform/common/harmless_text.h"
#include "platform/platform.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Adds an entry of length bytes; false when the list cannot hold it.
bool add_entry(ProgramList* list, std::size_t* used, const char* entry, std::size_t length) {
    if (length == 0) return true;
    if (list->count == PROGRAM_LIST_ENTRIES_MAX || *used + length + 1 > sizeof list->text) {
        return false;
    }
    list->entries[list->count++] = static_cast<std::uint16_t>(*used);
    std::memcpy(list->text + *used, entry, length);
    list->text[*used + length] = '\0';
    *used += length + 1;
    return true;
}

void refuse_all(ProgramList* list) {
    list->any = false;
    list->count = 0;
}

// "*" alone allows any program, "none" alone none.
void settle(ProgramList* list) {
    list->any = false;
    if (list->count != 1) return;
    const char* only = list->text + list->entries[0];
    if (std::strcmp(only, "*") == 0) list->any = true;
    if (std::strcmp(only, "none") == 0) list->count = 0;
}

bool has_directory(const char* name, bool windows_names) {
    for (; *name != '\0'; ++name) {
        if (*name == '/' || (windows_names && (*name == '\\' || *name == ':'))) return true;
    }
    return false;
}

// The length of a Windows name without a final ".exe" in any case.
std::size_t without_exe(const char* name) {
    std::size_t length = std::strlen(name);
    if (length < 4) return length;
    const char* tail = name + length - 4;
    bool exe = tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'x' &&
               (tail[3] | 0x20) == 'e';
    return exe ? length - 4 : length;
}

char windows_fold(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c == '/' ? '\\' : c;
}

ProgramList program_list;
// What the list came from, for the line that reports a refusal.
char program_list_source[1024];

// One line on standard error naming the refused program, its control characters made harmless
// so that it stays one line.
void report_refusal(const char* program) {
    static const char HEAD[] = "Program not allowed by ";
    static char line[sizeof HEAD + sizeof program_list_source + LAUNCH_PROGRAM_MAX + 4];
    std::size_t length = 0;
    auto put = [&length](const char* text, std::size_t text_length) {
        std::memcpy(line + length, text, text_length);
        length += text_length;
    };
    put(HEAD, sizeof HEAD - 1);
    put(program_list_source, std::strlen(program_list_source));
    put(": ", 2);
    std::size_t program_length = std::strlen(program);
    std::size_t room = LAUNCH_PROGRAM_MAX;
    length += platform::output_wants_utf8()
                  ? platform::copy_harmless_utf8(line + length, room, program, program_length)
                  : platform::copy_harmless(line + length, room, program, program_length);
    put("\n", 1);
    platform::write_stderr(line, length);
}

}  // namespace

void parse_program_setting(const char* value, char separator, ProgramList* list) {
    list->count = 0;
    std::size_t used = 0;
    for (const char* item = value;;) {
        const char* end = std::strchr(item, separator);
        std::size_t length = end ? static_cast<std::size_t>(end - item) : std::strlen(item);
        if (!add_entry(list, &used, item, length)) return refuse_all(list);
        if (!end) break;
        item = end + 1;
    }
    settle(list);
}

void parse_program_file(const char* text, std::size_t length, ProgramList* list) {
    list->count = 0;
    std::size_t used = 0;
    std::size_t at = 0;
    while (at < length) {
        const char* line = text + at;
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', length - at));
        std::size_t line_length = newline ? static_cast<std::size_t>(newline - line) : length - at;
        at += line_length + 1;
        std::size_t start = 0;
        while (start < line_length && is_blank(line[start])) ++start;
        std::size_t end = start;
        while (end < line_length &&
               !(line[end] == '#' && (end == start || is_blank(line[end - 1])))) {
            ++end;
        }
        while (end > start && is_blank(line[end - 1])) --end;
        if (!add_entry(list, &used, line + start, end - start)) return refuse_all(list);
    }
    settle(list);
}

bool program_matches(const char* entry, const char* program, bool windows_names) {
    if (*entry == '\0' || *program == '\0') return false;
    if (has_directory(entry, windows_names) != has_directory(program, windows_names)) return false;
    if (!windows_names) return std::strcmp(entry, program) == 0;
    std::size_t length = without_exe(entry);
    if (without_exe(program) != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (windows_fold(entry[i]) != windows_fold(program[i])) return false;
    }
    return true;
}

bool program_allowed(const ProgramList& list, const char* program, bool windows_names) {
    if (list.any) return true;
    for (int i = 0; i < list.count; ++i) {
        if (program_matches(list.text + list.entries[i], program, windows_names)) return true;
    }
    return false;
}

void start_program_list() {
    if (const char* value = platform::environment_value(PROGRAMS_VARIABLE)) {
        std::strcpy(program_list_source, PROGRAMS_VARIABLE);
        parse_program_setting(value, platform::PROGRAM_NAMING.list_separator, &program_list);
        return;
    }
    refuse_all(&program_list);
    if (!platform::programs_file_name(program_list_source, sizeof program_list_source)) {
        std::strcpy(program_list_source, "the administrator's list");
        return;
    }
    platform::FileHandle file = platform::file_open_read(program_list_source);
    if (file == platform::NO_FILE) {
        // No file: the administrator set nothing. One that is there but cannot be read allows
        // nothing.
        if (platform::file_missing(program_list_source)) program_list.any = true;
        return;
    }
    // One byte more than a list holds: a longer file is told apart and refuses every program.
    static char contents[PROGRAM_LIST_TEXT_MAX + 1];
    long length = platform::file_read(file, contents, sizeof contents);
    platform::file_close(file);
    if (length < 0 || static_cast<std::size_t>(length) > PROGRAM_LIST_TEXT_MAX) return;
    parse_program_file(contents, static_cast<std::size_t>(length), &program_list);
}

bool launch_allowed(char* command, std::size_t capacity) {
    if (program_list.any) return true;
    static char program[LAUNCH_PROGRAM_MAX];
    // A command that names no program starts nothing, as without a list.
    if (!platform::command_program(command, capacity, program, sizeof program)) return false;
    if (program_allowed(program_list, program, platform::PROGRAM_NAMING.windows_names)) return true;
    if (!platform::stderr_is_console()) report_refusal(program);
    return false;
}
