// What the live view says of libjpeg's messages over time.
#include "frame_messages.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

// Each step notes a frame's message, or with code 0 asks for the line of
// repeats, at a time in seconds, and must print exactly the text given.
struct message_step {
    double now;
    int code; // 0: report_repeats only
    bool fatal;
    const char *text;
    const char *printed;
};

TEST(FrameMessages, FirstOfEachThenRepeatsAtMostOnceAMinute)
{
    const char *const WARNED =
        "camera_lcd: frame with a warning: Corrupt JPEG data: 3 extraneous bytes\n";
    // clang-format off
    const message_step steps[] = {
        // now  code  fatal  libjpeg's text                           printed
        {0.0,   97, false, "Corrupt JPEG data: 3 extraneous bytes", WARNED},
        {0.1,   97, false, "Corrupt JPEG data: 8 extraneous bytes", ""}, // the same code
        {0.2,   97, false, "Corrupt JPEG data: 5 extraneous bytes", ""},
        {10.0,  49, true,  "Unsupported JPEG data precision 12",
                "camera_lcd: frame not decoded: Unsupported JPEG data precision 12\n"},
        {11.0,  49, true,  "Unsupported JPEG data precision 12", ""},
        {59.9,  0,  false, "", ""},
        {60.0,  0,  false, "",
                "camera_lcd: in the last 60 s, 2 more frames with \"Corrupt JPEG data: 5 extraneous "
                "bytes\"; 1 more frames with \"Unsupported JPEG data precision 12\"\n"},
        {61.0,  0,  false, "", ""},                                           // nothing repeated
        {70.0,  97, false, "Corrupt JPEG data: 3 extraneous bytes", WARNED},  // quiet for a minute
        {71.0,  97, false, "Corrupt JPEG data: 4 extraneous bytes", ""},
        {100.0, 0,  false, "", ""},                                           // a minute after the last line
        {120.0, 0,  false, "",
                "camera_lcd: in the last 60 s, 1 more frames with \"Corrupt JPEG data: 4 extraneous bytes\"\n"},
        {180.0, 0,  false, "", ""},                                           // due, nothing to tell: a new minute all the same
        {190.0, 97, false, "Corrupt JPEG data: 3 extraneous bytes", WARNED},
        {200.0, 97, false, "Corrupt JPEG data: 6 extraneous bytes", ""},
        {230.0, 0,  false, "", ""},
        {240.0, 0,  false, "",
                "camera_lcd: in the last 60 s, 1 more frames with \"Corrupt JPEG data: 6 extraneous bytes\"\n"},
    };
    // clang-format on
    for (const message_step &step : steps) {
        testing::internal::CaptureStderr();
        if (step.code == 0) {
            report_repeats(step.now);
        } else {
            jpeg_report report = {step.fatal, step.fatal ? 0 : 1, 1, {}};
            report.messages[0].code = step.code;
            std::snprintf(report.messages[0].text, sizeof report.messages[0].text, "%s", step.text);
            note_frame_messages(report, step.now);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), step.printed)
            << "at " << step.now << " s";
    }
}

} // namespace
