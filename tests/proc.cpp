// Files, descriptors, pseudo-terminals, child processes and waits with a limit, for the
// harness and the USB lab's helper alike: no GoogleTest here (see proc.h).
#include "proc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static void print_failure(const std::string &why) { fprintf(stderr, "%s\n", why.c_str()); }
void (*proc_failed)(const std::string &why) = print_failure;

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int ms_left(uint64_t deadline)
{
    uint64_t now = now_ns();
    if (now >= deadline)
        return 0;
    uint64_t ms = (deadline - now + 999999) / 1000000;
    return ms > 60000 ? 60000 : (int)ms;
}

uint64_t deadline_in(double seconds) { return now_ns() + (uint64_t)(seconds * 1e9); }

bool wait_until(const std::function<bool()> &cond, double limit_s)
{
    uint64_t deadline = deadline_in(limit_s);
    while (!cond()) {
        if (now_ns() >= deadline)
            return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

std::string read_until(int fd, const std::string &text, double limit_s, size_t count)
{
    std::string got;
    uint64_t deadline = deadline_in(limit_s);
    while ((text.empty() || got.find(text) == std::string::npos) && (count == 0 || got.size() < count)) {
        struct pollfd p = { fd, POLLIN, 0 };
        int r = poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
        if (now_ns() >= deadline)
            break;
    }
    return got;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string make_file(const std::string &dir, const std::string &name, size_t size)
{
    std::string path = dir + "/" + name;
    std::string bytes(size, '\0');
    uint32_t x = 0x12345678u ^ (uint32_t)size;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (char)((i & 0xff) ^ (x >> 24));   // every byte value, no simple pattern
    }
    write_file(path, bytes);
    return path;
}

std::string read_file(const std::string &path)
{
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            out.append(buf, (size_t)n);
    close(fd);
    return out;
}

// Writes all of `bytes`, waiting on the descriptor when it is full. False on an error.
static bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EAGAIN) {
            struct pollfd pf = { fd, POLLOUT, 0 };
            poll(&pf, 1, 1000);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

bool write_fd(int fd, const std::string &bytes)
{
    if (write_all(fd, bytes.data(), bytes.size()))
        return true;
    proc_failed("cannot write to descriptor " + std::to_string(fd) + ": " + strerror(errno));
    return false;
}

size_t write_until_stalled(int fd, const std::string &bytes, double stall_s)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w > 0)
            done += (size_t)w;
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            break;
        struct pollfd p = { fd, POLLOUT, 0 };
        if (w <= 0 && poll(&p, 1, (int)(stall_s * 1000)) == 0)
            break;
    }
    return done;
}

std::string all_byte_values(size_t repeat)
{
    std::string b;
    for (size_t r = 0; r < repeat; r++)
        for (int i = 0; i < 256; i++)
            b += (char)i;
    return b;
}

bool write_file(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write_all(fd, bytes.data(), bytes.size());
    int err = errno;
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (!ok)
        proc_failed("cannot write " + path + ": " + strerror(err));
    return ok;
}

bool append_available(int fd, std::string &to)
{
    char buf[65536];
    for (;;) {
        struct pollfd p = { fd, POLLIN, 0 };
        if (poll(&p, 1, 0) <= 0)
            return true;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        to.append(buf, (size_t)n);
    }
}

bool make_pty(int *master, int *slave, bool exact_output)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    *slave = -1;
    if (*master >= 0 && grantpt(*master) == 0 && unlockpt(*master) == 0) {
        const char *name = ptsname(*master);
        if (name)
            *slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    if (*slave >= 0 && exact_output) {
        struct termios t;
        tcgetattr(*slave, &t);
        t.c_oflag &= ~(tcflag_t)OPOST;
        tcsetattr(*slave, TCSANOW, &t);
    }
    if (*slave < 0) {
        proc_failed(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
        close_fd(*master);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Child processes.

// Collects an ended (or killed) child: its status as Child::status says, and its pidfd closed.
static void reap(Child &c)
{
    if (c.pid > 0) {
        int wstatus = 0;
        while (waitpid(c.pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        c.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus)
                   : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
        c.pid = -1;
    }
    close_fd(c.pidfd);
}

Child::~Child() { child_kill(*this); }

bool spawn(Child &c, const std::vector<std::string> &argv, const int fds[3], int ctty,
           const std::vector<std::string> &env)
{
    child_kill(c);
    c.status = -1;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        proc_failed(std::string("fork: ") + strerror(errno));
        return false;
    }
    if (pid == 0) {
        setsid();
        if (ctty >= 0)
            ioctl(ctty, TIOCSCTTY, 0);
        // Lift the three onto high numbers first, so none is overwritten by another's dup2.
        int high[3];
        for (int i = 0; i < 3; i++)
            high[i] = fds[i] >= 0 ? fcntl(fds[i], F_DUPFD, 100) : -1;
        for (int i = 0; i < 3; i++) {
            if (high[i] >= 0)
                dup2(high[i], i);
            else
                close(i);
        }
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    // From now on the child is waited for and killed through `c`.
    c.pid = pid;
    c.pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (c.pidfd < 0) {
        proc_failed(std::string("pidfd_open: ") + strerror(errno));
        child_kill(c);
        return false;
    }
    fcntl(c.pidfd, F_SETFD, FD_CLOEXEC);
    return true;
}

bool child_wait(Child &c, double timeout_s)
{
    if (c.pid <= 0)
        return true;
    uint64_t deadline = deadline_in(timeout_s);
    for (;;) {
        struct pollfd p = { c.pidfd, POLLIN, 0 };
        int r = poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r > 0)
            break;
        if (now_ns() >= deadline)
            return false;
    }
    reap(c);
    return true;
}

void child_kill(Child &c)
{
    if (c.pid > 0) {
        kill(-c.pid, SIGKILL);
        kill(c.pid, SIGKILL);
    }
    reap(c);
}

