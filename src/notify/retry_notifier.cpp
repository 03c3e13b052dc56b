// The retry notifier: while the console has no session and wants one, a Retry/Cancel notice
// says why, and Cancel gives up.
#include "core/console_state.h"
#include "notify/notify.h"
#include "platform/platform.h"

namespace {

// Retry puts the notice away for this long; the connection loop goes on trying meanwhile.
constexpr unsigned RETRY_PAUSE_MS = 1000;

// The message for the state the last attempt left, while the notice is up.
const char* current_message() {
    return retry_message(settled_link_state.load());
}

}  // namespace

const char* retry_message(std::int32_t state) {
    switch (state) {
        case LINK_BOUND:
            return "Unable to connect";
        case LINK_ADDRESSED:
            return "Lost connection";
        default:
            return nullptr;
    }
}

void retry_notifier() {
    while (!command_mode() || link_state.load() == LINK_BOUND) {
        // The message follows the state, read afresh for every notice and while it is up. Only
        // the two retry states have one; in any other state the notifier waits for the next.
        const char* message = current_message();
        if (message) {
            int answer = notify_user(message, platform::NOTICE_RETRY, current_message);
            if (answer == platform::ANSWER_STOPPED || platform::thread_stopping()) return;
            if (answer == platform::ANSWER_CANCEL) {
                // The connection loop and the attempt under way honour this, so the cancel
                // holds whatever the attempt does to link_state afterwards; an attempt that is
                // waiting on a connect or a host name lookup gives up at once.
                user_cancelled.store(1);
                platform::interrupt_main_wait();
                break;
            }
        }
        if (!platform::sleep_ms(RETRY_PAUSE_MS)) return;
    }
    link_state.store(LINK_IDLE);
}
