// Tells systemd how the live view is, when systemd started it as a service of
// Type=notify: ready, alive (its watchdog) and a short status text. The
// messages go as datagrams to the socket NOTIFY_SOCKET names, the protocol
// systemd documents as stable for programs that do without libsystemd (as
// boards with another init do). Without NOTIFY_SOCKET every call does nothing.
#ifndef SERVICE_NOTIFY_H
#define SERVICE_NOTIFY_H

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID. A socket name that
// cannot be used is told in one line, and nothing is sent.
void notify_open();
// The seconds within which systemd's watchdog wants to hear from this
// process; 0 when there is no watchdog for it.
double notify_watchdog_seconds();
// True when a message is due at now seconds into the run, and then not again
// until a quarter of the watchdog's period or, at most, STATUS_SECONDS have
// passed; false without NOTIFY_SOCKET.
bool notify_due(double now);
// Sends message (lines of KEY=value); it never waits for the socket. Of the
// failures to send, the first is told in one line.
void notify_send(const char *message);

// How often the status text is sent at the least.
constexpr double STATUS_SECONDS = 5;

#endif
