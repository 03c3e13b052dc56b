// A program for the server to launch in tests. It writes what it finds about itself to a report
// file and then ends or waits to be ended.
//
//   launch_probe REPORT_FILE exit|sleep|until=FILE [ARGUMENTS...]
//
// The report (written whole: a temporary file renamed into place) holds "name=value" lines:
// pid, ppid, pgid, sid, the targets of descriptors 0 to 2, every other open descriptor, whether
// it has a controlling terminal and which process group is in its foreground, whether SIGPIPE is
// ignored, whether any signal is blocked, the ignored signals as the system shows them (the
// SigIgn mask of /proc/self/status), and argc and each argument (arg1=..., arg2=...).
// With "sleep" it lets go of its standard streams (so it holds no pipe of whoever started the
// console) and waits up to 60 seconds; with "until=FILE" it does the same but ends as soon as
// FILE exists.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string descriptor_target(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[512];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return "closed";
    return std::string(target, static_cast<std::size_t>(length));
}

std::string other_descriptors() {
    std::string list;
    DIR* directory = opendir("/proc/self/fd");
    if (!directory) return "unknown";
    int own = dirfd(directory);
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == own) continue;
        if (!list.empty()) list += ',';
        list += entry->d_name;
    }
    closedir(directory);
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: launch_probe REPORT_FILE exit|sleep|until=FILE [ARGUMENTS...]\n");
        return 2;
    }
    std::string report;
    auto add = [&report](const char* name, const std::string& value) {
        report += name;
        report += '=';
        report += value;
        report += '\n';
    };
    add("pid", std::to_string(getpid()));
    add("ppid", std::to_string(getppid()));
    add("pgid", std::to_string(getpgid(0)));
    add("sid", std::to_string(getsid(0)));
    add("stdin", descriptor_target(0));
    add("stdout", descriptor_target(1));
    add("stderr", descriptor_target(2));
    add("other_fds", other_descriptors());
    int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    add("controlling_terminal", terminal >= 0 ? "yes" : "no");
    add("foreground_pgid", terminal >= 0 ? std::to_string(tcgetpgrp(terminal)) : "none");
    if (terminal >= 0) close(terminal);
    struct sigaction pipe_action {};
    sigaction(SIGPIPE, nullptr, &pipe_action);
    add("sigpipe", pipe_action.sa_handler == SIG_IGN ? "ignored" : "default");
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    bool any_blocked = false;
    for (int signal_number = 1; signal_number < 32; ++signal_number) {
        if (sigismember(&blocked, signal_number) == 1) any_blocked = true;
    }
    add("blocked", any_blocked ? "yes" : "no");
    std::string ignored = "unknown";
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "SigIgn:", 7) != 0) continue;
            ignored = line + 7;
            ignored.erase(0, ignored.find_first_not_of(" \t"));
            ignored.erase(ignored.find_last_not_of(" \t\n") + 1);
        }
        std::fclose(status);
    }
    add("ignored_signals", ignored);
    add("argc", std::to_string(argc));
    for (int i = 1; i < argc; ++i) add(("arg" + std::to_string(i)).c_str(), argv[i]);

    std::string temporary = std::string(argv[1]) + ".part";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return 3;
    std::fwrite(report.data(), 1, report.size(), file);
    std::fclose(file);
    if (std::rename(temporary.c_str(), argv[1]) != 0) return 3;

    const char* until = std::strncmp(argv[2], "until=", 6) == 0 ? argv[2] + 6 : nullptr;
    if (std::strcmp(argv[2], "sleep") == 0 || until) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) close(null);
        }
        for (int i = 0; i < 3000 && !(until && access(until, F_OK) == 0); ++i) usleep(20 * 1000);
    }
    return 0;
}
