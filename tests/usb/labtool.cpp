// labtool: the small tools the USB lab's scenarios need inside the VM, where there is only
// busybox. One program, one command per job:
//
//   labtool mkfile PATH SIZE          a file of SIZE bytes holding every byte value
//   labtool line DEV                  the settings of a serial line: "921600 8N1 raw" when right
//   labtool run LIMIT OUT ERR -- CMD  runs CMD (standard input kept) with its output in OUT and
//                                     ERR, killed after LIMIT s; prints "status=N seconds=S"
//   labtool wait-text FILE TEXT LIMIT exit 0 once FILE holds TEXT, 1 after LIMIT s
//   labtool wait-size FILE SIZE LIMIT exit 0 once FILE holds SIZE bytes, 1 after LIMIT s
//   labtool pty [options] STEP... -- CMD
//                                     runs CMD on a new pseudo-terminal that is its controlling
//                                     terminal (a person at a keyboard), taking STEPs in turn:
//                                       wait=TEXT  until TEXT appears on the screen after what
//                                                  the last wait matched (30 s at most)
//                                       type=KEYS  types KEYS (escapes \n \r \t \\ \xNN)
//                                       sh=CMD     runs CMD with /bin/sh and waits for it
//                                       taken      until CMD has read every key typed
//                                     then waits for CMD's end; prints "status=N seconds=S".
//                                     -s FILE: the screen; -e FILE: standard error (a file);
//                                     -p FILE: standard error on a second pseudo-terminal, its
//                                     progress lines logged as "TIME_NS SHOWN TOTAL" (an erased
//                                     line as "TIME_NS -1 -1"); -t LIMIT: the end's time limit
//   labtool progress-check LOG RECORD checks a progress log against korvan-sim's record of the
//                                     same upload: never below what the device had received,
//                                     redrawn at least twice a second
//
// Times are CLOCK_MONOTONIC, the clock of korvan-sim's record.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

constexpr double STEP_WAIT_S = 30;     // longest wait for a text on the screen
constexpr int64_t NS_PER_S = 1000000000;
constexpr int64_t PROGRESS_LAG_NS = 250 * 1000000;   // a draw may be read this late
constexpr int64_t PROGRESS_GAP_MAX_NS = 750 * 1000000;  // twice a second, and room for a busy VM

static int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

static double secondsSince(int64_t start) { return (double)(nowNs() - start) / 1e9; }

static int usage()
{
    fputs("usage: labtool mkfile|line|run|wait-text|wait-size|pty|progress-check ... "
          "(see the comment at the top of tests/usb/labtool.cpp)\n", stderr);
    return 2;
}

static bool readWhole(const char *path, std::string &out)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    close(fd);
    return true;
}

static bool writeWhole(const char *path, const std::string &bytes)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w <= 0) break;
        done += (size_t)w;
    }
    return close(fd) == 0 && done == bytes.size();
}

// ---- mkfile ----

static int cmdMkfile(int argc, char **argv)
{
    if (argc != 4) return usage();
    size_t size = (size_t)strtoull(argv[3], nullptr, 10);
    std::string bytes(size, '\0');
    uint32_t x = 0x2545f491u ^ (uint32_t)size;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (char)((i & 0xff) ^ (x >> 24));
    }
    if (writeWhole(argv[2], bytes)) return 0;
    fprintf(stderr, "labtool: %s: %s\n", argv[2], strerror(errno));
    return 1;
}

// ---- line ----

static long baudOf(speed_t s)
{
    static const struct { speed_t code; long baud; } speeds[] = {
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600}, {B1000000, 1000000},
    };
    for (const auto &e : speeds)
        if (e.code == s) return e.baud;
    return -1;
}

static int cmdLine(int argc, char **argv)
{
    if (argc != 3) return usage();
    int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "labtool: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    close(fd);
    long out = baudOf(cfgetospeed(&t)), in = baudOf(cfgetispeed(&t));
    bool eight_n_one = (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (PARENB | CSTOPB));
    bool raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
               !(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON));
    if (in == out) printf("%ld", out);
    else printf("%ld/%ld", out, in);
    printf(" %s %s%s\n", eight_n_one ? "8N1" : "not-8N1", raw ? "raw" : "cooked",
           (t.c_cflag & CRTSCTS) ? " rtscts" : "");
    return 0;
}

// ---- run ----

static int exitStatus(int wstatus)
{
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

// Waits for `pid` until `deadline`; kills its process group after it. Returns its status, or
// -1 when it had to be killed.
static int waitChild(pid_t pid, int64_t deadline)
{
    int wstatus = 0;
    for (;;) {
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) return exitStatus(wstatus);
        if (nowNs() >= deadline) break;
        poll(nullptr, 0, 20);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    return -1;
}

static int cmdRun(int argc, char **argv)
{
    if (argc < 7 || strcmp(argv[5], "--") != 0) return usage();
    double limit = atof(argv[2]);
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        fprintf(stderr, "labtool: %s\n", strerror(errno));
        return 1;
    }
    int64_t start = nowNs();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[6], argv + 6);
        _exit(127);
    }
    int status = waitChild(pid, start + (int64_t)(limit * 1e9));
    printf("status=%d seconds=%.2f\n", status, secondsSince(start));
    return 0;
}

// ---- wait-text, wait-size ----

static int cmdWaitFile(int argc, char **argv, bool by_size)
{
    if (argc != 5) return usage();
    int64_t deadline = nowNs() + (int64_t)(atof(argv[4]) * 1e9);
    size_t want = by_size ? (size_t)strtoull(argv[3], nullptr, 10) : 0;
    for (;;) {
        std::string text;
        struct stat st;
        bool found = by_size ? stat(argv[2], &st) == 0 && (size_t)st.st_size >= want
                             : readWhole(argv[2], text) && text.find(argv[3]) != std::string::npos;
        if (found) return 0;
        if (nowNs() >= deadline) return 1;
        poll(nullptr, 0, 20);
    }
}

// ---- pty ----

static std::string unescape(const char *in)
{
    std::string out;
    for (const char *p = in; *p; p++) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        p++;
        switch (*p) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            char hex[3] = {p[1], p[1] ? p[2] : '\0', '\0'};
            out += (char)strtol(hex, nullptr, 16);
            p += 2;
            break;
        }
        default: out += *p; break;
        }
    }
    return out;
}

static bool openPty(int *master, int *slave)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
    const char *name = ptsname(*master);
    *slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return *slave >= 0;
}

// Standard error of the program on a terminal: its progress lines are logged as they come.
struct ProgressLog {
    FILE *log = nullptr;
    std::string text;     // what has come so far, for lines split across reads
    size_t parsed = 0;
};

// Logs every complete "\rN of T bytes" draw and every erase ("\r\033[K" at the line's start).
static void progressScan(ProgressLog &p, int64_t t)
{
    for (;;) {
        size_t cr = p.text.find('\r', p.parsed);
        if (cr == std::string::npos || cr + 1 >= p.text.size()) return;
        const char *s = p.text.c_str() + cr + 1;
        if (!strncmp(s, "\033[K", 3)) {
            fprintf(p.log, "%lld -1 -1\n", (long long)t);
            p.parsed = cr + 4;
            continue;
        }
        long shown = 0, total = 0;
        int used = 0;
        if (sscanf(s, "%ld of %ld bytes%n", &shown, &total, &used) == 2 && used > 0) {
            fprintf(p.log, "%lld %ld %ld\n", (long long)t, shown, total);
            p.parsed = cr + 1 + (size_t)used;
            continue;
        }
        if (p.text.find('\r', cr + 1) == std::string::npos &&
            p.text.find("bytes", cr) == std::string::npos)
            return;   // the draw is not complete yet
        p.parsed = cr + 1;
    }
}

static void drain(int fd, std::string &to, ProgressLog *p)
{
    char buf[4096];
    for (;;) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, 0) <= 0) return;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        to.append(buf, (size_t)n);
        if (p) {
            p->text.append(buf, (size_t)n);
            progressScan(*p, nowNs());
        }
    }
}

struct Session {
    int master = -1, err_master = -1;
    int slave = -1;   // kept open: its input queue holds the keys CMD has not read yet
    pid_t pid = -1;
    std::string screen, err;
    ProgressLog progress;
};

// Reads the screen (and standard error) for up to `ms`.
static void collect(Session &s, int ms)
{
    struct pollfd p[2] = {{s.master, POLLIN, 0}, {s.err_master, POLLIN, 0}};
    poll(p, s.err_master >= 0 ? 2 : 1, ms);
    drain(s.master, s.screen, nullptr);
    if (s.err_master >= 0) drain(s.err_master, s.err, &s.progress);
}

// True once `pid` has ended; it is left to be reaped.
static bool childEnded(pid_t pid)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

static bool runStep(Session &s, const char *step, size_t &pos)
{
    if (!strncmp(step, "wait=", 5)) {
        std::string want = unescape(step + 5);
        int64_t deadline = nowNs() + (int64_t)(STEP_WAIT_S * 1e9);
        for (;;) {
            size_t at = s.screen.find(want, pos);
            if (at != std::string::npos) {
                pos = at + want.size();
                return true;
            }
            if (nowNs() >= deadline || childEnded(s.pid)) return false;
            collect(s, 50);
        }
    }
    if (!strncmp(step, "type=", 5)) {
        std::string keys = unescape(step + 5);
        return write(s.master, keys.data(), keys.size()) == (ssize_t)keys.size();
    }
    if (!strncmp(step, "sh=", 3)) {
        collect(s, 0);
        int r = system(step + 3);
        collect(s, 0);
        if (r != 0) fprintf(stderr, "labtool: '%s' failed (%d)\n", step + 3, r);
        return r == 0;
    }
    if (!strcmp(step, "taken")) {
        int64_t deadline = nowNs() + (int64_t)(STEP_WAIT_S * 1e9);
        int unread = 1;
        while (ioctl(s.slave, FIONREAD, &unread) == 0 && unread > 0 && nowNs() < deadline)
            collect(s, 10);
        return unread == 0;
    }
    fprintf(stderr, "labtool: unknown step: %s\n", step);
    return false;
}

static int cmdPty(int argc, char **argv)
{
    const char *screen_file = nullptr, *err_file = nullptr, *progress_file = nullptr;
    double limit = 30;
    int i = 2;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] != '-' && !argv[i][2]; i += 2) {
        switch (argv[i][1]) {
        case 's': screen_file = argv[i + 1]; break;
        case 'e': err_file = argv[i + 1]; break;
        case 'p': progress_file = argv[i + 1]; break;
        case 't': limit = atof(argv[i + 1]); break;
        default: return usage();
        }
    }
    int first_step = i;
    while (i < argc && strcmp(argv[i], "--") != 0) i++;
    if (i + 1 >= argc) return usage();
    int last_step = i;
    char **cmd = argv + i + 1;

    Session s;
    int err_slave = -1;
    if (!openPty(&s.master, &s.slave) || (progress_file && !openPty(&s.err_master, &err_slave))) {
        fprintf(stderr, "labtool: no pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (progress_file) {
        struct termios t;
        tcgetattr(err_slave, &t);
        t.c_oflag &= ~(tcflag_t)OPOST;   // the bytes exactly as written
        tcsetattr(err_slave, TCSANOW, &t);
        s.progress.log = fopen(progress_file, "w");
    }
    int err_fd = err_slave;
    if (!progress_file)
        err_fd = open(err_file ? err_file : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int64_t start = nowNs();
    s.pid = fork();
    if (s.pid == 0) {
        setsid();
        ioctl(s.slave, TIOCSCTTY, 0);
        dup2(s.slave, 0);
        dup2(s.slave, 1);
        dup2(err_fd, 2);
        execv(cmd[0], cmd);
        _exit(127);
    }
    size_t pos = 0;
    int failed_step = 0;
    for (int k = first_step; k < last_step; k++) {
        if (!runStep(s, argv[k], pos)) {
            failed_step = k;
            break;
        }
    }
    int status = -1;
    if (failed_step) {
        fprintf(stderr, "labtool: step '%s' did not happen\n", argv[failed_step]);
        status = waitChild(s.pid, nowNs());
    } else {
        int64_t deadline = nowNs() + (int64_t)(limit * 1e9);
        for (;;) {
            int wstatus = 0;
            if (waitpid(s.pid, &wstatus, WNOHANG) == s.pid) {
                status = exitStatus(wstatus);
                break;
            }
            if (nowNs() >= deadline) {
                status = waitChild(s.pid, nowNs());
                break;
            }
            collect(s, 50);
        }
    }
    double took = secondsSince(start);
    collect(s, 0);
    if (screen_file) writeWhole(screen_file, s.screen);
    if (progress_file && err_file) writeWhole(err_file, s.err);
    if (s.progress.log) fclose(s.progress.log);
    printf("status=%d seconds=%.2f%s\n", status, took, failed_step ? " step-failed" : "");
    return failed_step ? 3 : 0;
}

// ---- progress-check ----

struct Draw {
    int64_t t;
    long shown, total;
};

static int cmdProgressCheck(int argc, char **argv)
{
    if (argc != 4) return usage();
    std::vector<Draw> draws;
    FILE *f = fopen(argv[2], "r");
    long long t = 0;
    long shown = 0, total = 0;
    while (f && fscanf(f, "%lld %ld %ld", &t, &shown, &total) == 3) draws.push_back({(int64_t)t, shown, total});
    if (f) fclose(f);
    // korvan-sim's record: 8-byte time, 4-byte length, the bytes.
    std::string rec;
    if (!readWhole(argv[3], rec)) {
        printf("FAIL: no record %s\n", argv[3]);
        return 1;
    }
    std::vector<std::pair<int64_t, uint64_t>> got;   // (time, bytes received by then)
    uint64_t sum = 0;
    for (size_t i = 0; i + 12 <= rec.size();) {
        uint64_t ts;
        uint32_t n;
        memcpy(&ts, rec.data() + i, 8);
        memcpy(&n, rec.data() + i + 8, 4);
        sum += n;
        got.push_back({(int64_t)ts, sum});
        i += 12 + n;
    }
    auto received_by = [&](int64_t when) {
        uint64_t r = 0;
        for (const auto &g : got) {
            if (g.first > when) break;
            r = g.second;
        }
        return r;
    };
    int n_draws = 0, low = 0;
    int64_t max_gap = 0, prev = 0;
    long worst_shown = 0;
    uint64_t worst_had = 0;
    for (const Draw &d : draws) {
        if (prev) max_gap = d.t - prev > max_gap ? d.t - prev : max_gap;
        prev = d.t;
        if (d.shown < 0) break;   // erased: the upload's bytes are out
        n_draws++;
        // The frame's header (size and destination lines, some 20 bytes) travels in front.
        uint64_t had = received_by(d.t - PROGRESS_LAG_NS);
        uint64_t header = sum > (uint64_t)d.total ? sum - (uint64_t)d.total : 0;
        uint64_t payload_had = had > header ? had - header : 0;
        if ((uint64_t)d.shown < payload_had) {
            if (!low || (double)d.shown / (double)payload_had < (double)worst_shown / (double)worst_had) {
                worst_shown = d.shown;
                worst_had = payload_had;
            }
            low++;
        }
    }
    bool ok = n_draws >= 2 && low == 0 && max_gap <= PROGRESS_GAP_MAX_NS;
    printf("%s: %d draws, longest gap %.2f s", ok ? "ok" : "FAIL", n_draws, (double)max_gap / 1e9);
    if (low)
        printf(", %d draws below what the device had (worst: %ld shown, %llu received)", low,
               worst_shown, (unsigned long long)worst_had);
    printf("\n");
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc < 2) return usage();
    signal(SIGPIPE, SIG_IGN);
    const char *c = argv[1];
    if (!strcmp(c, "mkfile")) return cmdMkfile(argc, argv);
    if (!strcmp(c, "line")) return cmdLine(argc, argv);
    if (!strcmp(c, "run")) return cmdRun(argc, argv);
    if (!strcmp(c, "wait-text")) return cmdWaitFile(argc, argv, false);
    if (!strcmp(c, "wait-size")) return cmdWaitFile(argc, argv, true);
    if (!strcmp(c, "pty")) return cmdPty(argc, argv);
    if (!strcmp(c, "progress-check")) return cmdProgressCheck(argc, argv);
    return usage();
}
