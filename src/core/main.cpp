#include "core/console_state.h"

int main(int argc, char** argv) {
    platform::exit_process(console_main(argc, const_cast<const char* const*>(argv)));
}
