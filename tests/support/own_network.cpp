#include "own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "spawner.h"

namespace harness {

OwnNetwork::OwnNetwork() {
    left_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (left_ < 0) return;
    if (unshare(CLONE_NEWNET) != 0) return;
    usable_ = set_link(true);
    if (!usable_ || !console_is_windows()) return;
    namespace fs = std::filesystem;
    const char* shared = std::getenv("WINEPREFIX");
    fs::path from = shared ? fs::path(shared) : fs::path(std::getenv("HOME")) / ".wine";
    wine_prefix_ = std::make_unique<TempDir>("veldrin-wine");
    fs::path to = wine_prefix_->path();
    for (const char* name : {"drive_c", "dosdevices"})
        fs::create_directory_symlink(from / name, to / name);
    for (const char* name : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"})
        fs::copy_file(from / name, to / name);
}

std::vector<std::string> OwnNetwork::environment() const {
    if (!wine_prefix_) return {};
    return {"WINEPREFIX=" + wine_prefix_->path()};
}

OwnNetwork::~OwnNetwork() {
    if (left_ < 0) return;
    if (wine_prefix_) {
        SpawnRequest request;
        request.argv = {"wineserver", "-k"};
        request.extra_environment = environment();
        request.output = request.errors = Stream::NULL_DEVICE;
        int status = 0;
        waitpid(spawn(request).pid, &status, 0);
    }
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
