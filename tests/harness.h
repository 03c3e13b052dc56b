// The end-to-end test harness: temporary directories, address files, a scripted server that
// plays the database manager on 127.0.0.1, and the console (or any program) run as a child
// process with its output captured.
//
// Everything here is for tests only; it may allocate and throw as tests do. All descriptors it
// opens are close-on-exec, so a started program inherits none of them.
//
// Typical use:
//
//     TempDir dir;
//     ScriptedServer server;
//     dir.write_file(ADDRESS_FILE_NAME, loopback_address_file(server.port()));
//     ConsoleProcess console({"-p" + dir.path(), "REPORT", "7"});
//     ASSERT_TRUE(server.accept_connection(10000));
//     ASSERT_TRUE(server.wait_for_received(7, 10000));
//     server.send_bytes("text");
//     server.send_bytes("~~~0");
//     ASSERT_TRUE(console.wait_exit(15000));
//     EXPECT_EQ(console.exit_status(), 0);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace harness {

// The address file's name, as the console looks for it in its working directory.
inline constexpr const char* ADDRESS_FILE_NAME = "KORVDBM.ADR";
// 127.0.0.1 in host byte order.
inline constexpr std::uint32_t LOOPBACK = 0x7f000001u;

// A string holding exactly these bytes (embedded NULs included): bytes("MODE 1\0").
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// ---------------------------------------------------------------------------------------------
// Temporary directory

// A fresh directory under /tmp (mkdtemp), removed with everything in it by the destructor.
class TempDir {
  public:
    // name_hint becomes part of the directory's name (it may hold spaces).
    explicit TempDir(const std::string& name_hint = "veldrin-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes (replaces) the file name inside the directory; returns its full path.
    std::string write_file(const std::string& name, std::string_view contents) const;
    // Reads a file inside the directory; empty when it does not exist.
    std::string read_file(const std::string& name) const;
    bool file_exists(const std::string& name) const;
    void remove_file(const std::string& name) const;
    // Makes a directory inside this one; returns its full path.
    std::string make_subdir(const std::string& name) const;

  private:
    std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Address file

// The bytes of a server address file: the IPv4 address (given in host byte order, stored in
// network byte order) at offset 0, zeros at 4..16, the port (high byte first) at 17, and the
// host name NUL-padded to 64 bytes at 19 (cut to 63 characters). size cuts the result (or pads
// it with zeros), so 18-, 19- and 83-byte files can be made.
std::string address_file_bytes(std::uint32_t ipv4_host_order, std::uint16_t port,
                               const std::string& host_name, std::size_t size = 83);
// An 83-byte file pointing at 127.0.0.1:port with an empty host name.
std::string loopback_address_file(std::uint16_t port);

// A port on 127.0.0.1 where nothing listens: a socket is bound to it (so no one else gets it)
// but never listens, so a connect to it is refused. The port is freed by the destructor.
class UnusedPort {
  public:
    UnusedPort();
    ~UnusedPort();
    UnusedPort(const UnusedPort&) = delete;
    UnusedPort& operator=(const UnusedPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Scripted server

// One receive of the server's, with the time it arrived.
struct Receive {
    std::string bytes;
    std::chrono::steady_clock::time_point at;
};

// A TCP server on 127.0.0.1 (a free port) that a test drives step by step. A background thread
// accepts every connection as it comes (they are counted and queued in order) and receives
// whatever each connection sends, recording each receive separately. The test picks the next
// queued connection with accept_connection; the other calls act on that "current" connection.
// Every call is thread-safe. Connections are closed by close_connection / reset_connection or by
// the destructor.
class ScriptedServer {
  public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Waits for the next connection (in the order they came) and makes it the current one.
    // False when none came within the time.
    bool accept_connection(int timeout_ms);
    // How many connections have been accepted so far (whether or not the test picked them up).
    int connection_count() const;
    // Waits until at least count connections have been accepted.
    bool wait_for_connection_count(int count, int timeout_ms) const;

    // One write on the current connection (TCP_NODELAY is set, so it leaves at once). Returns
    // false when the write failed (no current connection, or it is closed).
    bool send_bytes(std::string_view data);
    // Sends each piece as its own write, pausing pause_ms between writes so that the pieces
    // arrive in separate receives.
    bool send_separately(const std::vector<std::string>& pieces, int pause_ms = 50);

    // Everything received so far on the current connection.
    std::string received() const;
    // Each receive made so far on the current connection, in order.
    std::vector<Receive> receives() const;
    // Waits until at least total_bytes have been received on the current connection.
    bool wait_for_received(std::size_t total_bytes, int timeout_ms) const;
    // Waits until the current connection's received bytes hold needle.
    bool wait_for_received_text(std::string_view needle, int timeout_ms) const;
    // Waits until the peer has closed the current connection (or reset it).
    bool wait_for_peer_close(int timeout_ms) const;
    bool peer_closed() const;

    // Orderly close of the current connection (FIN).
    void close_connection();
    // Abortive close of the current connection (SO_LINGER 0, so the peer sees a reset).
    void reset_connection();
    // Stops listening: later connects are refused. Open connections stay as they are.
    void stop_listening();

  private:
    struct Connection {
        int fd = -1;
        std::string received;
        std::vector<Receive> receives;
        bool peer_closed = false;
        bool closed = false;
    };
    enum class Request { NONE, CLOSE, RESET, STOP_LISTENING };

    void serve();
    void wake();
    void run_request(Request request);
    Connection* current_locked() const;

    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::unique_ptr<Connection>> connections_;
    int current_ = -1;  // index into connections_
    int picked_ = 0;    // connections handed out by accept_connection
    Request request_ = Request::NONE;
    int request_target_ = -1;
    bool stopping_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// A started program

// How a started program's standard input (and, for TERMINAL, its output) is connected.
enum class InputMode {
    NONE,      // /dev/null
    PIPE,      // a pipe the test writes with write_input; close_input gives end of file
    TERMINAL,  // a new pseudo-terminal, the program's controlling terminal: standard input and
               // standard output are its slave side; what the program writes to it (including
               // anything written to /dev/tty) is read back as stdout_text(); write_input types
               // on its keyboard. Standard error still goes to its own pipe.
};

struct ProcessOptions {
    std::string program = {};            // empty: the console (VELDRIN_BINARY)
    std::string working_directory = {};  // empty: the test's own
    InputMode input = InputMode::NONE;
    std::vector<std::string> extra_environment = {};  // "NAME=value", over the test's own
    unsigned short terminal_rows = 24;
    unsigned short terminal_columns = 80;
};

// A program run as a child process (posix_spawn, no shell): argv[0] is the program's path,
// args follow it unchanged. Standard output and standard error are captured by a background
// thread. The destructor kills the program (SIGKILL) and reaps it if it is still running.
class ConsoleProcess {
  public:
    explicit ConsoleProcess(const std::vector<std::string>& args, ProcessOptions options = {});
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True when the program was started.
    bool started() const { return pid_ > 0; }

    // Waits until the program has ended (and then, briefly, for its output to be drained).
    bool wait_exit(int timeout_ms);
    bool exited() const;
    // The exit status (0..255) once it ended normally; -1 while running or when a signal ended
    // it.
    int exit_status() const;
    // The signal that ended it, or 0.
    int term_signal() const;
    // Sends a signal to the program (while it runs).
    void send_signal(int signal_number);
    // SIGKILL and reap, at once.
    void kill_now();

    // What the program wrote so far.
    std::string stdout_text() const;
    std::string stderr_text() const;
    // Waits until standard output (stderr for the second) holds needle.
    bool wait_for_stdout(std::string_view needle, int timeout_ms) const;
    bool wait_for_stderr(std::string_view needle, int timeout_ms) const;

    // Writes to the program's input (InputMode PIPE or TERMINAL); false on failure.
    bool write_input(std::string_view data);
    // Closes the input pipe (end of file for the program). InputMode PIPE only.
    void close_input();
    // The master side of the pseudo-terminal (InputMode TERMINAL), or -1, for tests that need
    // to look at the terminal's settings (tcgetattr).
    int terminal_fd() const { return terminal_master_; }

  private:
    void drain();
    bool reap(int options);

    pid_t pid_ = -1;
    int stdout_fd_ = -1;  // pipe read end, or the terminal master for TERMINAL
    int stderr_fd_ = -1;
    int input_fd_ = -1;  // pipe write end (PIPE), or a dup of the master (TERMINAL)
    int terminal_master_ = -1;
    int wait_status_ = 0;
    bool reaped_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string stdout_;
    std::string stderr_;
    bool stdout_done_ = false;
    bool stderr_done_ = false;
    int stop_pipe_[2] = {-1, -1};
    std::thread drainer_;
};

}  // namespace harness
