// The launch control's command text split into words: every word lies in the splitter's own
// buffer, text with no quotes or backslashes splits exactly at blanks, and words quoted back
// into a command text split into the same words again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "platform/posix/process.h"

namespace {

using platform::posix::CommandWords;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> words_of(const CommandWords& words) {
    std::vector<std::string> list;
    for (int i = 0; i < words.count; ++i) list.emplace_back(words.words[i]);
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string command(reinterpret_cast<const char*>(data), size);
    command = command.substr(0, command.find('\0'));  // the command reaches the splitter NUL-ended
    static CommandWords words;
    if (!platform::posix::split_command(command.c_str(), &words)) {
        FUZZ_CHECK(command.size() > platform::posix::COMMAND_TEXT_MAX ||
                   command.find_first_of("'\"") != std::string::npos);
        return 0;
    }
    FUZZ_CHECK(command.size() <= platform::posix::COMMAND_TEXT_MAX);
    FUZZ_CHECK(words.count >= 0 && words.count <= platform::posix::COMMAND_WORDS_MAX);
    FUZZ_CHECK(words.words[words.count] == nullptr);
    std::size_t characters = 0;
    for (int i = 0; i < words.count; ++i) {
        const char* word = words.words[i];
        FUZZ_CHECK(word >= words.text && word < words.text + sizeof words.text);
        std::size_t length = std::strlen(word);
        FUZZ_CHECK(word + length < words.text + sizeof words.text);
        characters += length;
    }
    FUZZ_CHECK(characters <= command.size());

    std::vector<std::string> split = words_of(words);
    if (command.find_first_of("'\"\\") == std::string::npos) {
        std::vector<std::string> expected;
        std::string word;
        bool in_word = false;
        for (char c : command) {
            if (is_blank(c)) {
                if (in_word) expected.push_back(word);
                word.clear();
                in_word = false;
            } else {
                word += c;
                in_word = true;
            }
        }
        if (in_word) expected.push_back(word);
        FUZZ_CHECK(split == expected);
    }

    // Quoted back with single quotes (a quote inside a word as '\''), the words come back.
    std::string quoted;
    for (const std::string& word : split) {
        if (!quoted.empty()) quoted += ' ';
        quoted += '\'';
        for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        quoted += '\'';
    }
    if (quoted.size() <= platform::posix::COMMAND_TEXT_MAX) {
        static CommandWords again;
        FUZZ_CHECK(platform::posix::split_command(quoted.c_str(), &again));
        FUZZ_CHECK(words_of(again) == split);
    }
    return 0;
}
