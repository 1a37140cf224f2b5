#include "service_notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int g_socket = -1;
sockaddr_un g_address;
socklen_t g_address_length;
double g_watchdog_seconds;
double g_next_due;
bool g_send_failure_told;

// The socket's address from NOTIFY_SOCKET: a path, or an abstract name after '@'.
bool set_address(const char *name)
{
    std::size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length < 2 || length >= sizeof g_address.sun_path) {
        std::fprintf(stderr,
                     "Unable to tell systemd how the view is: NOTIFY_SOCKET=%s names no socket\n",
                     name);
        return false;
    }
    g_address.sun_family = AF_UNIX;
    std::memcpy(g_address.sun_path, name, length + 1);
    bool abstract = name[0] == '@';
    if (abstract)
        g_address.sun_path[0] = '\0'; // and its end is the address's length, not a '\0'
    g_address_length = socklen_t(offsetof(sockaddr_un, sun_path) + length + !abstract);
    return true;
}

// The watchdog's period when it is this process's: WATCHDOG_PID, when set,
// names the process it is for.
double watchdog_seconds()
{
    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    if (!usec || (pid && std::strtol(pid, nullptr, 10) != getpid()))
        return 0;
    char *end;
    unsigned long long us = std::strtoull(usec, &end, 10);
    return *end == '\0' && end != usec ? double(us) / 1e6 : 0;
}

} // namespace

void notify_open()
{
    if (g_socket >= 0)
        close(g_socket);
    g_socket = -1;
    g_watchdog_seconds = g_next_due = 0;
    g_send_failure_told = false;
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (!name || !set_address(name))
        return;
    g_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (g_socket < 0) {
        std::fprintf(stderr, "Unable to tell systemd how the view is (socket): %s (%d)\n",
                     std::strerror(errno), errno);
        return;
    }
    g_watchdog_seconds = watchdog_seconds();
}

double notify_watchdog_seconds()
{
    return g_watchdog_seconds;
}

bool notify_due(double now)
{
    if (g_socket < 0 || now < g_next_due)
        return false;
    double period = STATUS_SECONDS;
    if (g_watchdog_seconds > 0 && g_watchdog_seconds / 4 < period)
        period = g_watchdog_seconds / 4;
    g_next_due = now + period;
    return true;
}

void notify_send(const char *message)
{
    if (g_socket < 0)
        return;
    ssize_t sent;
    while ((sent = sendto(g_socket, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&g_address), g_address_length)) < 0 &&
           errno == EINTR)
        continue;
    if (sent < 0 && !g_send_failure_told) {
        g_send_failure_told = true;
        std::fprintf(stderr, "Unable to tell systemd how the view is (sendto %s): %s (%d)\n",
                     std::getenv("NOTIFY_SOCKET"), std::strerror(errno), errno);
    }
}
