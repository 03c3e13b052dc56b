// The list of programs the server may start: how the setting and the administrator's file are
// read, and how a program matches an entry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "actions/actions.h"

namespace {

struct Match {
    const char* entry;
    const char* program;
    bool windows;
    bool matches;
};

TEST(ProgramList, ProgramMatchesOnlyItsOwnPath) {
    const Match cases[] = {
        {"notes", "notes", false, true},
        {"notes", "/tmp/x/notes", false, false},  // a name never allows a path
        {"/usr/bin/notes", "/usr/bin/notes", false, true},
        {"/usr/bin/notes", "notes", false, false},  // nor a path the name found on PATH
        {"./notes", "notes", false, false},
        {"notes.exe", "notes", false, false},
        {"notes\\x", "notes\\x", false, true},  // a backslash is a character on POSIX
        {"NOTES.EXE", "notes", true, true},
        {"notes", "Notes.Exe", true, true},
        {"notes", "C:\\x\\notes.exe", true, false},
        {"notes", "C:notes", true, false},  // a drive is a directory
        {"C:\\Tools\\Notes", "c:/tools/NOTES.exe", true, true},
        {"C:\\Tools\\Notes", "C:\\Tools\\Other\\Notes", true, false},
        {"notes.exe.exe", "notes.exe", true, false},
        {"notes", "notes.com", true, false},
        {"notes", "notes.", true, false},
        {"\xc9t\xe9", "\xe9t\xe9", true, false},  // only ASCII letters fold
    };
    for (const Match& c : cases) {
        EXPECT_EQ(program_matches(c.entry, c.program, c.windows), c.matches)
            << "entry '" << c.entry << "', program '" << c.program << "'"
            << (c.windows ? " (Windows)" : "");
    }
}

struct Setting {
    std::string value;
    bool file;
    std::vector<std::string> allowed;
    std::vector<std::string> refused;
};

TEST(ProgramList, SettingAndFileAllowListedProgramsOnly) {
    const std::string too_long(PROGRAM_LIST_TEXT_MAX + 1, 'a');
    std::string too_many;
    for (int i = 0; i <= PROGRAM_LIST_ENTRIES_MAX; ++i) too_many += "a:";
    const Setting cases[] = {
        {"*", false, {"notes", "/bin/sh"}, {}},
        {"none", false, {}, {"notes", "none"}},
        {"", false, {}, {"notes", ""}},
        {"notes::/opt/view:", false, {"notes", "/opt/view"}, {"view", "/opt/notes", ""}},
        {"*:notes", false, {"notes"}, {"view"}},  // "*" is a wildcard only alone
        {"none:notes", false, {"notes", "none"}, {"view"}},
        {too_long, false, {}, {"a", too_long}},
        {too_many, false, {}, {"a"}},
        {"# viewers\n  notes  # the notes\r\n\n/opt/c#/tool\n\t/opt/view\t\n",
         true,
         {"notes", "/opt/c#/tool", "/opt/view"},
         {"#", "viewers", "/opt/c", "the"}},
        {"#*\n*\n", true, {"notes"}, {}},
        {"# nothing yet\n", true, {}, {"notes"}},
    };
    static ProgramList list;
    for (const Setting& c : cases) {
        SCOPED_TRACE((c.file ? "file '" : "setting '") + c.value.substr(0, 40) + "'");
        if (c.file) {
            parse_program_file(c.value.data(), c.value.size(), &list);
        } else {
            parse_program_setting(c.value.c_str(), ':', &list);
        }
        for (const std::string& program : c.allowed) {
            EXPECT_TRUE(program_allowed(list, program.c_str(), false)) << program;
        }
        for (const std::string& program : c.refused) {
            EXPECT_FALSE(program_allowed(list, program.c_str(), false)) << program;
        }
    }
    // Windows lists are separated as PATH is there, by ';': drives keep their ':'.
    parse_program_setting("C:\\Tools\\notes;VIEW.EXE", ';', &list);
    EXPECT_TRUE(program_allowed(list, "c:\\tools\\NOTES.exe", true));
    EXPECT_TRUE(program_allowed(list, "view", true));
    EXPECT_FALSE(program_allowed(list, "C", true));
}

}  // namespace
