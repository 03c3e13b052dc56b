// kestrane-demo-server: a small stand-in for the database manager server, for trying the console
// and for its end-to-end tests. It listens on 127.0.0.1, writes the address file the console
// reads, prints its port on standard output, and serves each console that connects on a thread
// of its own.
//
//   kestrane-demo-server [--dir DIR] [--port N] [--once]
//
//   --dir DIR   write DIR/KORVDBM.ADR (127.0.0.1, the port, an empty host name); it is removed
//               again when the server ends
//   --port N    listen on port N (default: a free port the system picks)
//   --once      serve one session, then end
//
// SIGINT and SIGTERM end the server: sessions still running are closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "session.h"

namespace {

constexpr const char* ADDRESS_FILE = "KORVDBM.ADR";
constexpr std::size_t ADDRESS_FILE_SIZE = 83;

struct Options {
    std::string directory;
    unsigned port = 0;
    bool once = false;
};

void usage(FILE* out) {
    std::fprintf(out, "usage: kestrane-demo-server [--dir DIR] [--port N] [--once]\n");
}

// Returns 0 to go on, or the exit status (after printing why).
int parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            usage(stdout);
            return -1;
        } else if (word == "--once") {
            options->once = true;
        } else if ((word == "--dir" || word == "--port") && i + 1 < argc) {
            std::string value = argv[++i];
            if (word == "--dir") {
                options->directory = value;
            } else {
                char* end = nullptr;
                unsigned long port = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || port > 65535) {
                    std::fprintf(stderr, "kestrane-demo-server: bad port '%s'\n", value.c_str());
                    return 2;
                }
                options->port = static_cast<unsigned>(port);
            }
        } else {
            usage(stderr);
            return 2;
        }
    }
    return 0;
}

// The 83-byte address file: the address at 0, the port high byte first at 17, and an empty
// host name (so the console uses the stored address without asking a resolver).
bool write_address_file(const std::string& directory, std::uint16_t port) {
    unsigned char bytes[ADDRESS_FILE_SIZE] = {};
    bytes[0] = 127;
    bytes[3] = 1;
    bytes[17] = static_cast<unsigned char>(port >> 8);
    bytes[18] = static_cast<unsigned char>(port & 0xff);
    std::string path = directory + "/" + ADDRESS_FILE;
    std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
    written = std::fclose(file) == 0 && written;
    // Renamed into place, so a console never reads a half-written file.
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int listen_on_loopback(unsigned port, std::uint16_t* bound_port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    *bound_port = ntohs(address.sin_port);
    return fd;
}

// The sessions running on their own threads.
class Sessions {
  public:
    explicit Sessions(const std::atomic<bool>& stopping) : stopping_(stopping) {}

    void start(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        reap_locked();
        auto running = std::make_unique<Running>();
        running->fd = fd;
        Running* record = running.get();
        running->thread = std::thread([this, record] {
            demo::Session(record->fd, stopping_).run();
            // The descriptor is closed by whoever joins this thread, never while another
            // thread may still use it.
            ::shutdown(record->fd, SHUT_RDWR);
            record->done.store(true);
        });
        running_.push_back(std::move(running));
    }

    // Wakes every session (they see the server stopping) and waits for them to end.
    void stop_all() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& running : running_) {
            if (!running->done.load()) ::shutdown(running->fd, SHUT_RDWR);
        }
        for (auto& running : running_) {
            running->thread.join();
            ::close(running->fd);
        }
        running_.clear();
    }

    bool all_done() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& running : running_) {
            if (!running->done.load()) return false;
        }
        return true;
    }

  private:
    struct Running {
        int fd = -1;
        std::atomic<bool> done{false};
        std::thread thread;
    };

    void reap_locked() {
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->done.load()) {
                (*it)->thread.join();
                ::close((*it)->fd);
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const std::atomic<bool>& stopping_;
    std::mutex mutex_;
    std::list<std::unique_ptr<Running>> running_;
};

int accept_console(int listen_fd) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parse_options(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    // SIGINT and SIGTERM are taken through a descriptor by the main loop; every thread
    // inherits the blocked mask. A console that goes away must not kill the server.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    int signal_fd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror("kestrane-demo-server: signalfd");
        return 1;
    }

    std::uint16_t port = 0;
    int listen_fd = listen_on_loopback(options.port, &port);
    if (listen_fd < 0) {
        std::fprintf(stderr, "kestrane-demo-server: cannot listen on 127.0.0.1:%u: %s\n",
                     options.port, std::strerror(errno));
        return 1;
    }
    if (!options.directory.empty() && !write_address_file(options.directory, port)) {
        std::fprintf(stderr, "kestrane-demo-server: cannot write %s/%s: %s\n",
                     options.directory.c_str(), ADDRESS_FILE, std::strerror(errno));
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    std::fprintf(stderr, "kestrane-demo-server: listening on 127.0.0.1:%u\n",
                 static_cast<unsigned>(port));

    std::atomic<bool> stopping{false};
    Sessions sessions(stopping);
    for (;;) {
        pollfd polled[2] = {{signal_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
        if (::poll(polled, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (polled[0].revents != 0) break;
        if (polled[1].revents == 0) continue;
        int fd = accept_console(listen_fd);
        if (fd < 0) continue;
        sessions.start(fd);
        if (options.once) {
            ::close(listen_fd);
            listen_fd = -1;
            pollfd waited{signal_fd, POLLIN, 0};
            while (!sessions.all_done() && ::poll(&waited, 1, 100) <= 0) {
            }
            break;
        }
    }

    stopping.store(true);
    sessions.stop_all();
    if (listen_fd >= 0) ::close(listen_fd);
    if (!options.directory.empty()) {
        std::remove((options.directory + "/" + ADDRESS_FILE).c_str());
    }
    std::fprintf(stderr, "kestrane-demo-server: stopped\n");
    return 0;
}
