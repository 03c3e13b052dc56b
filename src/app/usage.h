// What "veldrin --help" and "veldrin --version" print, and when the command line asks for it;
// and the banner interactive mode starts with. The texts that name the version are all here.
#pragma once

extern const char USAGE_TEXT[];
extern const char VERSION_TEXT[];
extern const char BANNER[];

// The text the command line asks for: the usage for "--help" and the version for "--version",
// each only when it is the only argument; null otherwise, and then the words keep their usual
// meaning (an option word that is skipped, or command text). Pure.
const char* requested_information(int argc, const char* const* argv);
