// The retry notifier and the console window.
#pragma once

#include <cstdint>

// The icon files, looked for in the working directory in this order.
constexpr const char* ICON_FILES[] = {"VELDRIN.ICO", "ZEPRADBM.ICO", "ZEPRA.ICO"};

void retry_notifier();
// The message for a link_state, or null when the state has none.
const char* retry_message(std::int32_t state);
// The console window's title and icon at start-up.
void set_console_window();
