// The camera library's choices without a device: which buffers are frames,
// which frame size to ask for, and which buffer timestamps are capture times.
#include "frame_rules.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr frame_size SCREEN = {800, 480};

struct buffer_case {
    const char *name;
    uint32_t flags;
    uint32_t bytesused;
    std::size_t length;               // of the image delivered, 0: skipped
    std::vector<unsigned char> bytes; // the mapped buffer
};

std::ostream &operator<<(std::ostream &out, const buffer_case &c)
{
    return out << c.name;
}

class FrameCheck : public ::testing::TestWithParam<buffer_case> {};

TEST_P(FrameCheck, DeliversOnlyUnflaggedWholeJpegImages)
{
    const buffer_case &c = GetParam();
    v4l2_buffer buf = {};
    buf.flags = c.flags;
    buf.bytesused = c.bytesused;
    EXPECT_EQ(complete_frame_length(buf, c.bytes.data(), c.bytes.size()), c.length);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Buffers, FrameCheck,
    ::testing::Values(
        //          name                          flags                bytesused length  the mapped buffer
        buffer_case{"jpeg",                       0,                   7,        7,      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0xFF, 0xD9}},
        buffer_case{"jpeg_with_done_flag",        V4L2_BUF_FLAG_DONE,  4,        4,      {0xFF, 0xD8, 0xFF, 0xD9}},
        buffer_case{"error_flag",                 V4L2_BUF_FLAG_ERROR, 4,        0,      {0xFF, 0xD8, 0xFF, 0xD9}},
        buffer_case{"empty",                      0,                   0,        0,      {0xFF, 0xD8, 0xFF, 0xD9}},
        buffer_case{"one_byte",                   0,                   1,        0,      {0xFF, 0xD8}},
        buffer_case{"zeros_from_a_stale_buffer",  0,                   4,        0,      {0, 0, 0, 0}},
        buffer_case{"starts_mid_stream",          0,                   4,        0,      {0xFF, 0xD9, 0xFF, 0xD8}},
        buffer_case{"only_ff",                    0,                   5,        0,      {0xFF, 0xFF, 0xD8, 0xFF, 0xD9}},
        buffer_case{"cut_short",                  0,                   6,        0,      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}},
        buffer_case{"cut_short_then_zeros",       0,                   7,        0,      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0x00}},
        buffer_case{"end_marker_past_bytesused",  0,                   3,        0,      {0xFF, 0xD8, 0xFF, 0xD9}},
        buffer_case{"zero_padded",                0,                   8,        4,      {0xFF, 0xD8, 0xFF, 0xD9, 0, 0, 0, 0}},
        buffer_case{"stale_bytes_past_padding",   0,                   6,        4,      {0xFF, 0xD8, 0xFF, 0xD9, 0, 0, 0xAB}},
        buffer_case{"end_marker_then_data",       0,                   5,        0,      {0xFF, 0xD8, 0xFF, 0xD9, 0x01}}),
    [](const ::testing::TestParamInfo<buffer_case> &info) { return std::string(info.param.name); });
// clang-format on

struct size_case {
    const char *name;
    std::vector<frame_size> offered;
    frame_size chosen;
};

std::ostream &operator<<(std::ostream &out, const size_case &c)
{
    return out << c.name;
}

class SizeChoice : public ::testing::TestWithParam<size_case> {};

TEST_P(SizeChoice, LargestThatFitsElseSmallest)
{
    const size_case &c = GetParam();
    frame_size chosen = {0, 0};
    ASSERT_TRUE(choose_frame_size(c.offered.data(), c.offered.size(), SCREEN, &chosen));
    EXPECT_EQ(chosen.width, c.chosen.width);
    EXPECT_EQ(chosen.height, c.chosen.height);
}

INSTANTIATE_TEST_SUITE_P(
    Offers, SizeChoice,
    ::testing::Values(
        size_case{"usual_webcam",
                  {{1920, 1080}, {1280, 720}, {640, 480}, {320, 240}, {800, 600}},
                  {640, 480}},
        size_case{"exact_screen", {{320, 240}, {800, 480}, {1024, 768}}, {800, 480}},
        size_case{"wide_but_short_beats_narrow", {{800, 448}, {640, 480}}, {800, 448}},
        size_case{"too_wide_is_out", {{848, 480}, {352, 288}}, {352, 288}},
        size_case{"nothing_fits", {{1920, 1080}, {1280, 720}, {1024, 768}}, {1024, 768}},
        size_case{"single", {{160, 120}}, {160, 120}}),
    [](const ::testing::TestParamInfo<size_case> &info) { return std::string(info.param.name); });

TEST(SizeChoice, NothingOfferedIsNoChoice)
{
    frame_size chosen = {1, 1};
    EXPECT_FALSE(choose_frame_size(nullptr, 0, SCREEN, &chosen));
}

struct stepwise_case {
    v4l2_frmsize_stepwise range;
    frame_size fit;
};

TEST(StepwiseFit, LargestStepWithinTheScreen)
{
    // clang-format off
    const stepwise_case cases[] = {
        // width: min, max, step; height: min, max, step   fit
        {{16, 1920, 16, 16, 1080, 16}, {800, 480}},
        {{1, 4096, 1, 1, 2160, 1}, {800, 480}},     // continuous
        {{100, 1000, 30, 50, 600, 40}, {790, 450}}, // steps do not land on the limit
        {{160, 640, 160, 120, 480, 120}, {640, 480}},
        {{1024, 4096, 8, 768, 2160, 8}, {0, 0}}, // smallest is too large
        {{320, 320, 0, 240, 240, 0}, {320, 240}},
    };
    // clang-format on
    for (const stepwise_case &c : cases) {
        frame_size fit = largest_stepwise_fit(c.range, SCREEN);
        EXPECT_EQ(fit.width, c.fit.width) << c.range.min_width << ".." << c.range.max_width;
        EXPECT_EQ(fit.height, c.fit.height) << c.range.min_height << ".." << c.range.max_height;
    }
}

v4l2_frmivalenum discrete(uint32_t numerator, uint32_t denominator)
{
    v4l2_frmivalenum entry = {};
    entry.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    entry.discrete = {numerator, denominator};
    return entry;
}

v4l2_frmivalenum range(uint32_t type, v4l2_fract min, v4l2_fract max)
{
    v4l2_frmivalenum entry = {};
    entry.type = type;
    entry.stepwise = {min, max, {1, 1}};
    return entry;
}

TEST(IntervalChoice, ShortestListedInterval)
{
    struct interval_case {
        const char *name;
        std::vector<v4l2_frmivalenum> listed;
        v4l2_fract chosen; // {0, 0}: none usable
    };
    // clang-format off
    const interval_case cases[] = {
        {"discrete_default_first", {discrete(1, 10), discrete(1, 30), discrete(1, 15)}, {1, 30}},
        {"in_100_ns_units",        {discrete(666666, 10000000), discrete(333333, 10000000)}, {333333, 10000000}},
        {"unreduced_fractions",    {discrete(2, 60), discrete(1, 25)}, {2, 60}},
        {"zeros_passed_over",      {discrete(0, 30), discrete(1, 0), discrete(1, 5)}, {1, 5}},
        {"stepwise_minimum",       {range(V4L2_FRMIVAL_TYPE_STEPWISE, {1, 60}, {1, 1})}, {1, 60}},
        {"continuous_minimum",     {range(V4L2_FRMIVAL_TYPE_CONTINUOUS, {1, 120}, {2, 1})}, {1, 120}},
        {"large_terms_no_overflow", {discrete(4000000000u, 4000000001u), discrete(4000000000u, 3999999999u)},
                                    {4000000000u, 4000000001u}},
        {"none_listed",            {}, {0, 0}},
        {"none_usable",            {discrete(0, 0)}, {0, 0}},
    };
    // clang-format on
    for (const interval_case &c : cases) {
        v4l2_fract chosen = {0, 0};
        bool found = choose_fastest_interval(c.listed.data(), c.listed.size(), &chosen);
        EXPECT_EQ(found, c.chosen.denominator != 0) << c.name;
        EXPECT_EQ(chosen.numerator, c.chosen.numerator) << c.name;
        EXPECT_EQ(chosen.denominator, c.chosen.denominator) << c.name;
    }
}

TEST(CaptureTime, OnlyAMonotonicTimestampTheDriverGave)
{
    constexpr uint32_t MONOTONIC = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    struct stamp_case {
        uint32_t flags;
        timeval stamp;
        bool known;
    };
    // clang-format off
    const stamp_case cases[] = {
        {MONOTONIC | V4L2_BUF_FLAG_DONE,         {42, 123456}, true},
        {MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE, {42, 123456}, true},
        {MONOTONIC,                              {0, 0},       false}, // none given
        {V4L2_BUF_FLAG_TIMESTAMP_COPY,           {42, 123456}, false}, // another clock
        {V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN,        {42, 123456}, false},
    };
    // clang-format on
    for (const stamp_case &c : cases) {
        v4l2_buffer buf = {};
        buf.flags = c.flags;
        buf.timestamp = c.stamp;
        timespec captured = {0, 0};
        EXPECT_EQ(buffer_capture_time(buf, &captured), c.known) << std::hex << c.flags;
        EXPECT_EQ(captured.tv_sec, c.known ? 42 : 0);
        EXPECT_EQ(captured.tv_nsec, c.known ? 123456000 : 0);
    }
}

struct copy_case {
    const char *name;
    uint32_t flags;
    std::size_t mapped_length; // bytes of the mapped buffer: FF D8, then counting bytes
    uint32_t bytesused;
    std::size_t image_end; // the image's FF D9 ends here, zeros follow up to bytesused
    int32_t length;        // the record's length afterwards; -1: not delivered, record untouched
};

// The counting bytes of a mapped buffer holding an image of image_end bytes,
// padded with zeros up to bytesused; the bytes after that are left over.
std::vector<unsigned char> mapped_buffer(const copy_case &c)
{
    std::vector<unsigned char> mapped(c.mapped_length);
    for (std::size_t i = 0; i < mapped.size(); i++)
        mapped[i] = (unsigned char)(i % 251 + 1);
    std::size_t used = std::min<std::size_t>(c.bytesused, mapped.size());
    std::fill(mapped.begin() + long(std::min(c.image_end, used)), mapped.begin() + long(used), 0);
    if (mapped.size() > 1)
        mapped[0] = 0xFF, mapped[1] = 0xD8;
    if (c.image_end >= 4 && c.image_end <= mapped.size())
        mapped[c.image_end - 2] = 0xFF, mapped[c.image_end - 1] = 0xD9;
    return mapped;
}

// The record's data must hold exactly the mapped bytes it claims, nothing past the mapping.
TEST(FrameCopy, TakesAtMostTheMappedBytesAndTheRecordsSize)
{
    constexpr std::size_t RECORD = CAMERA_FRAME_DATA_BYTES;
    // clang-format off
    const copy_case cases[] = {
        // name                           flags                mapped_length  bytesused     image_end      length
        {"whole_buffer",                   0,                   1000,          1000,         1000,          1000},
        {"partly_filled",                  0,                   1000,          600,          600,           600},
        {"zero_padded",                    0,                   1000,          1000,         900,           900},
        {"partly_filled_and_zero_padded",  0,                   1000,          800,          700,           700},
        {"bytesused_past_the_mapping",     0,                   1000,          5000,         1000,          1000},
        {"bytesused_wrapping_past_4_gib",  0,                   1000,          0xFFFFFFFF,   1000,          1000},
        {"end_marker_past_bytesused",      0,                   1000,          600,          1000,          -1},
        {"as_large_as_the_record",         0,                   RECORD,        RECORD,       RECORD,        int32_t(RECORD)},
        {"larger_than_the_record",         0,                   RECORD + 100,  RECORD + 100, RECORD + 100,  -1},
        {"flagged_as_error",               V4L2_BUF_FLAG_ERROR, 1000,          1000,         1000,          -1},
        {"empty",                          0,                   1000,          0,            1000,          -1},
        {"mapping_of_one_byte",            0,                   1,             1000,         1,             -1},
    };
    // clang-format on
    std::vector<camera_frame> record(1);
    for (const copy_case &c : cases) {
        std::vector<unsigned char> mapped = mapped_buffer(c);
        std::fill(std::begin(record[0].data), std::end(record[0].data), 0xEE);
        record[0].length = -1;
        v4l2_buffer buf = {};
        buf.flags = c.flags;
        buf.bytesused = c.bytesused;

        std::size_t found = complete_frame_length(buf, mapped.data(), mapped.size());
        EXPECT_EQ(found, c.length >= 0 ? std::size_t(c.length) : 0) << c.name;
        if (found > 0)
            copy_complete_frame(mapped.data(), found, &record[0]);
        EXPECT_EQ(record[0].length, c.length) << c.name;
        std::size_t copied = c.length > 0 ? std::size_t(c.length) : 0;
        EXPECT_TRUE(std::equal(mapped.begin(), mapped.begin() + long(copied), record[0].data))
            << c.name;
        if (copied < CAMERA_FRAME_DATA_BYTES) {
            EXPECT_EQ(record[0].data[copied], 0xEE) << c.name << ": written past the frame";
        }
    }
}

} // namespace
