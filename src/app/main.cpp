#include "app/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::exit_process(console_main(argc, const_cast<const char* const*>(argv)));
}
