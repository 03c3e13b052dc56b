#include "own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace harness {

OwnNetwork::OwnNetwork() {
    left_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (left_ < 0) return;
    if (unshare(CLONE_NEWNET) != 0) return;
    usable_ = set_link(true);
}

OwnNetwork::~OwnNetwork() {
    if (left_ < 0) return;
    if (setns(left_, CLONE_NEWNET) != 0) std::abort();
    close(left_);
}

bool OwnNetwork::set_link(bool up) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        if (up) {
            request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        } else {
            request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
        }
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    close(fd);
    return ok;
}

}  // namespace harness
