// crash_probe.exe: the console's Windows backend crashing. It takes the console as veldrin does
// (its start, key mode and a title of its own) and then writes through a null pointer. The
// backend's last-chance handler is to put the console's input mode and title back and end the
// process with the crash's code; exit_code_probe.exe, run as its parent, reports both.
#include "platform/platform.h"

int main() {
    platform::console_start();
    platform::set_console_key_mode(platform::standard_input());
    platform::set_console_title("Crashing");
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
