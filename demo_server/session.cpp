#include "session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace demo {

namespace {

constexpr char MODE_MESSAGE[] = "MODE 1";  // with its NUL: 7 bytes
constexpr char CLOSE_MESSAGE[] = "CLOSE";  // with its NUL: 6 bytes
// A console receives at most this much at once; a write must fit in one receive for its
// marker to stay whole.
constexpr std::size_t CONSOLE_RECEIVE = 1024;
constexpr std::size_t TEXT_PIECE = 1000;

struct Order {
    unsigned long number;
    const char* customer;
    const char* item;
    unsigned quantity;
    unsigned cents_each;
    const char* status;
};

constexpr Order ORDERS[] = {
    {1, "Harrow & Pike", "Brass hinges", 120, 85, "shipped"},
    {2, "Meadowline Farms", "Fence posts", 40, 1250, "open"},
    {3, "Corvel Bakery", "Flour, 25 kg", 18, 2199, "invoiced"},
    {4, "Tamsin Okafor", "Desk lamp", 2, 3450, "open"},
    {5, "Northgate School", "Exercise books", 600, 120, "shipped"},
    {6, "Brightwater Marina", "Mooring rope, 10 m", 25, 1875, "back-ordered"},
    {7, "Ellery & Sons", "Oak boards", 75, 990, "open"},
};

std::string money(unsigned long cents) {
    char text[32];
    std::snprintf(text, sizeof text, "%lu.%02lu", cents / 100, cents % 100);
    return text;
}

const Order* find_order(unsigned long number) {
    for (const Order& order : ORDERS) {
        if (order.number == number) return &order;
    }
    return nullptr;
}

bool starts_with_message(const std::string& data, const char* message, std::size_t size) {
    return data.size() >= size && std::memcmp(data.data(), message, size) == 0;
}

const char* const HELP_TEXT =
    "Commands:\n"
    "  HELP        this list\n"
    "  LIST        the open and recent orders\n"
    "  REPORT n    the report of order n\n"
    "  EXIT n      end with exit status n\n"
    "  TITLE text  set the console's window title to text\n"
    "  WAIT        keep the session open until the console closes it\n";

const char* const MAIN_MENU =
    "\n"
    "Kestrane Database Manager (demo server)\n"
    "\n"
    "  1  List the orders\n"
    "  2  Show an order\n"
    "  3  Quick menu (single keys)\n"
    "  4  Change the window title\n"
    "  5  Restore the window title\n"
    "  6  Set the exit status\n"
    "  7  Start a program on your machine (sleep 300), remembered\n"
    "  8  End the remembered program\n"
    "  0  End the session\n"
    "\n"
    "Choice: ";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text helpers

std::string orders_list() {
    std::string text = "Order  Customer              Item                   Qty  Status\n";
    for (const Order& order : ORDERS) {
        char line[160];
        std::snprintf(line, sizeof line, "%5lu  %-20s  %-20s  %4u  %s\n", order.number,
                      order.customer, order.item, order.quantity, order.status);
        text += line;
    }
    return text;
}

std::string order_report(unsigned long number) {
    const Order* order = find_order(number);
    if (order == nullptr) return {};
    unsigned long total = static_cast<unsigned long>(order->quantity) * order->cents_each;
    std::string text = "Order " + std::to_string(order->number) + "\n";
    text += "  Customer:  " + std::string(order->customer) + "\n";
    text += "  Item:      " + std::string(order->item) + "\n";
    text += "  Quantity:  " + std::to_string(order->quantity) + " at " + money(order->cents_each) +
            "\n";
    text += "  Total:     " + money(total) + "\n";
    text += "  Status:    " + std::string(order->status) + "\n";
    return text;
}

std::string trim(std::string_view text) {
    std::size_t start = 0, end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(start, end - start));
}

void split_command(const std::string& text, std::string* verb, std::string* rest) {
    std::string trimmed = trim(text);
    std::size_t space = 0;
    while (space < trimmed.size() && !std::isspace(static_cast<unsigned char>(trimmed[space]))) {
        ++space;
    }
    *verb = trimmed.substr(0, space);
    for (char& c : *verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    *rest = trim(std::string_view(trimmed).substr(space));
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string title_argument(std::string_view title) {
    std::size_t length = title.size() > 999 ? 999 : title.size();
    return std::to_string(length) + "~" + std::string(title);
}

// ---------------------------------------------------------------------------------------------
// Wire

bool Session::say(std::string_view text) {
    while (!text.empty()) {
        std::string_view piece = text.substr(0, TEXT_PIECE);
        text.remove_prefix(piece.size());
        std::size_t sent = 0;
        while (sent < piece.size()) {
            ssize_t count = ::send(fd_, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(WRITE_PAUSE_MS));
    }
    return true;
}

bool Session::control(char code, std::string_view argument, std::string_view text) {
    // Long text goes first on its own; the marker's write must fit one console receive.
    std::string write;
    if (text.size() + 4 + argument.size() > CONSOLE_RECEIVE) {
        if (!say(text)) return false;
    } else {
        write = text;
    }
    write += "~~~";
    write += code;
    write += argument;
    return say(write);
}

bool Session::receive(std::string* message, int timeout_ms, bool* timed_out) {
    message->clear();
    if (timed_out != nullptr) *timed_out = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (stopping_.load()) return false;
        // Wake up now and then to notice that the server is stopping.
        int wait = 200;
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                if (timed_out != nullptr) *timed_out = true;
                return true;
            }
            if (left < wait) wait = static_cast<int>(left);
        }
        pollfd polled{fd_, POLLIN, 0};
        int ready = ::poll(&polled, 1, wait);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char buffer[CONSOLE_RECEIVE];
        ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        message->assign(buffer, static_cast<std::size_t>(count));
        return true;
    }
}

void Session::finish() {
    if (!control('0')) return;
    // Let the console close first, so that nothing it still sends is cut off by a reset.
    ::shutdown(fd_, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CLOSE_WAIT_MS);
    std::string ignored;
    bool timed_out = false;
    while (std::chrono::steady_clock::now() < deadline) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (!receive(&ignored, left, &timed_out) || timed_out) return;
    }
}

// ---------------------------------------------------------------------------------------------
// Sessions

void Session::run() {
    std::string first;
    bool timed_out = false;
    if (!receive(&first, MODE_WAIT_MS, &timed_out)) return;
    if (!timed_out && starts_with_message(first, MODE_MESSAGE, sizeof MODE_MESSAGE)) {
        command_mode(first.substr(sizeof MODE_MESSAGE));
    } else {
        interactive_mode();
    }
}

void Session::command_mode(std::string first) {
    // The command follows "MODE 1" in a later message (or, rarely, in the same receive).
    std::string command = std::move(first);
    if (command.empty() && !receive(&command)) return;
    if (starts_with_message(command, CLOSE_MESSAGE, sizeof CLOSE_MESSAGE)) {
        finish();
        return;
    }
    run_command(command);
}

void Session::run_command(const std::string& text) {
    std::string verb, rest;
    split_command(text, &verb, &rest);
    std::string output;
    std::string status = "0";
    if (verb == "HELP") {
        output = HELP_TEXT;
    } else if (verb == "LIST") {
        output = orders_list();
    } else if (verb == "REPORT") {
        if (!all_digits(rest)) {
            output = "REPORT needs an order number, for example REPORT 3\n";
            status = "1";
        } else {
            output = order_report(std::strtoul(rest.c_str(), nullptr, 10));
            if (output.empty()) {
                output = "No order " + rest + "\n";
                status = "2";
            }
        }
    } else if (verb == "EXIT") {
        if (!all_digits(rest)) {
            output = "EXIT needs a status number, for example EXIT 3\n";
            status = "1";
        } else {
            // Passed on as given, however large: the console decides what it can keep.
            output = "Ending with status " + rest + "\n";
            status = rest;
        }
    } else if (verb == "TITLE") {
        if (!say("Title set to '" + rest + "'\n")) return;
        if (!control('5', title_argument(rest))) return;
    } else if (verb == "WAIT") {
        if (!say("Waiting for the console to close the session\n")) return;
        std::string message;
        while (receive(&message)) {
            if (starts_with_message(message, CLOSE_MESSAGE, sizeof CLOSE_MESSAGE)) {
                say("Closed by the console\n");
                finish();
                return;
            }
        }
        return;
    } else {
        output = "Unknown command '" + trim(text) + "'. Try HELP.\n";
        status = "1";
    }
    if (!say(output)) return;
    if (!control('6', status)) return;
    finish();
}

bool Session::ask(std::string_view prompt, std::string* answer) {
    return say(prompt) && receive(answer);
}

// Key by key: every receive is a key (several, if they came together).
bool Session::quick_menu() {
    // The prompt comes after the marker, in a write of its own: by the time a console shows
    // it, the console is taking single keys.
    if (!control('1', {},
                 "\nQuick menu: L list the orders, T title 'Quick menu', R restore the title,"
                 " Q back\n") ||
        !say("Key: ")) {
        return false;
    }
    std::string keys;
    for (;;) {
        if (!receive(&keys)) return false;
        for (char key : keys) {
            switch (std::toupper(static_cast<unsigned char>(key))) {
                case 'L':
                    if (!say("\n" + orders_list() + "Key: ")) return false;
                    break;
                case 'T':
                    if (!control('5', title_argument("Quick menu"), "\nTitle changed\nKey: ")) {
                        return false;
                    }
                    break;
                case 'R':
                    if (!control('5', {}, "\nTitle restored\nKey: ")) return false;
                    break;
                case 'Q':
                case 27:  // Escape
                    return control('2', {}, "\nBack to the main menu\n");
                default: {
                    char text[64];
                    std::snprintf(text, sizeof text,
                                  "\nKey code %u is not on the quick menu\nKey: ",
                                  static_cast<unsigned char>(key));
                    if (!say(text)) return false;
                }
            }
        }
    }
}

void Session::interactive_mode() {
    std::string line;
    for (;;) {
        if (!ask(MAIN_MENU, &line)) return;
        std::string choice = trim(line);
        if (choice == "1") {
            if (!say(orders_list())) return;
        } else if (choice == "2") {
            if (!ask("Order number: ", &line)) return;
            std::string number = trim(line);
            std::string report =
                all_digits(number) ? order_report(std::strtoul(number.c_str(), nullptr, 10)) : "";
            if (!say(report.empty() ? "No order '" + number + "'\n" : report)) return;
        } else if (choice == "3") {
            if (!quick_menu()) return;
        } else if (choice == "4") {
            if (!ask("New title: ", &line)) return;
            std::string title = trim(line);
            if (title.empty()) {
                if (!say("Title unchanged\n")) return;
            } else if (!control('5', title_argument(title), "Title changed\n")) {
                return;
            }
        } else if (choice == "5") {
            if (!control('5', {}, "Title restored\n")) return;
        } else if (choice == "6") {
            if (!ask("Exit status: ", &line)) return;
            std::string number = trim(line);
            if (!all_digits(number)) {
                if (!say("Not a number: '" + number + "'\n")) return;
            } else if (!control('6', number,
                                "The console will exit with status " + number +
                                    " when the session ends\n")) {
                return;
            }
        } else if (choice == "7") {
            // Command length 9, flags: remember the program, title length 4.
            if (!control('3', "9~80000000~4~sleep 300|Demo", "Started 'sleep 300'\n")) return;
        } else if (choice == "8") {
            if (!control('4', {}, "Asked the console to end the remembered program\n")) return;
        } else if (choice == "0" || choice == "q" || choice == "Q") {
            if (say("Goodbye\n")) finish();
            return;
        } else {
            if (!say("Unknown choice '" + choice + "'\n")) return;
        }
    }
}

}  // namespace demo
