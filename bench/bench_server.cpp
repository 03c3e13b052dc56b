// The benchmarks' peer: a server on 127.0.0.1 that drives one client (the console, or socat
// for comparison) through one measurement and prints what it measured on standard output as
// "key value" words on one line. bench/run starts it and gathers the table.
//
//   flood   --dir D --bytes N [--end marker|eof] [--block B] [--eight-bit]
//           Writes D/KORVDBM.ADR, prints "port P", accepts one connection and sends "~~~67" in a
//           write of its own, then, 20 ms later, N bytes of text with no markers in writes of B
//           bytes (printable ASCII lines, or with --eight-bit lines of bytes 128 to 255 only),
//           and ends the stream: with "~~~0" in a write of its own (marker, sent again
//           every 5 ms until the client closes, in case a receive cut it in two), or by
//           closing its side (eof). Measures from the first write of the text until the client
//           closes the connection, which it does once its last write to its output is done.
//   keys    --dir D --count K -- PROGRAM ARGS... [--- PROGRAM ARGS...]...
//           Runs each PROGRAM on a new pseudo-terminal, accepts its connection and sends
//           "~~~1", then types K keys into each, in turns, one key at a time: the time from
//           writing a key to the terminal until the byte arrives on the connection.
//   idle    --dir D --seconds S -- PROGRAM ARGS...
//           Runs PROGRAM on a new pseudo-terminal, accepts its connection, sends nothing, and
//           measures the CPU time the program uses during S seconds.
//   cmdwall --dir D --runs R -- PROGRAM ARGS...
//           Runs PROGRAM (a command-mode console) R times; the server answers the command at
//           once with "done\n~~~0". Measures the wall time from the fork to the exit, and the
//           time from the arrival of "MODE 1" (sent as soon as the connection is made) to the
//           arrival of the command; first, for comparison, the median time to fork, run and
//           reap "true".
//   run     --sink file|null|pipe|pty [--out FILE] -- PROGRAM ARGS...
//           Runs PROGRAM with standard output to FILE, /dev/null, a pipe or a pseudo-terminal
//           (default settings, 80x24), and prints its exit status, CPU time and peak resident
//           set, and for a pipe or a terminal how many bytes the reader at the other end got.
//           That reader is a process of its own that reads 128 KiB at a time (like cat).
//           This program is linked statically and touches little memory,
//           because a child's peak resident set also counts what the process it was forked
//           from had resident when it called exec.
//   relay   --port P
//           The floor of a console's key path, for the key-latency row: on the terminal it is
//           given (made raw, without echo) it connects to 127.0.0.1:P and relays both ways and
//           does nothing else. Each key read is written back to the terminal first, as the
//           console echoes it, and then sent; what the server sends goes to the terminal.
//
// In PROGRAM ARGS, "{PORT}" is replaced by the listening port.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench server: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void fail_plain(const char* what) {
    std::fprintf(stderr, "bench server: %s\n", what);
    std::exit(2);
}

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleep_ns(std::int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

struct Options {
    std::string dir;
    int port = 0;
    std::string out;
    long long bytes = 256LL << 20;
    std::size_t block = 1 << 20;
    int count = 10000;
    int seconds = 10;
    int runs = 5;
    std::string end = "marker";
    bool eight_bit = false;
    std::string sink = "file";
    std::vector<std::string> program;                // the first program
    std::vector<std::vector<std::string>> programs;  // all of them, split at "---"
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail_plain("option without a value");
            return argv[++i];
        };
        if (a == "--dir") {
            o.dir = value();
        } else if (a == "--port") {
            o.port = std::atoi(value().c_str());
        } else if (a == "--out") {
            o.out = value();
        } else if (a == "--bytes") {
            o.bytes = std::atoll(value().c_str());
        } else if (a == "--block") {
            o.block = static_cast<std::size_t>(std::atoll(value().c_str()));
        } else if (a == "--count") {
            o.count = std::atoi(value().c_str());
        } else if (a == "--seconds") {
            o.seconds = std::atoi(value().c_str());
        } else if (a == "--runs") {
            o.runs = std::atoi(value().c_str());
        } else if (a == "--end") {
            o.end = value();
        } else if (a == "--eight-bit") {
            o.eight_bit = true;
        } else if (a == "--sink") {
            o.sink = value();
        } else if (a == "--") {
            o.programs.emplace_back();
            for (++i; i < argc; ++i) {
                if (std::string(argv[i]) == "---") {
                    o.programs.emplace_back();
                } else {
                    o.programs.back().push_back(argv[i]);
                }
            }
            o.program = o.programs.front();
        } else {
            fail_plain("unknown option");
        }
    }
    std::string what = argv[1];
    if (o.dir.empty() && what != "run" && what != "relay") fail_plain("--dir is needed");
    return o;
}

// Listens on an ephemeral port of 127.0.0.1 and writes the console's address file for it:
// the IPv4 address at offset 0 and the port, high byte first, at offset 17.
int listen_and_publish(const std::string& dir, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
    // Received data carries the kernel's time of arrival (see receive_stamped).
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    if (listen(fd, 4) != 0) fail("listen");
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) fail("getsockname");
    *port = ntohs(address.sin_port);

    unsigned char file[19] = {127, 0, 0, 1};
    file[17] = static_cast<unsigned char>(*port >> 8);
    file[18] = static_cast<unsigned char>(*port & 0xff);
    std::string path = dir + "/KORVDBM.ADR";
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || write(out, file, sizeof file) != static_cast<ssize_t>(sizeof file))
        fail("address file");
    close(out);
    std::printf("port %d\n", *port);
    std::fflush(stdout);
    return fd;
}

// Accepts one connection within timeout_ms; -1 when none came. While waiting, whatever the
// pseudo-terminal master (when there is one) has to say is read and dropped.
int accept_within(int listener, int timeout_ms, int master = -1) {
    std::int64_t deadline = now_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000;
    for (;;) {
        std::int64_t left = (deadline - now_ns()) / 1000000;
        if (left <= 0) return -1;
        pollfd fds[2] = {{listener, POLLIN, 0}, {master, POLLIN, 0}};
        int ready = poll(fds, master >= 0 ? 2 : 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) fail("poll");
        if (ready <= 0) continue;
        if (master >= 0 && fds[1].revents) {
            char drop[4096];
            if (read(master, drop, sizeof drop) <= 0) fds[1].fd = -1;
        }
        if (fds[0].revents) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) fail("accept");
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
    }
}

void send_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            fail("send");
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

// One receive; *at is when the data arrived, on the CLOCK_MONOTONIC scale of now_ns: the
// kernel's own time stamp when it gives one, else the time of the receive.
ssize_t receive_stamped(int fd, char* buffer, std::size_t capacity, std::int64_t* at) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    iovec vector{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd, &message, 0);
    } while (n < 0 && errno == EINTR);
    *at = now_ns();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        std::int64_t age = (static_cast<std::int64_t>(real.tv_sec) - stamp.tv_sec) * 1000000000 +
                           (real.tv_nsec - stamp.tv_nsec);
        if (age >= 0 && age < 10000000000LL) *at = now_ns() - age;
    }
    return n;
}

std::vector<char*> program_argv(const std::vector<std::string>& program, int port,
                                std::vector<std::string>* storage) {
    if (program.empty()) fail_plain("no program given after --");
    storage->clear();
    for (std::string a : program) {
        std::size_t at;
        while ((at = a.find("{PORT}")) != std::string::npos) a.replace(at, 6, std::to_string(port));
        storage->push_back(a);
    }
    std::vector<char*> argv;
    for (std::string& a : *storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Starts the program on a new pseudo-terminal (its controlling terminal, 80x24); returns its
// process id and the master side.
pid_t start_on_pty(const std::vector<std::string>& program, int port, int* master) {
    std::vector<std::string> storage;
    std::vector<char*> argv = program_argv(program, port, &storage);
    winsize size{24, 80, 0, 0};
    pid_t pid = forkpty(master, nullptr, nullptr, &size);
    if (pid < 0) fail("forkpty");
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int flags = fcntl(*master, F_GETFL);
    fcntl(*master, F_SETFL, flags | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    return pid;
}

// Reads and drops what the program wrote to its terminal, without waiting.
void drain(int master) {
    char drop[4096];
    while (read(master, drop, sizeof drop) > 0) {
    }
}

// Waits until the program ends, reading and dropping what it writes to its terminal (*master,
// when there is one); the wait wakes the moment it ends. A program still running after
// timeout_ms gets a hang-up (the master is closed), and one still running timeout_ms later is
// ended. Returns its resource usage.
rusage reap(pid_t pid, int timeout_ms, int* status, int* master = nullptr) {
    rusage usage{};
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (int round = 0; round < 2; ++round) {
        std::int64_t deadline = now_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000;
        for (;;) {
            if (wait4(pid, status, WNOHANG, &usage) == pid) {
                if (pidfd >= 0) close(pidfd);
                if (master && *master >= 0) close(*master);
                if (master) *master = -1;
                return usage;
            }
            int left = static_cast<int>((deadline - now_ns()) / 1000000);
            if (left <= 0) break;
            pollfd fds[2] = {{pidfd, POLLIN, 0}, {master ? *master : -1, POLLIN, 0}};
            // Without a process descriptor, look every millisecond.
            if (poll(fds, 2, pidfd >= 0 ? left : 1) > 0 && fds[1].revents) drain(*master);
        }
        if (master && *master >= 0) {
            close(*master);
            *master = -1;
        }
    }
    kill(pid, SIGTERM);
    wait4(pid, status, 0, &usage);
    if (pidfd >= 0) close(pidfd);
    return usage;
}

// The CPU time (ns) used so far by all threads of a process, from the scheduler's own
// accounting; -1 when the system does not keep it.
long long process_cpu_ns(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return -1;
    long long total = 0;
    bool any = false;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string path = tasks + "/" + entry->d_name + "/schedstat";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) continue;
        long long on_cpu = 0;
        if (std::fscanf(f, "%lld", &on_cpu) == 1) {
            total += on_cpu;
            any = true;
        }
        std::fclose(f);
    }
    closedir(dir);
    return any ? total : -1;
}

// ---------------------------------------------------------------------------------------------

// This thread's time on a CPU and waiting in a run queue so far (ns), zero when unknown, and how
// many times it has blocked.
void own_schedstat(long long* on_cpu, long long* queued, long* blocks) {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    *blocks = usage.ru_nvcsw;
    *on_cpu = *queued = 0;
    FILE* f = std::fopen("/proc/thread-self/schedstat", "r");
    if (!f) return;
    if (std::fscanf(f, "%lld %lld", on_cpu, queued) != 2) *on_cpu = *queued = 0;
    std::fclose(f);
}

int run_flood(const Options& o) {
    bool by_marker = o.end == "marker";
    if (!by_marker && o.end != "eof") fail_plain("--end is marker or eof");
    int port = 0;
    int listener = listen_and_publish(o.dir, &port);
    int fd = accept_within(listener, 15000);
    if (fd < 0) fail_plain("no connection");

    // Printable lines (or 8-bit ones), no '~' and no NUL.
    std::vector<char> block(o.block);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = (i % 64 == 63) ? '\n'
                   : o.eight_bit  ? static_cast<char>(0x80 + (i * 7 + i / 64) % 128)
                                  : static_cast<char>('!' + (i * 7 + i / 64) % 90);

    send_all(fd, "~~~67", 5);
    sleep_ns(20000000);
    long long cpu_before = 0, queued_before = 0;
    long blocks_before = 0;
    own_schedstat(&cpu_before, &queued_before, &blocks_before);
    std::int64_t start = now_ns();
    long long left = o.bytes;
    while (left > 0) {
        std::size_t piece = left < static_cast<long long>(block.size())
                                ? static_cast<std::size_t>(left)
                                : block.size();
        send_all(fd, block.data(), piece);
        left -= static_cast<long long>(piece);
    }
    std::int64_t sent = now_ns();
    long long cpu_after = 0, queued_after = 0;
    long blocks_after = 0;
    own_schedstat(&cpu_after, &queued_after, &blocks_after);
    if (by_marker) {
        send_all(fd, "~~~0", 4);
    } else {
        shutdown(fd, SHUT_WR);
    }
    // The client closes once it has written everything out.
    bool complete = false;
    int resends = 0;
    char drop[4096];
    while (now_ns() - sent < 30LL * 1000000000) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, by_marker ? 5 : 1000);
        if (ready < 0 && errno != EINTR) fail("poll");
        if (ready == 0) {
            if (by_marker && send(fd, "~~~0", 4, MSG_NOSIGNAL) == 4) ++resends;
            continue;
        }
        if (ready < 0) continue;
        ssize_t got = recv(fd, drop, sizeof drop, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            complete = true;
            break;
        }
    }
    std::int64_t end = now_ns();
    close(fd);
    close(listener);
    // The sender's own time on a CPU and waiting for one while it sent, and how often it
    // blocked: the rest of send_ns it was waiting for the client to take data.
    std::printf(
        "complete %d elapsed_ns %lld send_ns %lld bytes %lld resends %d sender_cpu_ns %lld "
        "sender_queued_ns %lld sender_blocks %ld\n",
        complete ? 1 : 0, static_cast<long long>(end - start), static_cast<long long>(sent - start),
        o.bytes, resends, cpu_after - cpu_before, queued_after - queued_before,
        blocks_after - blocks_before);
    return complete ? 0 : 1;
}

// One client of the key-latency measurement.
struct KeyClient {
    pid_t pid = -1;
    int master = -1;
    int connection = -1;
    std::vector<std::int64_t> latency;
    int wrong = 0;
};

int run_keys(const Options& o) {
    int port = 0;
    int listener = listen_and_publish(o.dir, &port);
    // The clients are started one after the other, so that each connection is known to be
    // its client's, and then share the measurement key by key: whatever else the machine
    // does at a moment falls on all of them alike.
    std::vector<KeyClient> clients(o.programs.size());
    for (std::size_t c = 0; c < clients.size(); ++c) {
        KeyClient& client = clients[c];
        client.pid = start_on_pty(o.programs[c], port, &client.master);
        client.connection = accept_within(listener, 15000, client.master);
        if (client.connection < 0) fail_plain("no connection");
        send_all(client.connection, "~~~1", 4);
        client.latency.reserve(static_cast<std::size_t>(o.count));
    }
    // Let the clients take the key-by-key control and settle.
    std::int64_t settle = now_ns() + 300000000;
    while (now_ns() < settle) {
        for (KeyClient& client : clients) drain(client.master);
        sleep_ns(5000000);
    }

    for (int i = 0; i < o.count; ++i) {
        char key = static_cast<char>('a' + i % 26);
        for (KeyClient& client : clients) {
            std::int64_t typed = now_ns();
            if (write(client.master, &key, 1) != 1) fail("write to the terminal");
            char got = 0;
            for (;;) {
                ssize_t n = recv(client.connection, &got, 1, 0);
                if (n == 1) break;
                if (n < 0 && errno == EINTR) continue;
                fail_plain("a client stopped sending keys");
            }
            std::int64_t arrived = now_ns();
            if (got != key) ++client.wrong;
            client.latency.push_back(arrived - typed);
            drain(client.master);
        }
    }

    int wrong = 0;
    for (std::size_t c = 0; c < clients.size(); ++c) {
        KeyClient& client = clients[c];
        send_all(client.connection, "~~~0", 4);
        shutdown(client.connection, SHUT_WR);
        int status = 0;
        reap(client.pid, 2000, &status, &client.master);
        close(client.connection);

        std::vector<std::int64_t>& latency = client.latency;
        std::sort(latency.begin(), latency.end());
        auto at = [&](double q) {
            std::size_t index =
                static_cast<std::size_t>(q * static_cast<double>(latency.size() - 1));
            return static_cast<double>(latency[index]) / 1000.0;
        };
        double sum = 0;
        for (std::int64_t l : latency) sum += static_cast<double>(l);
        std::printf(
            "client %zu keys %zu wrong %d median_us %.1f p99_us %.1f min_us %.1f max_us %.1f "
            "mean_us %.1f\n",
            c, latency.size(), client.wrong, at(0.5), at(0.99), at(0.0), at(1.0),
            sum / static_cast<double>(latency.size()) / 1000.0);
        wrong += client.wrong;
    }
    close(listener);
    return wrong == 0 ? 0 : 1;
}

int run_idle(const Options& o) {
    int port = 0;
    int listener = listen_and_publish(o.dir, &port);
    int master = -1;
    pid_t pid = start_on_pty(o.program, port, &master);
    int fd = accept_within(listener, 15000, master);
    if (fd < 0) fail_plain("no connection");
    // Let start-up finish (the client may still be writing its first output).
    std::int64_t settle = now_ns() + 500000000;
    while (now_ns() < settle) {
        drain(master);
        sleep_ns(10000000);
    }
    long long before = process_cpu_ns(pid);
    std::int64_t from = now_ns();
    std::int64_t until = from + static_cast<std::int64_t>(o.seconds) * 1000000000;
    while (now_ns() < until) {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, static_cast<int>((until - now_ns()) / 1000000) + 1);
        drain(master);
    }
    long long after = process_cpu_ns(pid);
    std::int64_t to = now_ns();

    send_all(fd, "~~~0", 4);
    shutdown(fd, SHUT_WR);
    int status = 0;
    rusage usage = reap(pid, 2000, &status, &master);
    close(fd);
    close(listener);
    long long whole_us = usage.ru_utime.tv_sec * 1000000LL + usage.ru_utime.tv_usec +
                         usage.ru_stime.tv_sec * 1000000LL + usage.ru_stime.tv_usec;
    std::printf("idle_s %.3f idle_cpu_us %.1f whole_run_cpu_us %lld\n",
                static_cast<double>(to - from) / 1e9,
                before < 0 || after < 0 ? -1.0 : static_cast<double>(after - before) / 1000.0,
                whole_us);
    return 0;
}

int run_cmdwall(const Options& o) {
    int port = 0;
    int listener = listen_and_publish(o.dir, &port);
    std::vector<std::string> storage;
    std::vector<char*> argv = program_argv(o.program, port, &storage);
    // What starting and ending the smallest program costs on this machine, for comparison.
    std::vector<double> baseline;
    for (int run = 0; run < o.runs; ++run) {
        std::int64_t started = now_ns();
        pid_t pid = fork();
        if (pid < 0) fail("fork");
        if (pid == 0) {
            execlp("true", "true", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        reap(pid, 10000, &status);
        baseline.push_back(static_cast<double>(now_ns() - started) / 1e6);
    }
    std::sort(baseline.begin(), baseline.end());
    std::printf("baseline_true_ms %.3f\n", baseline[baseline.size() / 2]);

    int failures = 0;
    for (int run = 0; run < o.runs; ++run) {
        std::int64_t started = now_ns();
        pid_t pid = fork();
        if (pid < 0) fail("fork");
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int fd = accept_within(listener, 15000);
        if (fd < 0) fail_plain("no connection");
        // "MODE 1" with its NUL right after the connection, then the command in a send of its
        // own. Both are timed by the kernel as they arrive, so that the time between them does
        // not depend on how soon this server gets to run.
        std::string got;
        std::int64_t accepted = 0;
        std::int64_t command_at = 0;
        while (command_at == 0) {
            char buffer[256];
            std::int64_t at = 0;
            ssize_t n = receive_stamped(fd, buffer, sizeof buffer, &at);
            if (n <= 0) break;
            if (got.empty()) accepted = at;
            got.append(buffer, static_cast<std::size_t>(n));
            if (got.size() > 7) command_at = at;
        }
        if (command_at != 0) send_all(fd, "done\n~~~0", 9);
        int status = 0;
        reap(pid, 10000, &status);
        std::int64_t ended = now_ns();
        close(fd);
        bool ok = command_at != 0 && got.compare(0, 7, std::string("MODE 1\0", 7)) == 0 &&
                  WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok) ++failures;
        auto ms = [](std::int64_t ns) { return static_cast<double>(ns) / 1e6; };
        std::printf(
            "run %d ok %d wall_ms %.3f command_after_connect_ms %.3f start_to_connect_ms %.3f "
            "command_to_exit_ms %.3f\n",
            run, ok ? 1 : 0, ms(ended - started), command_at ? ms(command_at - accepted) : -1.0,
            ms(accepted - started), command_at ? ms(ended - command_at) : -1.0);
        std::fflush(stdout);
    }
    close(listener);
    return failures == 0 ? 0 : 1;
}

// The reader at the far end of a pipe or a terminal: reads until the writers are gone and
// returns how many bytes it got, through the pipe count_fd.
pid_t start_reader(int source, int writer, int count_fd) {
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        close(writer);
        static char buffer[128 * 1024];
        long long total = 0;
        for (;;) {
            ssize_t n = read(source, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the end of the pipe, or EIO once the terminal has no writer
            total += n;
        }
        if (write(count_fd, &total, sizeof total) != static_cast<ssize_t>(sizeof total)) _exit(1);
        _exit(0);
    }
    return pid;
}

int run_program(const Options& o) {
    if (o.program.empty()) fail_plain("run needs a program");
    bool to_file = o.sink == "file";
    if (to_file && o.out.empty()) fail_plain("--sink file needs --out");
    std::vector<std::string> storage;
    std::vector<char*> argv = program_argv(o.program, 0, &storage);

    int out = -1;
    pid_t reader = -1;
    int count[2] = {-1, -1};
    if (to_file) {
        out = open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else if (o.sink == "null") {
        out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else if (o.sink == "pipe" || o.sink == "pty") {
        int source = -1;
        if (o.sink == "pipe") {
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe");
            source = ends[0];
            out = ends[1];
        } else {
            winsize size{24, 80, 0, 0};
            if (openpty(&source, &out, nullptr, nullptr, &size) != 0) fail("openpty");
            fcntl(source, F_SETFD, FD_CLOEXEC);
            fcntl(out, F_SETFD, FD_CLOEXEC);
        }
        if (pipe2(count, O_CLOEXEC) != 0) fail("pipe");
        reader = start_reader(source, out, count[1]);
        close(source);
        close(count[1]);
    } else {
        fail_plain("--sink is file, null, pipe or pty");
    }
    if (out < 0) fail("the output");

    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0) _exit(126);
        dup2(null, 0);
        dup2(out, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out);  // the reader sees the end once the program's copy is gone too
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    long long sink_bytes = -1;
    if (reader > 0) {
        if (read(count[0], &sink_bytes, sizeof sink_bytes) !=
            static_cast<ssize_t>(sizeof sink_bytes))
            sink_bytes = -1;
        while (waitpid(reader, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::printf(
        "exited %d status %d user_us %lld sys_us %lld maxrss_kib %ld sink_bytes %lld "
        "blocked %ld preempted %ld\n",
        WIFEXITED(status) ? 1 : 0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
        usage.ru_utime.tv_sec * 1000000LL + usage.ru_utime.tv_usec,
        usage.ru_stime.tv_sec * 1000000LL + usage.ru_stime.tv_usec, usage.ru_maxrss, sink_bytes,
        usage.ru_nvcsw, usage.ru_nivcsw);
    return 0;
}

int run_relay(const Options& o) {
    int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(o.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection < 0 ||
        connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("connect");
    }
    termios saved{};
    if (tcgetattr(0, &saved) != 0) fail("tcgetattr");
    termios raw = saved;
    cfmakeraw(&raw);
    tcsetattr(0, TCSANOW, &raw);
    pollfd waits[2] = {{0, POLLIN, 0}, {connection, POLLIN, 0}};
    char buffer[4096];
    for (bool open = true; open;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waits[0].revents != 0) {
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) break;
            if (write(1, buffer, static_cast<std::size_t>(n)) != n) break;
            if (send(connection, buffer, static_cast<std::size_t>(n), 0) != n) break;
        }
        if (waits[1].revents != 0) {
            ssize_t n = recv(connection, buffer, sizeof buffer, 0);
            open = n > 0 && write(1, buffer, static_cast<std::size_t>(n)) == n;
        }
    }
    tcsetattr(0, TCSANOW, &saved);
    close(connection);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) fail_plain("usage: bench-server flood|keys|idle|cmdwall|run|relay OPTIONS");
    std::string what = argv[1];
    Options o = parse(argc, argv);
    if (what == "flood") return run_flood(o);
    if (what == "keys") return run_keys(o);
    if (what == "idle") return run_idle(o);
    if (what == "cmdwall") return run_cmdwall(o);
    if (what == "run") return run_program(o);
    if (what == "relay") return run_relay(o);
    fail_plain("unknown measurement");
}
