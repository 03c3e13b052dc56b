// The list of programs the server may start, against a reference written apart from it: a list
// parsed from any setting admits exactly the programs the reference admits, and so no entry ever
// admits a program with another path (on Windows, another path than the same one in another
// case, with '/' for '\' or with ".exe" left off).
//
// Input: a first byte (bit 0: Windows rules; bit 1: the administrator's file, else the
// variable), then the setting, a NUL and the program.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "check.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> reference_entries(const std::string& setting, bool file, char separator) {
    std::vector<std::string> entries;
    std::string item;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = setting.find(file ? '\n' : separator, start);
        item = setting.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (file) {
            // A '#' first or after a blank starts a comment; blanks around the entry go.
            for (std::size_t i = 0; i < item.size(); ++i) {
                if (item[i] == '#' && (i == 0 || is_blank(item[i - 1]))) {
                    item.resize(i);
                    break;
                }
            }
            while (!item.empty() && is_blank(item.back())) item.pop_back();
            while (!item.empty() && is_blank(item.front())) item.erase(0, 1);
        }
        if (!item.empty()) entries.push_back(item);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return entries;
}

// The path a name stands for, in the form in which two names of one path are equal.
std::string reference_path(std::string name, bool windows) {
    if (!windows) return name;
    for (char& c : name) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

bool reference_has_directory(const std::string& name, bool windows) {
    return name.find_first_of(windows ? "/\\:" : "/") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    bool windows = (data[0] & 1) != 0;
    bool file = (data[0] & 2) != 0;
    char separator = windows ? ';' : ':';
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t nul = rest.find('\0');
    std::string setting = rest.substr(0, nul);
    std::string program = nul == std::string::npos ? "" : rest.substr(nul + 1);
    program = program.substr(0, program.find('\0'));

    static ProgramList list;
    if (file) {
        parse_program_file(setting.data(), setting.size(), &list);
    } else {
        parse_program_setting(setting.c_str(), separator, &list);
    }
    bool allowed = program_allowed(list, program.c_str(), windows);

    std::vector<std::string> entries = reference_entries(setting, file, separator);
    std::size_t held = 0;
    for (const std::string& entry : entries) held += entry.size() + 1;
    if (held > PROGRAM_LIST_TEXT_MAX + 1 || entries.size() > PROGRAM_LIST_ENTRIES_MAX) {
        FUZZ_CHECK(!allowed);  // a list too long to hold refuses every program
        return 0;
    }
    if (entries.size() == 1 && entries[0] == "*") {
        FUZZ_CHECK(allowed);
        return 0;
    }
    if (entries.size() == 1 && entries[0] == "none") {
        FUZZ_CHECK(!allowed);
        return 0;
    }
    bool reference = false;
    for (const std::string& entry : entries) {
        if (program.empty() ||
            reference_has_directory(entry, windows) != reference_has_directory(program, windows)) {
            continue;
        }
        if (reference_path(entry, windows) == reference_path(program, windows)) reference = true;
    }
    FUZZ_CHECK(allowed == reference);
    return 0;
}
