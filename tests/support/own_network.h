// A network of the test's own, whose link the test can cut and heal, as a sleeping laptop or a
// dropped Wi-Fi link does: nothing is said to either end, packets just stop.
#pragma once

namespace harness {

// Moves the calling thread into a new network namespace with only loopback, up. Threads and
// programs it starts afterwards (the scripted server's, the console) share it, and no test
// running beside it sees its link go down. The destructor goes back to the namespace it left.
// Needs the right to make namespaces (root, or root of a user namespace, as scripts/test runs
// the end-to-end tests); usable() is false otherwise.
class OwnNetwork {
  public:
    OwnNetwork();
    ~OwnNetwork();
    OwnNetwork(const OwnNetwork&) = delete;
    OwnNetwork& operator=(const OwnNetwork&) = delete;

    bool usable() const { return usable_; }
    // Sets loopback up or down (ip link set lo up / down); false when that failed.
    bool set_link(bool up);

  private:
    int left_ = -1;  // the namespace left behind
    bool usable_ = false;
};

}  // namespace harness
