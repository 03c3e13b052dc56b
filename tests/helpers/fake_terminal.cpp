// A stand-in terminal emulator for tests, following the xterm convention:
//
//   fake_terminal [OPTIONS...] -T TITLE -e PROGRAM [ARGUMENTS...]
//
// It writes its arguments (one "argN=..." line each, after "argc=N") and its process group and
// session to the file named by FAKE_TERMINAL_REPORT, then runs PROGRAM in its place.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
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
