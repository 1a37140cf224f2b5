// The one form of a failure line: "Unable to <what>: <error text> (<errno>)",
// what formatted as by printf, the error that of the failed call. Header
// only, so that our camera library, a shared library of its own, takes it
// without linking anything.
#ifndef FAILURE_LINE_H
#define FAILURE_LINE_H

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

constexpr std::size_t FAILURE_LINE_BYTES = 512;

// The last line report_new_failure printed: a call that is tried again and
// again and fails the same way is told once, until the line is forgotten
// (told_failure{}) when the call succeeds.
struct told_failure {
    char line[FAILURE_LINE_BYTES];
};

// Prints the line for errno on standard error, unless told (when not null)
// holds it already; returns -1 with errno as it was.
inline int vreport_failure(told_failure *told, const char *what, va_list args)
{
    int err = errno;
    char action[FAILURE_LINE_BYTES / 2]; // and room for the error's text
    std::vsnprintf(action, sizeof action, what, args);
    char line[FAILURE_LINE_BYTES];
    std::snprintf(line, sizeof line, "Unable to %s: %s (%d)\n", action, std::strerror(err), err);
    if (!told || std::strcmp(line, told->line) != 0)
        std::fputs(line, stderr);
    if (told)
        std::memcpy(told->line, line, sizeof line);
    errno = err;
    return -1;
}

__attribute__((format(printf, 1, 2))) inline int report_failure(const char *what, ...)
{
    va_list args;
    va_start(args, what);
    vreport_failure(nullptr, what, args);
    va_end(args);
    return -1;
}

__attribute__((format(printf, 2, 3))) inline int report_new_failure(told_failure *told,
                                                                    const char *what, ...)
{
    va_list args;
    va_start(args, what);
    vreport_failure(told, what, args);
    va_end(args);
    return -1;
}

// "Unable to <what>" where the reason is no errno: what says it after a colon.
__attribute__((format(printf, 1, 2))) inline int report_refusal(const char *what, ...)
{
    char action[FAILURE_LINE_BYTES];
    va_list args;
    va_start(args, what);
    std::vsnprintf(action, sizeof action, what, args);
    va_end(args);
    std::fprintf(stderr, "Unable to %s\n", action);
    return -1;
}

#endif
