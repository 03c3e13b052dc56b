// A network of the test's own, whose link the test can cut and heal, as a sleeping laptop or a
// dropped Wi-Fi link does: nothing is said to either end, packets just stop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace harness {

// Moves the calling thread into a new network namespace with only loopback, up. Threads and
// programs it starts afterwards (the scripted server's, the console) share it, and no test
// running beside it sees its link go down. The destructor goes back to the namespace it left.
// Needs the right to make namespaces (root, or root of a user namespace, as scripts/test runs
// the end-to-end tests); usable() is false otherwise.
//
// Wine makes a Windows program's sockets in its wine server, one for each prefix directory: for
// a Windows console (console_is_windows) the network has a prefix of its own, sharing the
// test's prefix's drive and copying its registry, whose server the console's start starts here.
class OwnNetwork {
  public:
    OwnNetwork();
    ~OwnNetwork();
    OwnNetwork(const OwnNetwork&) = delete;
    OwnNetwork& operator=(const OwnNetwork&) = delete;

    bool usable() const { return usable_; }
    // Sets loopback up or down (ip link set lo up / down); false when that failed.
    bool set_link(bool up);
    // What the programs started in this network add to their environment (WINEPREFIX).
    std::vector<std::string> environment() const;

  private:
    std::unique_ptr<TempDir> wine_prefix_;
    int left_ = -1;  // the namespace left behind
    bool usable_ = false;
};

}  // namespace harness
