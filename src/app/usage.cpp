// The usage, version and banner texts. The version is the project's, which CMakeLists.txt
// sets once (project(veldrin VERSION ...)) and passes as VELDRIN_VERSION; no other file names it.
#include "app/usage.h"

#include <cstring>

#ifndef VELDRIN_VERSION
#error "VELDRIN_VERSION is the project's version, defined by the build"
#endif

const char USAGE_TEXT[] =
    "Usage: veldrin [-pDIRECTORY | -C] [COMMAND TEXT...]\n"
    "       veldrin --help | --version\n"
    "\n"
    "The console of the Kestrane Database Manager server. It reads the server's address from\n"
    "KORVDBM.ADR in the working directory. Without command text it runs interactively and keeps\n"
    "itself connected; with command text it runs that one command and exits with the status the\n"
    "server sets.\n"
    "\n"
    "  -pDIRECTORY  change to DIRECTORY first (joined to -p, in one word)\n"
    "  -C           end the console instead of retrying when a session is lost\n"
    "  --help       print this text and exit (only as the only argument)\n"
    "  --version    print the version and exit (only as the only argument)\n"
    "\n"
    "Only the first argument can be an option, and only its first two characters count; any\n"
    "other first argument that begins with '-' is skipped.\n"
    "\n"
    "At a terminal, a tilde typed first on a line (at the start, or after Enter) is an escape:\n"
    "  ~.  end the console (the terminal put back, as on Cancel)\n"
    "  ~~  send one ~ (a ~ before any other key sends both)\n"
    "VELDRIN_ESCAPE=none turns the escape off; one character there takes the tilde's place.\n"
    "\n"
    "Settings:\n"
    "  VELDRIN_KEEPALIVE=SECONDS  a server silent this long (2 to 3600, default 30) counts as\n"
    "               gone, even when the network dies without a word; 0 leaves the system's own\n"
    "               settings\n"
    "\n"
    "The server can start programs on this machine as you: connect only to servers you trust,\n"
    "or name the programs it may start in VELDRIN_PROGRAMS (a list like PATH, or none).\n"
    "See veldrin(1).\n";

const char VERSION_TEXT[] = "veldrin " VELDRIN_VERSION "\n";
const char BANNER[] = "Kestrane Database Manager Console " VELDRIN_VERSION "\n";

const char* requested_information(int argc, const char* const* argv) {
    if (argc != 2) return nullptr;
    if (std::strcmp(argv[1], "--help") == 0) return USAGE_TEXT;
    if (std::strcmp(argv[1], "--version") == 0) return VERSION_TEXT;
    return nullptr;
}
