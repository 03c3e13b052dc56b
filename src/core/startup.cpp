// Start-up, the options, the connection loop and the shutdown.
#include <cstring>

#include "core/connection.h"
#include "core/console_state.h"
#include "core/startup.h"
#include "core/usage.h"
#include "input/input.h"
#include "notify/notify.h"

namespace {

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void write_text(const char* text) {
    platform::write_stdout(text, std::strlen(text));
}

}  // namespace

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
    quiet_loss.store(options.quiet_loss ? 1 : 0);
    command_line_length = options.command_line_length;
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
        if (link_state.load() > 0 && !notifier_thread.load() && !user_cancelled.load()) {
            notifier_thread.store(start_thread(retry_notifier));
        }
        platform::sleep_ms(500);
    } while (!command_mode() && link_state.load() > 0 && !user_cancelled.load());

    platform::thread_stop(input_thread);
    stop_notifier();
    if (!command_mode()) platform::detach_console();
    return process_exit_status(exit_code.load());
}
