// lcd_draw FILE [X Y]: draws one JPEG or BMP file with its top-left corner at
// (X, Y) over what the screen shows, through the LCD module's calls, and exits.
// The file is looked at before the screen is opened, so that a file that
// cannot be drawn leaves the screen as it was.
#include "failure_line.h"
#include "image_input.h"
#include "lcd_api.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class image_kind { none, jpeg, bmp };

constexpr unsigned char JPEG_START[] = {0xFF, 0xD8, 0xFF}; // start of image, then a marker
constexpr unsigned char BMP_START[] = {'B', 'M'};
constexpr const char PROGRAM_NAME[] = "lcd_draw";

// A decimal integer that fits an int, and nothing else: no blanks, no other
// base, no characters after it.
bool parse_int(const char *text, int *value)
{
    const char *digits = text + (text[0] == '-' || text[0] == '+');
    if (*digits < '0' || *digits > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *value = int(v);
    return true;
}

bool starts_with(const unsigned char *head, ssize_t length, const unsigned char *start,
                 std::size_t start_length)
{
    return length >= ssize_t(start_length) && std::memcmp(head, start, start_length) == 0;
}

// Tells a JPEG from a BMP by the file's first bytes, whatever its name; none
// after one line when it is neither, cannot be read or cannot be drawn.
image_kind find_kind(const char *path)
{
    int fd = open_image_file(path);
    if (fd < 0) {
        report_failure("open %s", path);
        return image_kind::none;
    }
    unsigned char head[sizeof JPEG_START] = {};
    ssize_t length = read(fd, head, sizeof head);
    struct stat st = {};
    int result = length < 0           ? report_failure("read %s", path)
                 : fstat(fd, &st) < 0 ? report_failure("query %s (fstat)", path)
                                      : 0;
    close(fd);
    if (result < 0)
        return image_kind::none;
    if (starts_with(head, length, JPEG_START, sizeof JPEG_START)) {
        if (st.st_size >= LCD_MIN_JPEG_FILE_BYTES)
            return image_kind::jpeg;
        std::fprintf(
            stderr,
            "lcd_draw: %s: a JPEG file of %lld bytes, shorter than the %d the LCD module draws\n",
            path, (long long)st.st_size, LCD_MIN_JPEG_FILE_BYTES);
        return image_kind::none;
    }
    if (starts_with(head, length, BMP_START, sizeof BMP_START))
        return image_kind::bmp;
    std::fprintf(stderr, "lcd_draw: %s is neither a JPEG nor a BMP file\n", path);
    return image_kind::none;
}

int draw_file(image_kind kind, int x, int y, const char *path)
{
    if (kind == image_kind::jpeg)
        return lcd_draw_jpg(x, y, path);
    if (lcd_draw_bmp(x, y, path) == 0)
        return 0;
    // lcd_draw_bmp says why only when it cannot open the file; otherwise it
    // has printed the header's values, and refused the format or the size.
    std::fprintf(stderr, "lcd_draw: %s: not a BMP file the LCD module draws\n", path);
    return -1;
}

int draw(image_kind kind, int x, int y, const char *path)
{
    if (lcd_open() < 0)
        return -1;
    int result = mmap_lcd() < 0 ? -1 : draw_file(kind, x, y, path);
    lcd_close();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    int x = 0, y = 0;
    if ((argc != 2 && argc != 4) ||
        (argc == 4 && (!parse_int(argv[2], &x) || !parse_int(argv[3], &y)))) {
        // A program run with no arguments at all has no name, or an empty one.
        std::printf("Usage: %s FILE [X Y]\n", argc > 0 && *argv[0] ? argv[0] : PROGRAM_NAME);
        return 1;
    }
    image_kind kind = find_kind(argv[1]);
    if (kind == image_kind::none || draw(kind, x, y, argv[1]) < 0)
        return 1;
    return 0;
}
