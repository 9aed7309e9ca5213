// Preloaded ahead of umockdev's preload into every program run on the
// emulated bus: each udev listener gets an event socket of its own, as
// each netlink socket is its own on the kernel.
//
// umockdev stands a Unix socket in for a uevent netlink socket and names
// it after the descriptor's number alone, removing whatever had that name
// before binding it. Processes forked from one parent (panel_tool watch's
// services, each starting libusb-1.0's udev monitor) open their sockets at
// the same numbers: one takes the other's events away, and when two bind
// at the same moment one fails (EADDRINUSE), which makes libusb-1.0's
// initialisation fail and the panel look like one this user may not open.
// The name here adds the process, in a form umockdev's sender still
// finds ("event<fd>.<pid>" matches its "event[0-9]*").

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Whether umockdev's socket() already put a Unix socket in for the
// netlink one this bind names.
bool standsInForNetlink(int fd, const struct sockaddr *addr)
{
    int domain = 0;
    socklen_t size = sizeof domain;
    return addr != nullptr && addr->sa_family == AF_NETLINK &&
           getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX;
}

} // namespace

extern "C" int bind(int fd, const struct sockaddr *addr, socklen_t length)
{
    using Bind = int (*)(int, const sockaddr *, socklen_t);
    static Bind next = nullptr;
    const char *testbed = std::getenv("UMOCKDEV_DIR");
    if (testbed != nullptr && standsInForNetlink(fd, addr)) {
        sockaddr_un own{};
        own.sun_family = AF_UNIX;
        const int n = std::snprintf(own.sun_path, sizeof own.sun_path, "%s/event%d.%ld", testbed, fd,
                                    static_cast<long>(getpid()));
        if (n > 0 && static_cast<std::size_t>(n) < sizeof own.sun_path) {
            unlink(own.sun_path);  // left by an earlier process of this number
            // Past umockdev's bind, which would pick the shared name.
            return static_cast<int>(syscall(SYS_bind, fd, &own, sizeof own));
        }
    }
    if (next == nullptr)
        next = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
    return next(fd, addr, length);
}
