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
// Times are CLOCK_MONOTONIC, the clock of korvan-sim's record. The files, descriptors,
// pseudo-terminals and child processes are the test harness's own (tests/proc.h).
#include "proc.h"
#include "record.h"
#include "sim.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

constexpr double STEP_WAIT_S = 30;     // longest wait for a text on the screen
constexpr int64_t PROGRESS_LAG_NS = 250 * 1000000;   // a draw may be read this late
constexpr int64_t PROGRESS_GAP_MAX_NS = 750 * 1000000;  // twice a second, and room for a busy VM

static double secondsSince(uint64_t start) { return (double)(now_ns() - start) / 1e9; }

static int usage()
{
    fputs("usage: labtool mkfile|line|run|wait-text|wait-size|pty|progress-check ... "
          "(see the comment at the top of tests/usb/labtool.cpp)\n", stderr);
    return 2;
}

// ---- mkfile ----

static int cmdMkfile(int argc, char **argv)
{
    if (argc != 4) return usage();
    size_t size = (size_t)strtoull(argv[3], nullptr, 10);
    std::string path = argv[2];
    size_t slash = path.rfind('/');
    make_file(slash == std::string::npos ? "." : path.substr(0, slash), path.substr(slash + 1), size);
    struct stat st;
    return stat(argv[2], &st) == 0 && (size_t)st.st_size == size ? 0 : 1;
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

// Waits for the child at most `limit_s`, then kills it. Its status, or -1 when it had to be killed.
static int finish(Child &c, double limit_s)
{
    if (child_wait(c, limit_s)) return c.status;
    child_kill(c);
    return -1;
}

static int cmdRun(int argc, char **argv)
{
    if (argc < 7 || strcmp(argv[5], "--") != 0) return usage();
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        fprintf(stderr, "labtool: %s\n", strerror(errno));
        return 1;
    }
    uint64_t start = now_ns();
    const int fds[3] = {0, out, err};
    Child c;
    if (!spawn(c, std::vector<std::string>(argv + 6, argv + argc), fds)) return 1;
    int status = finish(c, atof(argv[2]));
    printf("status=%d seconds=%.2f\n", status, secondsSince(start));
    return 0;
}

// ---- wait-text, wait-size ----

static int cmdWaitFile(int argc, char **argv, bool by_size)
{
    if (argc != 5) return usage();
    size_t want = by_size ? (size_t)strtoull(argv[3], nullptr, 10) : 0;
    return wait_until([&] {
        struct stat st;
        return by_size ? stat(argv[2], &st) == 0 && (size_t)st.st_size >= want
                       : read_file(argv[2]).find(argv[3]) != std::string::npos;
    }, atof(argv[4])) ? 0 : 1;
}

// ---- pty ----

// A step's text with korvan-sim's escapes read (\n \r \t \\ \xNN); as it stands when too long.
static std::string stepText(const char *in)
{
    char out[TEXT_MAX];
    int n = unescape(in, out, TEXT_MAX);
    return n < 0 ? std::string(in) : std::string(out, (size_t)n);
}

// Standard error of the program on a terminal: its progress lines are logged as they come.
struct ProgressLog {
    FILE *log = nullptr;
    size_t parsed = 0;    // how much of standard error has been looked at
};

// Logs every complete "\rN of T bytes" draw and every erase ("\r\033[K" at the line's start).
static void progressScan(ProgressLog &p, const std::string &text, int64_t t)
{
    for (;;) {
        size_t cr = text.find('\r', p.parsed);
        if (cr == std::string::npos || cr + 1 >= text.size()) return;
        const char *s = text.c_str() + cr + 1;
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
        if (text.find('\r', cr + 1) == std::string::npos &&
            text.find("bytes", cr) == std::string::npos)
            return;   // the draw is not complete yet
        p.parsed = cr + 1;
    }
}

struct Session {
    int master = -1, err_master = -1;
    int slave = -1;   // kept open: its input queue holds the keys CMD has not read yet
    Child child;
    std::string screen, err;
    ProgressLog progress;
};

// Reads the screen (and standard error) for up to `ms`.
static void collect(Session &s, int ms)
{
    struct pollfd p[2] = {{s.master, POLLIN, 0}, {s.err_master, POLLIN, 0}};
    poll(p, s.err_master >= 0 ? 2 : 1, ms);
    append_available(s.master, s.screen);
    if (s.err_master < 0) return;
    append_available(s.err_master, s.err);
    if (s.progress.log) progressScan(s.progress, s.err, (int64_t)now_ns());
}

static bool runStep(Session &s, const char *step, size_t &pos)
{
    if (!strncmp(step, "wait=", 5)) {
        std::string want = stepText(step + 5);
        size_t at = std::string::npos;
        bool seen = wait_until([&] {
            collect(s, 50);
            at = s.screen.find(want, pos);
            return at != std::string::npos || child_wait(s.child, 0);
        }, STEP_WAIT_S) && at != std::string::npos;
        if (seen) pos = at + want.size();
        return seen;
    }
    if (!strncmp(step, "type=", 5)) {
        std::string keys = stepText(step + 5);
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
        int unread = 1;
        return wait_until([&] {
            collect(s, 10);
            return ioctl(s.slave, FIONREAD, &unread) != 0 || unread == 0;
        }, STEP_WAIT_S) && unread == 0;
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

    Session s;
    int err_fd = -1;
    if (!make_pty(&s.master, &s.slave) || (progress_file && !make_pty(&s.err_master, &err_fd, true))) return 1;
    if (progress_file) {
        s.progress.log = fopen(progress_file, "w");
    } else {
        err_fd = open(err_file ? err_file : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    uint64_t start = now_ns();
    const int fds[3] = {s.slave, s.slave, err_fd};
    if (!spawn(s.child, std::vector<std::string>(argv + i + 1, argv + argc), fds, s.slave)) return 1;
    size_t pos = 0;
    int failed_step = 0;
    for (int k = first_step; k < last_step && !failed_step; k++)
        if (!runStep(s, argv[k], pos)) failed_step = k;
    if (failed_step) fprintf(stderr, "labtool: step '%s' did not happen\n", argv[failed_step]);
    // The end, collecting the screen meanwhile; after a failed step, only if it has come already.
    wait_until([&] {
        collect(s, 50);
        return child_wait(s.child, 0);
    }, failed_step ? 0 : limit);
    int status = finish(s.child, 0);
    double took = secondsSince(start);
    collect(s, 0);
    if (screen_file) write_file(screen_file, s.screen);
    if (progress_file && err_file) write_file(err_file, s.err);
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
    std::vector<RecordChunk> rec;
    if (!record_load(argv[3], rec)) {
        printf("FAIL: no record %s\n", argv[3]);
        return 1;
    }
    uint64_t sum = 0, had = 0;   // all the device received; what it had by a draw's time
    for (const RecordChunk &c : rec) sum += c.bytes.size();
    size_t next = 0;   // the first chunk not yet counted in `had` (the draws come in time order)
    int n_draws = 0, low = 0;
    int64_t max_gap = 0, prev = 0;
    long worst_shown = 0;
    uint64_t worst_had = 0;
    for (const Draw &d : draws) {
        if (prev) max_gap = d.t - prev > max_gap ? d.t - prev : max_gap;
        prev = d.t;
        if (d.shown < 0) break;   // erased: the upload's bytes are out
        n_draws++;
        for (; next < rec.size() && (int64_t)rec[next].t_ns <= d.t - PROGRESS_LAG_NS; next++)
            had += rec[next].bytes.size();
        // The frame's header (size and destination lines, some 20 bytes) travels in front.
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
