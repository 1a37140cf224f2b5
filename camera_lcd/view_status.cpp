#include "view_status.h"

#include "camera_extras.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Frame times in microseconds, as a histogram: exact below 64 us, then 64
// steps to each doubling (within 1.6 %), so that the median of an interval
// of any length takes no more memory than this.
constexpr int STEP_BITS = 6;
constexpr uint32_t STEPS = 1u << STEP_BITS;
constexpr int TIME_BUCKETS = (32 - STEP_BITS + 1) * STEPS;

struct time_histogram {
    long timed;
    uint32_t max_us;
    uint32_t buckets[TIME_BUCKETS];
};

struct interval_counts {
    double start;
    long drawn;
    time_histogram draw_times; // decoding and drawing each frame
    time_histogram latencies;  // from each frame's capture to its last line on the screen
};

long g_drawn, g_undecodable, g_warned;
interval_counts g_interval;  // since the status line was last printed
interval_counts g_described; // since the status was last described

int bucket_of(uint32_t us)
{
    if (us < STEPS)
        return int(us);
    int shift = 31 - __builtin_clz(us) - STEP_BITS;
    return (shift + 1) * int(STEPS) + int((us >> shift) - STEPS);
}

// The middle of a bucket's range.
double bucket_us(int bucket)
{
    if (bucket < int(STEPS))
        return bucket;
    int shift = bucket / int(STEPS) - 1;
    double low = double((STEPS + uint32_t(bucket) % STEPS) << shift);
    return low + double((1u << shift) - 1) / 2;
}

double median_us(const time_histogram &h)
{
    long seen = 0;
    for (int b = 0; b < TIME_BUCKETS; b++) {
        seen += h.buckets[b];
        if (2 * seen >= h.timed)
            return bucket_us(b);
    }
    return 0;
}

void add_time(time_histogram &h, double seconds)
{
    double us = seconds * 1e6;
    uint32_t clamped = us < 0 ? 0 : us >= double(UINT32_MAX) ? UINT32_MAX : uint32_t(us);
    h.buckets[bucket_of(clamped)]++;
    h.timed++;
    if (clamped > h.max_us)
        h.max_us = clamped;
}

// "; <what> M ms median, N ms at most", when there are times to tell.
void print_times(const char *what, const time_histogram &h)
{
    if (h.timed > 0)
        std::fprintf(stderr, "; %s %.2f ms median, %.2f ms at most", what, median_us(h) / 1000,
                     h.max_us / 1000.0);
}

} // namespace

void count_frame(int result, const jpeg_report &report, double seconds)
{
    if (result == 0)
        g_drawn++, g_interval.drawn++, g_described.drawn++;
    else
        g_undecodable++;
    if (report.warnings > 0)
        g_warned++;
    add_time(g_interval.draw_times, seconds);
}

void count_latency(const timespec &captured, const timespec &shown)
{
    double seconds;
    if (capture_to_screen(captured, shown, &seconds)) {
        add_time(g_interval.latencies, seconds);
        add_time(g_described.latencies, seconds);
    }
}

void print_status(double now)
{
    const interval_counts &in = g_interval;
    double seconds = now - in.start;
    std::fprintf(stderr,
                 "camera_lcd: %ld frames drawn since start, %ld in the last %.1f s (%.1f a "
                 "second); %ld undecodable, %ld with warnings",
                 g_drawn, in.drawn, seconds, seconds > 0 ? double(in.drawn) / seconds : 0.0,
                 g_undecodable, g_warned);
    print_times("decode and draw", in.draw_times);
    print_times("capture to screen", in.latencies);
    camera_status status;
    if (camera_status_known(&status))
        std::fprintf(stderr, "; camera: %u delivered, %u skipped, %u dropped, %u streams started",
                     status.frames_delivered, status.frames_skipped, status.frames_dropped,
                     status.streams_started);
    std::fputc('\n', stderr);
    std::memset(&g_interval, 0, sizeof g_interval);
    g_interval.start = now;
}

void describe_status(double now, char *text, std::size_t size)
{
    interval_counts &in = g_described;
    double seconds = now - in.start;
    int length = std::snprintf(text, size, "%.1f frames drawn a second, %ld undecodable",
                               seconds > 0 ? double(in.drawn) / seconds : 0.0, g_undecodable);
    if (in.latencies.timed > 0 && length >= 0 && std::size_t(length) < size)
        std::snprintf(text + length, size - std::size_t(length),
                      ", capture to screen %.0f ms median", median_us(in.latencies) / 1000);
    std::memset(&in, 0, sizeof in);
    in.start = now;
}
