// The end-to-end test harness: temporary directories, address files, a scripted server that
// plays the database manager on 127.0.0.1, the bare servers it cannot play (raw_servers.h), and
// the console (or any program) run as a child process with its output captured or held.
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

#include "address_file.h"
#include "console_process.h"
#include "own_network.h"
#include "raw_servers.h"
#include "scripted_server.h"
#include "temp_dir.h"
