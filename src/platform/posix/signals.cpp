// The signals that end a process: the terminal is put back first (console_start's promise in
// platform.h that every way out leaves the terminal as found), and a reader of standard output
// that goes away never ends the console. Job control: a stop puts the terminal back before the
// console stops, and a continue sets it up again, in the order the signals came.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

#include "internal.h"
#include "platform/platform.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELDRIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELDRIN_SANITIZED 1
#endif
#endif

namespace platform::posix {

namespace {

void on_ending_signal(int signal_number) {
    int saved_errno = errno;
    restore_terminal();
    // The handler was reset to the default on entry; the signal is blocked until this handler
    // returns, and is then delivered again with its default action.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
    errno = saved_errno;
}

// Installs the handler unless the signal already has one or is ignored (a sanitizer's own
// handler, or SIGHUP ignored under nohup, stays as it is).
void handle_signal(int signal_number) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the handler never returns to a call it interrupted (it ends the process),
    // and a sanitizer that runs handlers late needs the interrupted call to come back.
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
}

// Job control runs on a thread of the backend's own, which takes SIGTSTP and SIGCONT one at a
// time with sigwait: every other thread keeps them blocked, so no handler runs beside another
// or halfway through one, and the system keeps their order (a stop discards a continue not yet
// taken, and a continue a stop). The thread shares only the terminal's state of this backend.
sigset_t job_signals;

// Stops the console as SIGTSTP's default action does, once the terminal is put back, unless a
// continue has come since the stop being obeyed: then it is the continue that holds.
void stop_unless_continued() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    // Pending on this thread, where it is blocked; a continue that comes after this discards it.
    raise(SIGTSTP);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGCONT)) {
        // Came between the stop taken and this one raised: the raised stop is taken back (the
        // thread's own pending signals are taken before the process's).
        timespec none{};
        sigtimedwait(&stop, nullptr, &none);
        return;
    }
    // The console stops here, with the default action, and goes on once continued (or at once
    // when the system discards the stop, for an orphaned process group).
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

void* obey_job_control(void*) {
    for (;;) {
        int signal_number = 0;
        if (sigwait(&job_signals, &signal_number) != 0) continue;
        if (signal_number == SIGTSTP) {
            suspend_terminal();
            stop_unless_continued();
        }
        resume_terminal();
    }
    return nullptr;
}

// Blocks SIGTSTP (when it has its default action: a stop ignored stays ignored) and SIGCONT in
// the calling thread, so in every thread started after it, and starts the thread that obeys
// them. Without a terminal there is nothing to put back, and they keep their default actions.
void start_job_control() {
    if (tty_fd < 0 && !stdin_is_tty) return;
    sigemptyset(&job_signals);
    sigaddset(&job_signals, SIGCONT);
    struct sigaction current {};
    if (sigaction(SIGTSTP, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL) {
        sigaddset(&job_signals, SIGTSTP);
    }
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &job_signals, &previous);
    if (!start_detached_thread(obey_job_control, nullptr))
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

void install_signal_handlers() {
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) handle_signal(signal_number);
    start_job_control();
    // A reader of standard output that goes away (a pipe into head) makes writes fail, which
    // the console ignores like any other output failure: it must not end the console before
    // the server has set its exit status. Launched programs start with the default again.
    ::signal(SIGPIPE, SIG_IGN);
#ifndef VELDRIN_SANITIZED
    // The sanitizers report these themselves; their handlers are left alone.
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        handle_signal(signal_number);
#endif
}

}  // namespace platform::posix
