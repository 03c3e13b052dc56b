// The controls a chunk's marker names, dispatched to the actions.
#include "actions/actions.h"
#include "app/session.h"
#include "core/console_state.h"

void apply_control(char control, char* argument, std::size_t argument_length) {
    switch (control) {
        case '0':
            link_state.store(LINK_IDLE);
            break;
        case '1':
            raw_keys.store(1);
            break;
        case '2':
            raw_keys.store(0);
            break;
        case '3':
            launch_program(argument, argument_length);
            break;
        case '4':
            end_program();
            break;
        case '5':
            apply_title(argument, argument_length);
            break;
        case '6':
            apply_exit_code(argument);
            break;
        default:
            break;
    }
}
