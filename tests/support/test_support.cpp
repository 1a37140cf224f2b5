#include "test_support.h"
#include "vfb_layouts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Without binfmt, a cross-built program runs through the emulator. The
// loader's variables (LD_PRELOAD, LD_LIBRARY_PATH) go through -E, so that the
// emulator's own loader does not read them; the rest stay in the emulator's
// environment, which it hands on, as -E would split a value at its commas.
#ifdef TARGET_EMULATOR
// The ELF machine this test was built for.
#if defined(__aarch64__)
constexpr uint16_t OWN_MACHINE = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t OWN_MACHINE = EM_ARM;
#else
constexpr uint16_t OWN_MACHINE = EM_X86_64;
#endif

// True for a program built for the same machine as this test.
bool is_own_machine_program(const std::string &path)
{
    unsigned char header[20] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(header), sizeof header))
        return false;
    return std::memcmp(header, ELFMAG, SELFMAG) == 0 &&
           (header[18] | header[19] << 8) == OWN_MACHINE; // e_machine, little-endian
}

// The target program may follow a host command that starts it (setpriv ...).
void wrap_in_emulator(std::vector<std::string> &argv, std::vector<std::string> &env)
{
    auto program = std::find_if(argv.begin(), argv.end(), is_own_machine_program);
    if (program == argv.end())
        return;
    std::vector<std::string> emulator = {TARGET_EMULATOR}, handed_on;
    for (const std::string &e : env) {
        if (e.compare(0, 3, "LD_") != 0) {
            handed_on.push_back(e);
            continue;
        }
        emulator.push_back("-E");
        emulator.push_back(e);
    }
    argv.insert(program, emulator.begin(), emulator.end());
    env = handed_on;
}

#else
void wrap_in_emulator(std::vector<std::string> &, std::vector<std::string> &) {}
#endif

// Runs the program in the forked child with standard input empty and the
// output to the given files; status 127 when it cannot be started.
[[noreturn]] void exec_child(std::vector<char *> &args, std::vector<char *> &envp, int out_fd,
                             int err_fd)
{
    int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in_fd >= 0 && dup2(in_fd, 0) == 0 && dup2(out_fd, 1) == 1 && dup2(err_fd, 2) == 2) {
        execvpe(args[0], args.data(), envp.data());
        dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
    }
    _exit(127);
}

// Waits for the program's end, filling usage. With stop_text, ends it with
// SIGTERM once its standard error (written to err_path) holds that text, or
// after STOP_LIMIT_MS, a guard for a program that never says it.
int wait_for_end(pid_t pid, const char *err_path, const std::string &stop_text, rusage *usage)
{
    constexpr int STEP_MS = 10;
    constexpr int STOP_LIMIT_MS = 60 * 1000;
    constexpr timespec STEP = {0, STEP_MS * 1000 * 1000};
    int status = 0;
    if (!stop_text.empty()) {
        for (int waited_ms = 0; waited_ms < STOP_LIMIT_MS; waited_ms += STEP_MS) {
            pid_t ended = wait4(pid, &status, WNOHANG, usage);
            if (ended == pid)
                return status;
            if (ended < 0 && errno != EINTR)
                fail("wait4");
            std::vector<unsigned char> err = read_bytes(err_path);
            if (std::search(err.begin(), err.end(), stop_text.begin(), stop_text.end()) !=
                err.end())
                break;
            nanosleep(&STEP, nullptr);
        }
        kill(pid, SIGTERM);
    }
    while (wait4(pid, &status, 0, usage) < 0)
        if (errno != EINTR)
            fail("wait4");
    return status;
}

} // namespace

int exit_status_unprivileged(int (*body)(const char *), const char *arg)
{
    constexpr uid_t UNPRIVILEGED = 65534;
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(UNPRIVILEGED) != 0 || setuid(UNPRIVILEGED) != 0))
            _exit(126);
        _exit(body(arg));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            fail("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool runs_under_emulator()
{
#ifdef TARGET_EMULATOR
    return true;
#else
    return false;
#endif
}

rgb_image djpeg_decode(const std::string &jpeg_path)
{
    scratch_dir tmp;
    std::string pnm_path = tmp.path("decoded.pnm");
    run_result r = run_program({DJPEG_PROGRAM, "-pnm", "-outfile", pnm_path, jpeg_path}, {});
    if (r.exit_status != 0 && r.exit_status != 2) // 2: decoded with warnings
        throw std::runtime_error("djpeg failed on " + jpeg_path + ": " + r.err);
    rgb_image image;
    std::string why_not = parse_pnm(read_bytes(pnm_path), image);
    if (!why_not.empty())
        throw std::runtime_error("djpeg's output for " + jpeg_path + ": " + why_not);
    return image;
}

namespace {

void bgr0(const unsigned char *c, unsigned char *p)
{
    p[0] = c[2], p[1] = c[1], p[2] = c[0], p[3] = 0;
}
void rgb0(const unsigned char *c, unsigned char *p)
{
    p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 0;
}
void zbgr(const unsigned char *c, unsigned char *p)
{
    p[0] = 0, p[1] = c[2], p[2] = c[1], p[3] = c[0];
}
void zrgb(const unsigned char *c, unsigned char *p)
{
    p[0] = 0, p[1] = c[0], p[2] = c[1], p[3] = c[2];
}
void bgr(const unsigned char *c, unsigned char *p)
{
    p[0] = c[2], p[1] = c[1], p[2] = c[0];
}
void rgb(const unsigned char *c, unsigned char *p)
{
    p[0] = c[0], p[1] = c[1], p[2] = c[2];
}
void word16(unsigned v, unsigned char *p)
{
    p[0] = v & 0xFF, p[1] = v >> 8;
}
void rgb565(const unsigned char *c, unsigned char *p)
{
    word16((c[0] >> 3) << 11 | (c[1] >> 2) << 5 | c[2] >> 3, p);
}
void bgr565(const unsigned char *c, unsigned char *p)
{
    word16((c[2] >> 3) << 11 | (c[1] >> 2) << 5 | c[0] >> 3, p);
}

} // namespace

const std::vector<layout_pixels> DRAWABLE_LAYOUTS = {
    {"xrgb8888", 4, bgr0},
    {"xbgr8888", 4, rgb0},
    {"rgbx8888", 4, zbgr},
    {"bgrx8888", 4, zrgb},
    {"xrgb8888-padded", 4, bgr0},
    {"rgb888", 3, bgr},
    {"bgr888", 3, rgb},
    {"rgb565", 2, rgb565},
    {"bgr565", 2, bgr565},
    {"xrgb8888-1024x600", 4, bgr0},
    {"xrgb8888-640x480", 4, bgr0},
    {"xrgb8888-panned", 4, bgr0},
    {"rgb565-panned-xy", 2, rgb565},
};

const layout_pixels *find_layout_pixels(const std::string &name)
{
    for (const layout_pixels &l : DRAWABLE_LAYOUTS)
        if (name == l.name)
            return &l;
    return nullptr;
}

std::string layout_id(const char *name)
{
    std::string id(name);
    for (char &c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return id;
}

void put_image(unsigned char *screen, const vfb_layout &layout, const layout_pixels &pixels,
               const rgb_image &image, long x, long y)
{
    screen += std::size_t(layout.yoffset) * layout.line_length +
              std::size_t(layout.xoffset) * pixels.bytes_per_pixel;
    for (long sy = std::max(0L, y); sy < y + image.height && sy < long(layout.yres); sy++)
        for (long sx = std::max(0L, x); sx < x + image.width && sx < long(layout.xres); sx++)
            pixels.put(&image.rgb[(std::size_t(sy - y) * image.width + std::size_t(sx - x)) * 3],
                       screen + std::size_t(sy) * layout.line_length +
                           std::size_t(sx) * pixels.bytes_per_pixel);
}

scratch_dir::scratch_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/lcdtest.XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp " + pattern);
    dir = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored; // a folder that cannot be removed stays behind
    std::filesystem::remove_all(dir, ignored);
}

run_result run_program(std::vector<std::string> argv, std::vector<std::string> env,
                       const std::string &stop_once_err_has)
{
    wrap_in_emulator(argv, env);
    char out_path[] = "/tmp/lcdtest-out.XXXXXX";
    char err_path[] = "/tmp/lcdtest-err.XXXXXX";
    int out_fd = mkostemp(out_path, O_CLOEXEC), err_fd = mkostemp(err_path, O_CLOEXEC);
    if (out_fd < 0 || err_fd < 0)
        fail("mkostemp");

    std::vector<std::string> environment(env);
    for (char **e = environ; *e; e++)
        environment.push_back(*e); // the first entry of a name wins
    std::vector<char *> envp, args;
    for (std::string &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    // A child with an address space of its own, not one sharing this one as
    // posix_spawn's does: its peak memory (rusage) is then its own, or at most
    // this process's resident memory at the fork.
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0)
        exec_child(args, envp, out_fd, err_fd);
    rusage usage = {};
    int status = wait_for_end(pid, err_path, stop_once_err_has, &usage);

    run_result result;
    result.cpu_seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    result.peak_kib = usage.ru_maxrss;
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    std::vector<unsigned char> out = read_bytes(out_path), err = read_bytes(err_path);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    close(out_fd);
    close(err_fd);
    unlink(out_path);
    unlink(err_path);
    return result;
}

std::vector<unsigned char> read_bytes(const std::string &path)
{
    std::vector<unsigned char> bytes;
    if (!read_file(path, bytes))
        fail("open " + path);
    return bytes;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> file_lines(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    return lines_of(text.str());
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        fail("write " + path);
}

struct notify_listener::listening {
    std::thread thread;
};

notify_listener::notify_listener(std::string socket_name) : name(std::move(socket_name))
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] != '@'));
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) < 0 ||
        pipe2(stop, O_CLOEXEC) < 0)
        throw std::runtime_error("notify_listener " + name + ": " + std::strerror(errno));
    auto start = std::chrono::steady_clock::now();
    thread = new listening{std::thread([this, start] {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
        while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
            char text[4096];
            ssize_t got = recv(fd, text, sizeof text, 0);
            std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
            if (got >= 0)
                received.push_back({since.count(), std::string(text, std::size_t(got))});
        }
    })};
}

std::vector<notify_listener::message> notify_listener::messages()
{
    if (thread) {
        // The program has ended: let the thread read what it sent first.
        pollfd pending = {fd, POLLIN, 0};
        while (poll(&pending, 1, 100) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (write(stop[1], "", 1) != 1)
            throw std::runtime_error("notify_listener: cannot stop");
        thread->thread.join();
        delete thread;
        thread = nullptr;
    }
    return received;
}

notify_listener::~notify_listener()
{
    messages();
    for (int d : {fd, stop[0], stop[1]})
        if (d >= 0)
            close(d);
    if (name[0] == '/')
        unlink(name.c_str());
}
