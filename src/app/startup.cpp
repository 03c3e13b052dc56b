// Start-up, the options, the connection loop and the shutdown.
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "app/connection.h"
#include "app/session.h"
#include "app/startup.h"
#include "app/usage.h"
#include "core/console_state.h"
#include "input/input.h"
#include "notify/notify.h"
#include "text/codepage.h"

namespace {

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void write_text(const char* text) {
    platform::write_stdout(text, std::strlen(text));
}

void write_error(const char* first, const char* second, const char* third) {
    for (const char* text : {first, second, third}) platform::write_stderr(text, std::strlen(text));
}

}  // namespace

bool start_code_page() {
    const char* setting = platform::environment_value(CODE_PAGE_VARIABLE);
    unsigned number = 0;
    CodePageStart started = start_server_code_page(setting, &number);
    if (started == CODE_PAGE_STARTED) return true;
    char named[16];
    std::snprintf(named, sizeof named, "%u", number);
    write_error("Unknown code page ", setting != nullptr && *setting != '\0' ? setting : named,
                started == CODE_PAGE_UNUSABLE ? ": only code pages of one byte a character, "
                                                "ASCII below 128, are known\n"
                                              : "\n");
    return false;
}

bool start_keep_alive() {
    const char* setting = platform::environment_value(KEEP_ALIVE_VARIABLE);
    if (parse_keep_alive_setting(setting, &keep_alive_seconds)) return true;
    write_error("Invalid VELDRIN_KEEPALIVE ", setting,
                ": give seconds from 2 to 3600, or 0 to leave the system's settings\n");
    return false;
}

void parse_options(int argc, const char* const* argv, char* line, std::size_t capacity,
                   ConsoleOptions* options) {
    *options = ConsoleOptions{};
    options->directory = "";
    if (capacity == 0) return;
    line[0] = '\0';

    // Only the first argument can be an option; its first two bytes decide which.
    int first_command_argument = 1;
    if (argc >= 2) {
        const char* first = argv[1];
        if (first[0] == '-') {
            first_command_argument = 2;
            if (first[1] == 'p') {
                options->change_directory = true;
                options->directory = first + 2;
            } else if (first[1] == 'C') {
                options->quiet_loss = true;
            }
        }
    }

    // The command line is the arguments joined by single spaces; the command text starts where
    // the first argument after the program name and the option word starts.
    std::size_t length = 0;
    std::size_t command_start = 0;
    for (int i = 0; i < argc; ++i) {
        std::size_t piece = std::strlen(argv[i]);
        std::size_t needed = piece + (i > 0 ? 1 : 0);
        if (length + needed >= capacity) {
            options->command_line_too_long = true;
            line[length] = '\0';
            options->command_line_length = length;
            return;
        }
        if (i > 0) line[length++] = ' ';
        if (i == first_command_argument) command_start = length;
        std::memcpy(line + length, argv[i], piece);
        length += piece;
    }
    line[length] = '\0';
    options->command_line_length = length;

    // Command text needs at least one character other than white space.
    if (command_start == 0) return;
    for (std::size_t i = command_start; i < length; ++i) {
        if (!is_white_space(line[i])) {
            options->command_offset = static_cast<std::int32_t>(command_start);
            return;
        }
    }
}

int process_exit_status(std::uint32_t code) {
    return platform::exit_status(code);
}

int console_main(int argc, const char* const* argv) {
    // Answered before the console touches the terminal, so the text is all that is written.
    if (const char* text = requested_information(argc, argv)) {
        write_text(text);
        return 0;
    }
    if (!start_code_page() || !start_keep_alive()) return 1;
    const char* escape_setting = platform::environment_value(ESCAPE_VARIABLE);
    int escape = parse_escape_setting(escape_setting);
    if (escape < 0) {
        write_error("Unknown escape character ", escape_setting,
                    ": one printable character other than the space and '.', or none\n");
        return 1;
    }
    escape_character = static_cast<char>(escape);
    start_program_list();
    platform::sockets_start();
    console_input = platform::standard_input();
    platform::console_start();
    set_console_window();

    static ConsoleOptions options;
    parse_options(argc, argv, command_line, COMMAND_LINE_SIZE, &options);
    if (options.change_directory && !platform::change_directory(options.directory)) {
        platform::OutputPart parts[] = {{"Unable to access directory ", 27},
                                        {options.directory, std::strlen(options.directory)},
                                        {"\n", 1}};
        platform::write_stdout_parts(parts, 3);
        platform::sleep_ms(3000);
        return 1;
    }
    if (options.command_line_too_long) {
        write_text("Command line too long\n");
        return 1;
    }
    quiet_loss = options.quiet_loss;
    command_line_length = options.command_line_length;
    if (converted_code_page != nullptr && options.command_offset != 0) {
        // The command text was typed in the user's UTF-8: the server reads its code page.
        std::size_t offset = static_cast<std::size_t>(options.command_offset);
        char* command = command_line + offset;
        command_line_length = offset + utf8_to_code_page(*converted_code_page, command,
                                                         command_line_length - offset, command);
        command_line[command_line_length] = '\0';
    }
    command_offset.store(options.command_offset);

    platform::ThreadHandle input_thread;
    if (command_mode()) {
        input_thread = start_thread(command_sender);
    } else {
        write_text(BANNER);
        input_thread = start_thread(keyboard_reader);
    }

    platform::sleep_ms(500);
    do {
        attempt_connection();
        settled_link_state.store(link_state.load());
        if (link_state.load() > 0 && !user_cancelled.load()) start_notifier();
        // A user who gave up in interactive mode is not kept waiting.
        if (command_mode() || !user_cancelled.load()) platform::sleep_ms(500);
    } while (!command_mode() && link_state.load() > 0 && !user_cancelled.load());

    platform::thread_stop(input_thread);
    stop_notifier();
    if (!command_mode()) {
        // The user ended it (Cancel, or the escape): the shell's prompt comes on a line of its
        // own, not after the server's last text.
        if (user_cancelled.load()) platform::end_output_line();
        platform::detach_console();
    }
    return process_exit_status(exit_code);
}
