// How the end-to-end tests name the console they drive (VELDRIN_CONSOLE and its launcher), and
// the environment they give the programs they start.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

using Words = std::vector<std::string>;

TEST(ConsoleCommand, LauncherWordsComeBeforeTheConsole) {
    ScopedVariable console("VELDRIN_CONSOLE", "/stage/veldrin.exe");
    ScopedVariable launcher("VELDRIN_CONSOLE_LAUNCHER", "  wine64   --quiet ");
    EXPECT_EQ(harness::console_command({"-p/tmp", "LIST"}),
              (Words{"wine64", "--quiet", "/stage/veldrin.exe", "-p/tmp", "LIST"}));
    EXPECT_TRUE(harness::console_is_windows());
}

TEST(ConsoleCommand, EmptySettingsMeanTheBuiltConsole) {
    ScopedVariable console("VELDRIN_CONSOLE", "");
    ScopedVariable launcher("VELDRIN_CONSOLE_LAUNCHER", "");
    Words command = harness::console_command({"x"});
    ASSERT_EQ(command.size(), 2u);
    EXPECT_EQ(command[0], VELDRIN_BINARY);
    EXPECT_FALSE(harness::console_is_windows());
}

// The console's own settings where the tests run never reach a program a test starts: only
// those the test gives do, and the locale is C unless the test says otherwise.
TEST(ConsoleCommand, ProgramsGetOnlyTheSettingsTheTestGives) {
    ScopedVariable code_page("VELDRIN_CODEPAGE", "850");
    ScopedVariable other("VELDRIN_ANY_SETTING", "1");
    ScopedVariable terminal("VELDRIN_TERMINAL", "from the test's environment");
    ScopedVariable locale("LC_ALL", "C.UTF-8");
    harness::ConsoleProcess env(
        {}, {.program = "/usr/bin/env", .extra_environment = {"VELDRIN_TERMINAL=given"}});
    ASSERT_TRUE(env.wait_exit(10000));
    std::string text = "\n" + env.stdout_text();
    EXPECT_EQ(text.find("\nVELDRIN_CODEPAGE="), std::string::npos) << text;
    EXPECT_EQ(text.find("\nVELDRIN_ANY_SETTING="), std::string::npos) << text;
    EXPECT_NE(text.find("\nVELDRIN_TERMINAL=given\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nVELDRIN_TERMINAL=from"), std::string::npos) << text;
    EXPECT_NE(text.find("\nLC_ALL=C\n"), std::string::npos) << text;
}

}  // namespace
