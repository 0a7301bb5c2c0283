// A stand-in for the kernel driver of one serial device, preloaded into serbolt (LD_PRELOAD) by
// the tests. A pseudo-terminal is kinder than a real adapter: it takes any speed, its queue
// always reads empty and its drain returns at once. For the one device named in
// SERBOLT_SHIM_DEVICE (any path to it) this library makes it behave as real drivers do:
//
//   SERBOLT_SHIM_MAX_BAUD=N     a speed above N baud is not set: the line falls back to 9600,
//                               as the kernel's serial core does for a UART whose clock cannot
//                               make it (tcsetattr still returns 0).
//   SERBOLT_SHIM_STUCK_AFTER=N  after N bytes the device stops taking output, while the driver
//                               still accepts it, as cdc_acm does until its 160 KiB of USB
//                               buffers are full (the tests send less): those bytes stay in the
//                               driver's queue. TIOCOUTQ counts them, tcdrain() waits for them
//                               until a signal interrupts it, TCOFLUSH does not reach them
//                               (Debian 6.1's cdc_acm has no flush), and close() waits for them
//                               for the driver's 30 s closing wait, again until a signal.
//
// Every other descriptor, and every call the device's driver would not treat differently, goes
// straight to the C library.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

long max_baud = -1;        // SERBOLT_SHIM_MAX_BAUD, -1: any speed is set
long stuck_after = -1;     // SERBOLT_SHIM_STUCK_AFTER, -1: output always leaves
long passed = 0;           // bytes handed on to the device
long held = 0;             // bytes accepted but stuck in the driver's queue
bool configured = false;
dev_t device_rdev = 0;

long env_number(const char *name)
{
    const char *text = getenv(name);
    return text != nullptr && *text != '\0' ? strtol(text, nullptr, 10) : -1;
}

void configure()
{
    if (configured)
        return;
    configured = true;
    const char *path = getenv("SERBOLT_SHIM_DEVICE");
    struct stat st;
    if (path != nullptr && stat(path, &st) == 0 && S_ISCHR(st.st_mode))
        device_rdev = st.st_rdev;
    max_baud = env_number("SERBOLT_SHIM_MAX_BAUD");
    stuck_after = env_number("SERBOLT_SHIM_STUCK_AFTER");
}

bool is_device(int fd)
{
    configure();
    struct stat st;
    return device_rdev != 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device_rdev;
}

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long baud_of(speed_t code)
{
    switch (code) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return code > B38400 ? LONG_MAX : 0;
    }
}

// Sleeps until a signal arrives or `seconds` have passed (0: no limit). Returns -1 with EINTR
// when a signal ended it, as an interrupted wait in the kernel does.
int wait_in_driver(time_t seconds)
{
    if (seconds == 0) {
        pause();
        errno = EINTR;
        return -1;
    }
    struct timespec left = { seconds, 0 };
    return nanosleep(&left, &left);
}

}  // namespace

extern "C" {

int tcsetattr(int fd, int action, const struct termios *t) noexcept
{
    static auto real = next<int (*)(int, int, const struct termios *)>("tcsetattr");
    if (t != nullptr && is_device(fd) && max_baud >= 0 && baud_of(cfgetospeed(t)) > max_baud) {
        struct termios fallen = *t;
        cfsetospeed(&fallen, B9600);
        cfsetispeed(&fallen, B9600);
        return real(fd, action, &fallen);
    }
    return real(fd, action, t);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    configure();
    if (stuck_after < 0 || !is_device(fd))
        return real(fd, buf, n);
    size_t pass = passed < stuck_after ? (size_t)(stuck_after - passed) : 0;
    if (pass > n)
        pass = n;
    if (pass > 0) {
        ssize_t w = real(fd, buf, pass);
        if (w <= 0)
            return w;
        passed += w;
        if ((size_t)w < pass)
            return w;
    }
    held += (long)(n - pass);
    return (ssize_t)n;
}

int tcdrain(int fd)
{
    static auto real = next<int (*)(int)>("tcdrain");
    if (held > 0 && is_device(fd))
        return wait_in_driver(0);
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static auto real = next<int (*)(int, unsigned long, void *)>("ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == TIOCOUTQ && held > 0 && is_device(fd)) {
        *static_cast<int *>(arg) = (int)held;
        return 0;
    }
    return real(fd, request, arg);
}

int close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    if (held > 0 && is_device(fd)) {
        wait_in_driver(30);   // cdc_acm's closing wait; a signal cuts it short
        held = 0;
    }
    return real(fd);
}

}  // extern "C"
