#include "frame_messages.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int MESSAGES_TRACKED = 32;

struct tracked_message {
    int code;
    bool fatal;
    char text[JPEG_MESSAGE_BYTES]; // the latest
    double last_seen;
    long repeats; // frames since the last line of repeats
};

tracked_message g_messages[MESSAGES_TRACKED];
int g_tracked;
long g_other_repeats;       // of messages the table had no room for
double g_window_start = -1; // the first message, then the end of the last minute; -1: none yet

tracked_message *find_tracked(int code)
{
    for (int i = 0; i < g_tracked; i++)
        if (g_messages[i].code == code)
            return &g_messages[i];
    return nullptr;
}

// A free place, or that of a message gone quiet with no repeats left to tell.
tracked_message *make_room(double now)
{
    if (g_tracked < MESSAGES_TRACKED)
        return &g_messages[g_tracked++];
    for (tracked_message &m : g_messages)
        if (m.repeats == 0 && now - m.last_seen >= REPEATS_REPORT_SECONDS)
            return &m;
    return nullptr;
}

void print_first(const tracked_message &m)
{
    std::fprintf(stderr, "camera_lcd: frame %s: %s\n", m.fatal ? "not decoded" : "with a warning",
                 m.text);
}

void note_message(const jpeg_message &message, bool fatal, double now)
{
    tracked_message *m = find_tracked(message.code);
    bool recent = m && now - m->last_seen < REPEATS_REPORT_SECONDS;
    if (!m)
        m = make_room(now);
    if (!m) {
        g_other_repeats++;
        return;
    }
    if (recent)
        m->repeats++;
    else
        m->code = message.code;
    m->fatal = fatal;
    m->last_seen = now;
    std::snprintf(m->text, sizeof m->text, "%s", message.text);
    if (recent)
        return;
    print_first(*m);
    if (g_window_start < 0)
        g_window_start = now;
}

// Appends to line, cut short rather than overrun.
__attribute__((format(printf, 4, 5))) void append(char *line, std::size_t size, std::size_t *used,
                                                  const char *format, ...)
{
    if (*used >= size)
        return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line + *used, size - *used, format, args);
    va_end(args);
    *used += n > 0 ? std::size_t(n) : 0;
}

} // namespace

void note_frame_messages(const jpeg_report &report, double now)
{
    for (int i = 0; i < report.count; i++)
        note_message(report.messages[i], report.failed && i == report.count - 1, now);
}

void report_repeats(double now)
{
    if (g_window_start < 0 || now - g_window_start < REPEATS_REPORT_SECONDS)
        return;
    long total = g_other_repeats;
    for (int i = 0; i < g_tracked; i++)
        total += g_messages[i].repeats;
    if (total == 0) { // a minute with nothing to tell: the next line counts from now
        g_window_start = now;
        return;
    }
    static char line[MESSAGES_TRACKED * (JPEG_MESSAGE_BYTES + 32) + 128];
    std::size_t used = 0;
    append(line, sizeof line, &used, "camera_lcd: in the last %ld s", long(now - g_window_start));
    const char *separator = ", ";
    for (int i = 0; i < g_tracked; i++) {
        tracked_message &m = g_messages[i];
        if (m.repeats == 0)
            continue;
        append(line, sizeof line, &used, "%s%ld more frames with \"%s\"", separator, m.repeats,
               m.text);
        separator = "; ";
        m.repeats = 0;
    }
    if (g_other_repeats > 0)
        append(line, sizeof line, &used, "; %ld more with other messages", g_other_repeats);
    g_other_repeats = 0;
    std::fprintf(stderr, "%s\n", line);
    g_window_start = now;
}
