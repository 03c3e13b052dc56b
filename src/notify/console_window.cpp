// The console window's title and icon at start-up.
#include "core/console_state.h"
#include "notify/notify.h"
#include "platform/platform.h"

void set_console_window() {
    platform::set_console_title(CONSOLE_TITLE);
    platform::sleep_ms(1);
    // The icon files are looked for in the directory the console was started in, in this
    // order; a console with no window of its own (a terminal) takes no icon.
    platform::set_console_icon_from_files(ICON_FILES,
                                          static_cast<int>(sizeof ICON_FILES / sizeof *ICON_FILES));
}
