// Helpers shared by the tests: scratch folders, guarded memory, running
// programs, decoding JPEG files with djpeg as the reference, and screens as
// the virtual framebuffer's layouts store them.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include "guarded_memory.h"
#include "screen_image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Decodes a JPEG file with libjpeg-turbo's djpeg; greyscale comes back as R = G = B.
rgb_image djpeg_decode(const std::string &jpeg_path);

struct vfb_layout;
// How a pixel R, G, B must appear in the memory of a screen layout of the
// virtual framebuffer, written out by hand for each layout.
struct layout_pixels {
    const char *name; // in the virtual framebuffer's table
    int bytes_per_pixel;
    void (*put)(const unsigned char *rgb, unsigned char *pixel);
};
// Every layout of the table that the programs draw on.
extern const std::vector<layout_pixels> DRAWABLE_LAYOUTS;
const layout_pixels *find_layout_pixels(const std::string &name);
inline std::ostream &operator<<(std::ostream &out, const layout_pixels &l)
{
    return out << l.name;
}
// The layout's name as a test name may hold it.
std::string layout_id(const char *name);
// Puts image into a screen's memory with its top-left corner at (x, y) of
// what the display shows (the layout's pan), clipped.
void put_image(unsigned char *screen, const vfb_layout &layout, const layout_pixels &pixels,
               const rgb_image &image, long x, long y);

// A fresh folder under the system's temporary folder, removed with its contents
// when the object goes.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string path(const std::string &name) const
    {
        return dir + "/" + name;
    }
    std::string dir;
};

// Guarded memory (see guarded_memory.h) for as long as the object lives.
struct guarded_buffer {
    explicit guarded_buffer(std::size_t size) : data(map_guarded(size)), size(size) {}
    // A copy of bytes, ending right at the guard page: a read past them faults.
    explicit guarded_buffer(const std::vector<unsigned char> &bytes) : guarded_buffer(bytes.size())
    {
        std::copy(bytes.begin(), bytes.end(), data);
    }
    ~guarded_buffer()
    {
        unmap_guarded(data, size);
    }
    guarded_buffer(const guarded_buffer &) = delete;
    guarded_buffer &operator=(const guarded_buffer &) = delete;
    unsigned char *data;
    std::size_t size;
};

struct run_result {
    int exit_status = -1; // the status the program exited with, or -1
    int signal = 0;       // the signal that ended it, or 0
    std::string out;
    std::string err;
    double cpu_seconds = 0; // its user and system time
    long peak_kib = 0;      // its peak resident memory (under an emulator, the emulator's)
};

// Runs a program to its end with extra "NAME=value" entries in its environment;
// in a cross build, programs built for the target run through its emulator.
// With stop_once_err_has, a program that does not end by itself is ended with
// SIGTERM once its standard error holds that text (or after a minute without).
run_result run_program(std::vector<std::string> argv, std::vector<std::string> env,
                       const std::string &stop_once_err_has = "");

// The exit status of body, run in a child process that has no power over file
// modes: when this process is root, the child drops to an unprivileged user
// (65534). -1 when the child did not exit by itself.
int exit_status_unprivileged(int (*body)(const char *), const char *arg);

// A datagram socket of the test's own in place of systemd's notify socket:
// name is a path, or an abstract name after '@'. It keeps each message that
// comes, with the seconds since it was opened, until messages() is asked.
struct notify_listener {
    struct message {
        double seconds;
        std::string text;
    };
    explicit notify_listener(std::string name);
    ~notify_listener();
    notify_listener(const notify_listener &) = delete;
    notify_listener &operator=(const notify_listener &) = delete;
    // Stops listening; the messages that came, in order.
    std::vector<message> messages();

    std::string name;

  private:
    int fd = -1, stop[2] = {-1, -1};
    std::vector<message> received;
    struct listening;
    listening *thread = nullptr;
};

// True in a cross build, whose programs run through user-mode QEMU.
bool runs_under_emulator();

std::vector<unsigned char> read_bytes(const std::string &path);
// The lines of a text, and of a text file (none when it cannot be read).
std::vector<std::string> lines_of(const std::string &text);
std::vector<std::string> file_lines(const std::string &path);
void write_file(const std::string &path, const std::vector<unsigned char> &bytes);

#endif
