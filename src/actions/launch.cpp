// Controls 3 and 4: the server starts a program on the console's machine and may later end the
// one it asked the console to remember.
#include "actions/actions.h"

#include <cstdio>
#include <cstring>

#include "text/codepage.h"

bool parse_launch_argument(const char* argument, std::size_t argument_length,
                           LaunchRequest* request) {
    std::size_t limit =
        argument_length < LAUNCH_ARGUMENT_MAX ? argument_length : LAUNCH_ARGUMENT_MAX;
    // sscanf reads up to a NUL: it works on a NUL-ended copy so that it never reads past the
    // text, whatever the caller's buffer holds after it.
    char text[LAUNCH_ARGUMENT_MAX + 1];
    const char* nul = static_cast<const char*>(std::memchr(argument, '\0', limit));
    std::size_t text_length = nul ? static_cast<std::size_t>(nul - argument) : limit;
    std::memcpy(text, argument, text_length);
    text[text_length] = '\0';

    unsigned command_length = 0;
    unsigned flags = 0;
    unsigned title_length = 0;
    int command_offset = -1;
    if (std::sscanf(text, "%3u~%x~%3u~%n", &command_length, &flags, &title_length,
                    &command_offset) != 3 ||
        command_offset < 0) {
        return false;
    }
    std::size_t start = static_cast<std::size_t>(command_offset);
    std::size_t rest = text_length - start;
    if (rest == 0 || rest < command_length) return false;

    std::size_t command_end = start + command_length;
    // The separator follows the command; with no separator left the title is empty.
    std::size_t title_start = command_end < text_length ? command_end + 1 : text_length;
    std::size_t title_room = text_length - title_start;

    request->flags = flags;
    request->command_offset = start;
    request->command_length = command_length;
    request->title_offset = title_start;
    request->title_length = title_length < title_room ? title_length : title_room;
    return true;
}

void launch_program(char* argument, std::size_t argument_length) {
    LaunchRequest request;
    if (!parse_launch_argument(argument, argument_length, &request)) return;

    // The command ends where its separator was and the title after T characters. An end that
    // falls on the end of the argument is already its NUL.
    const char* command = argument + request.command_offset;
    std::size_t command_end = request.command_offset + request.command_length;
    if (command_end < argument_length) argument[command_end] = '\0';
    const char* title = argument + request.title_offset;
    std::size_t title_end = request.title_offset + request.title_length;
    if (title_end < argument_length) argument[title_end] = '\0';

    // The command and the title in the user's character set.
    static char converted_command[utf8_room(LAUNCH_ARGUMENT_MAX)];
    static char converted_title[utf8_room(LAUNCH_ARGUMENT_MAX)];
    command = text_for_user(command, request.command_length, converted_command);
    title = text_for_user(title, request.title_length, converted_title);

    // Only a program the user allows starts; a refused one fails as any launch can.
    static char checked_command[utf8_room(LAUNCH_ARGUMENT_MAX) + 2];
    std::size_t length = std::strlen(command);
    if (length >= sizeof checked_command) return;
    std::memcpy(checked_command, command, length + 1);
    if (!launch_allowed(checked_command, sizeof checked_command)) return;
    command = checked_command;

    bool remember = (request.flags & platform::REMEMBER_CHILD) != 0;
    std::uint32_t creation_flags =
        (request.flags & ~platform::REMEMBER_CHILD) | platform::CREATE_NEW_PROCESS_GROUP;
    platform::process_create(command, title, creation_flags, remember);
}

void end_program() {
    // The platform keeps hold of the program after this: a second control 4 is aimed at the
    // same program again, and ends nothing once that program is gone.
    platform::process_terminate();
}
