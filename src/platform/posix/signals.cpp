// The signals that end a process: the terminal is put back first (console_start's promise in
// platform.h that every way out leaves the terminal as found), and a reader of standard output
// that goes away never ends the console. Job control: a stop puts the terminal back before the
// console stops, and a continue sets it up again.
#include <pthread.h>
#include <signal.h>

#include <cerrno>

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

void on_continue(int) {
    int saved_errno = errno;
    resume_terminal();
    errno = saved_errno;
}

void on_stop(int signal_number);

void install_job_control_handler(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

// SIGTSTP (Ctrl+Z at a shell's prompt is not ours: the console reads its keys itself; this is
// a stop sent from outside, or by a shell's job control): the terminal is put back, then the
// console stops as it would have. Once continued, SIGCONT's handler sets the terminal up again.
void on_stop(int signal_number) {
    int saved_errno = errno;
    suspend_terminal();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);  // pending until unblocked below: the stop happens there
    sigset_t this_signal;
    sigemptyset(&this_signal);
    sigaddset(&this_signal, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &this_signal, nullptr);
    // Continued (or the stop was discarded, as for an orphaned process group).
    install_job_control_handler(signal_number, on_stop);
    resume_terminal();
    errno = saved_errno;
}

// Installs a job-control handler unless the signal is ignored or already handled.
void handle_job_control(int signal_number, void (*handler)(int)) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) return;
    install_job_control_handler(signal_number, handler);
}

}  // namespace

void install_signal_handlers() {
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) handle_signal(signal_number);
    handle_job_control(SIGTSTP, on_stop);
    handle_job_control(SIGCONT, on_continue);
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
