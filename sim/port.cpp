// --port: the simulator serves on a serial device that exists already (a USB adapter wired to
// the host's adapter by a null-modem cable, a USB gadget's serial port) instead of a
// pseudo-terminal of its own. The line is set up as the Korvan's: raw, 921600 baud, 8N1.
#include "sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct SpeedName {
    speed_t code;
    long baud;
};

static const SpeedName SPEEDS[] = {
    { B0, 0 },
    { B300, 300 },
    { B1200, 1200 },
    { B2400, 2400 },
    { B4800, 4800 },
    { B9600, 9600 },
    { B19200, 19200 },
    { B38400, 38400 },
    { B57600, 57600 },
    { B115200, 115200 },
    { B230400, 230400 },
    { B460800, 460800 },
    { B500000, 500000 },
    { B576000, 576000 },
    { B921600, 921600 },
    { B1000000, 1000000 },
    { B1500000, 1500000 },
    { B2000000, 2000000 },
    { B3000000, 3000000 },
    { B4000000, 4000000 },
};

static long baud_of(speed_t code)
{
    for (const SpeedName &s : SPEEDS)
        if (s.code == code)
            return s.baud;
    return -1;
}

// The line as the device wants it: raw bytes both ways, 921600 baud, 8 data bits, no parity,
// one stop bit, no flow control, modem lines ignored.
static void korvan_settings(struct termios &t)
{
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~(tcflag_t)(IXON | IXOFF);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetospeed(&t, B921600);
    cfsetispeed(&t, B921600);
}

// Why the settings read back from the driver are not the ones asked for; nullptr when they are.
// A driver may refuse a speed silently: a 16550 whose clock cannot make 921600 stays at 9600.
static const char *settings_problem(const struct termios &t, char *why, size_t cap)
{
    speed_t out = cfgetospeed(&t), in = cfgetispeed(&t);
    if (out != B921600 || (in != B921600 && in != B0)) {
        snprintf(why, cap, "the driver set %ld baud, not 921600", baud_of(out != B921600 ? out : in));
        return why;
    }
    if ((t.c_cflag & CSIZE) != CS8 || (t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0)
        return "the driver did not take 8 data bits, no parity, one stop bit, no flow control";
    if ((t.c_lflag & (ICANON | ECHO | ISIG)) != 0 || (t.c_oflag & OPOST) != 0)
        return "the driver did not take raw mode";
    return nullptr;
}

// True when the driver keeps the line's speed whatever it is asked: a line with no baud rate of
// its own, such as a USB gadget's serial port, where the bus sets the pace. A driver that takes
// another ordinary speed just could not make 921600. The probe's settings are undone.
static bool speed_is_fixed(int fd, const struct termios &now)
{
    speed_t kept = cfgetospeed(&now);
    speed_t probe = kept == B9600 ? B115200 : B9600;
    struct termios t = now;
    cfsetospeed(&t, probe);
    cfsetispeed(&t, probe);
    bool fixed = tcsetattr(fd, TCSANOW, &t) == 0 && tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == kept;
    tcsetattr(fd, TCSANOW, &now);
    return fixed;
}

bool port_gone_error(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == ENOENT || err == EPIPE;
}

PortOpen port_open(int *fd, bool say_absent)
{
    *fd = open(g_opt.port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        int err = errno;
        if (say_absent)
            sim_log("%s: %s", g_opt.port, strerror(err));
        return port_gone_error(err) || err == EBUSY || err == EAGAIN ? PORT_ABSENT : PORT_UNFIT;
    }
    struct termios t;
    if (tcgetattr(*fd, &t) != 0) {
        int err = errno;
        close(*fd);
        *fd = -1;
        // A device in the middle of going away answers EIO; anything else is no serial line.
        if (port_gone_error(err)) {
            if (say_absent)
                sim_log("%s: %s", g_opt.port, strerror(err));
            return PORT_ABSENT;
        }
        sim_log("%s: not a serial device: %s", g_opt.port, strerror(err));
        return PORT_UNFIT;
    }
    korvan_settings(t);
    char why[128];
    const char *problem = nullptr;
    if (tcsetattr(*fd, TCSANOW, &t) != 0 || tcgetattr(*fd, &t) != 0) {
        snprintf(why, sizeof why, "cannot set the line: %s", strerror(errno));
        problem = why;
    } else {
        problem = settings_problem(t, why, sizeof why);
        if (problem == why && speed_is_fixed(*fd, t)) {
            sim_log("%s: the driver keeps %ld baud whatever is asked: a line without a baud rate "
                    "of its own (a USB gadget's)",
                    g_opt.port, baud_of(cfgetospeed(&t)));
            problem = nullptr;
        }
    }
    if (problem) {
        sim_log("%s: %s", g_opt.port, problem);
        close(*fd);
        *fd = -1;
        return PORT_UNFIT;
    }
    // What an earlier session left in either direction is not this session's.
    tcflush(*fd, TCIOFLUSH);
    return PORT_OPEN;
}

bool port_sent_all(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0;
}
