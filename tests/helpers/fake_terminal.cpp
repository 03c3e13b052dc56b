// A stand-in terminal emulator for tests, following the xterm convention:
//
//   fake_terminal [OPTIONS...] -T TITLE -e PROGRAM [ARGUMENTS...]
//
// It writes its arguments (one "argN=..." line each, after "argc=N") and its process group and
// session to the file named by FAKE_TERMINAL_REPORT, then runs PROGRAM in its place.
//
//   fake_terminal --job -e PROGRAM [ARGUMENTS...]
//
// A stand-in shell instead: started as the leader of a session whose controlling terminal is
// its standard input, it runs PROGRAM as a foreground job (a process group of its own, given
// the terminal), waits for it to end through any stops, and ends as it ended.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int run_job(char** program) {
    // Giving the terminal away from a process group that no longer has it would stop us.
    signal(SIGTTOU, SIG_IGN);
    pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        setpgid(0, 0);
        tcsetpgrp(0, getpid());
        signal(SIGTTOU, SIG_DFL);
        execvp(program[0], program);
        _exit(127);
    }
    setpgid(child, child);
    tcsetpgrp(0, child);
    int status = 0;
    while (waitpid(child, &status, 0) != child) {
        if (errno != EINTR) return 127;
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "--job") == 0 && std::strcmp(argv[2], "-e") == 0) {
        return run_job(argv + 3);
    }
    const char* report_name = std::getenv("FAKE_TERMINAL_REPORT");
    if (report_name) {
        std::string report =
            "pid=" + std::to_string(getpid()) + "\npgid=" + std::to_string(getpgid(0)) +
            "\nsid=" + std::to_string(getsid(0)) + "\nargc=" + std::to_string(argc) + "\n";
        for (int i = 1; i < argc; ++i) {
            report += "arg" + std::to_string(i) + "=" + argv[i] + "\n";
        }
        std::string temporary = std::string(report_name) + ".part";
        if (FILE* file = std::fopen(temporary.c_str(), "w")) {
            std::fwrite(report.data(), 1, report.size(), file);
            std::fclose(file);
            std::rename(temporary.c_str(), report_name);
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
            execvp(argv[i + 1], argv + i + 1);
            return 127;
        }
    }
    return 2;
}
