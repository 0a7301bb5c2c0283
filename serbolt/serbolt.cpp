// serbolt: host tool for the Korvan, a small device behind a USB serial adapter.
//
// It opens the adapter's serial line at 921600 baud, 8N1, raw, and then either acts as a console
// terminal (device output to the screen, keys to the device, 'x' leaves) or uploads one file with
// the device's filecopy exchange:
//
//   host: "filecopy\n"                      (paced, one byte per millisecond)
//   dev:  "Ko:Ready"
//   host: "<size>\n" "<destination>\n" <payload bytes>
//   dev:  "Ko:Data received"
//
// The program is one thread. Every wait is a poll() on the line (and, in the terminal, on the
// keyboard) with the time that is left, so an idle terminal or a line-rate upload costs almost no
// processor time.
//
// The file reads top to bottom; each section uses only those above it. Sections and what the
// ones below them call:
//
//   Run options and limits  options; nowUs, msUntil and reached (all times in microseconds),
//                           sooner, resumedSince (a stop is no stall)
//   Screen                  writeScreen (device output), say (a message of our own),
//                           progressBegin/progressEnd (the upload's progress line), stdout_failed
//   Serial link             korvan_fd; korvan_open_connection, korvan_close_connection,
//                           korvan_reopen, korvan_release_now (in a signal handler);
//                           korvan_read, korvan_get_byte, korvan_write, korvan_output_queued,
//                           korvan_send_bytes, korvan_send_bytes_slow, korvan_send_string
//   File upload             transferFile; waitForStringTime, waitForString, flushReceiveBuffer
//   Console terminal        terminalReceiveBlocking (the display and the terminal), keyboardOpen,
//                           restoreConsoleAndDie and continued (signal handlers), term.broken
//   Command line and run    main: helpOrVersionAlone, parseCommandLine, korvan_open_connection,
//                           runAction (the terminal, or the upload and what follows it)

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

// =============================================================================================
// Run options and limits
// =============================================================================================

// Filled from the command line (parseCommandLine) and only read afterwards. The texts point
// into argv.
struct RunOptions {
    int action = -1;               // -1 terminal, 1 file transfer, anything else is refused
    const char *filename = NULL;   // FILE_IN: local file to upload
    const char *outpath = NULL;    // FILE_OUT: destination path on the device
    int reset = 0;                 // send "reset\n" after the upload
    int boot = 0;                  // send "reboot\n" after the upload
    int stay = 0;                  // stay in the terminal after the upload
    const char *device = NULL;     // device to try before the default ones
};
static RunOptions options;

enum {
    UPLOAD_BUFFER_SIZE = 0xa00000,              // 10,485,760 bytes
    MAX_UPLOAD_SIZE = UPLOAD_BUFFER_SIZE - 2,   // largest file the device accepts from us
    MAX_DEST_PATH = 4096,                       // longest destination path we put on the wire
    CHAR_WINDOW_US = 100000,                    // a quiet line for this long ends a drain or a reply
    REPLY_CHARS = 28,                           // longest reply a wait can recognise
    PACE_US = 1000,                             // pause after each paced byte
    CONNECT_PAUSE_US = 10000,                   // let the adapter settle after opening
    WRITE_STALL_US = 10000000,                  // a line that takes nothing for this long is dead
    DRAIN_TICK_US = 100000,                     // a drain looks at the driver's queue this often
    CLOSE_TICK_US = 300000,                     // longest closing wait of a line that failed
    FLUSH_MIN_US = 100000,                      // stale input is discarded for at least this long
    BLOCK_SIZE = 4096,                          // device output is moved to the screen in blocks
    PROGRESS_EVERY_US = 100000,                 // upload progress is redrawn at most this often
    LINE_BYTES_PER_SECOND = 92160,              // 921600 baud, 10 bits a byte on the wire
    UPLOAD_DRAIN_US = 2000000,                  // longest showing of device output inside an upload
    RECONNECT_EVERY_US = 500000,                // a lost device is looked for this often
};

static const double UPLOAD_REPLY_SECONDS = 20.0;
static const double READY_REPLY_SECONDS = 2.0;
static const double SHOW_AFTER_UPLOAD_SECONDS = 0.3;

// Every time in the program is in microseconds of the monotonic clock; poll() alone is given
// milliseconds, by msUntil.
static uint64_t nowUs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

// Milliseconds from `now` until `at`, for poll(), rounded up so that a wait never ends early; 0
// once `at` has passed.
static int msUntil(uint64_t at, uint64_t now)
{
    if (at <= now)
        return 0;
    uint64_t ms = (at - now + 999) / 1000;
    return ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

// The sooner of two poll() time-outs, where -1 is none.
static int sooner(int a, int b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

// Whether `span` has passed from `since` to `now`. `since` may be a little later than `now`,
// which was read before it.
static bool reached(uint64_t since, uint64_t span, uint64_t now)
{
    return now >= since + span;
}

// How many times serbolt has been continued after a stop (Ctrl-Z, SIGSTOP from a debugger or a
// job scheduler). The monotonic clock runs on while we are stopped, but a stopped program gives
// the device nothing to take and reads none of its replies: every time limit that looks at the
// clock starts again when it sees this count change, so a pause is never taken for a stall.
static volatile sig_atomic_t continues = 0;

// Whether serbolt was continued since `*seen` was taken; takes the new count.
static bool resumedSince(int *seen)
{
    int now = continues;
    if (now == *seen)
        return false;
    *seen = now;
    return true;
}

// =============================================================================================
// Screen: device output on standard output, the program's messages, the upload's progress line
// =============================================================================================

static bool stdout_failed = false;   // standard output took something badly: told, status 1

// Standard output refused what we wrote (a full disk, /dev/full): the transcript is lost, which
// is said once; the run goes on and ends with status 1.
static void stdoutFailed(int err)
{
    if (!stdout_failed) {
        stdout_failed = true;
        fprintf(stderr, "serbolt: cannot write to standard output: %s\n", strerror(err));
    }
}

// Puts a block of device output on the screen at once: one write, after whatever stdio holds.
static void writeScreen(const unsigned char *buf, int n)
{
    if (fflush(stdout) != 0)
        stdoutFailed(errno);
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, buf, (size_t)n);
        if (w > 0) {
            buf += w;
            n -= (int)w;
        } else if (w < 0 && errno == EAGAIN) {
            struct pollfd p = { STDOUT_FILENO, POLLOUT, 0 };
            poll(&p, 1, -1);
        } else if (!(w < 0 && errno == EINTR)) {
            stdoutFailed(w < 0 ? errno : EIO);
            return;   // nothing to show it on
        }
    }
}

// The upload's progress line on standard error, while the payload is sent. Reset by
// progressBegin for each send.
static struct {
    bool active;           // the send in progress draws the line (standard error is a terminal)
    bool on_screen;        // a line is drawn and not erased yet
    bool queue_reported;   // the driver has reported bytes in its output queue
    uint64_t start;        // when the send began
    uint64_t drawn;        // when the line was last drawn (or would have been)
    long shown;            // the count drawn last: the line never goes back
} progress;

// Whether the progress line may be drawn now: not while we are a background job of the
// terminal on standard error, where it would be drawn over the shell's prompt. A terminal that
// is not our controlling terminal has no jobs: it is ours.
static bool progressVisible(void)
{
    pid_t fg = tcgetpgrp(STDERR_FILENO);
    return fg < 0 || fg == getpgrp();
}

// Columns of the terminal on standard error; 80 when it does not say.
static int progressColumns(void)
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

// The progress line for `gone` of `total` bytes after `elapsed` seconds, fitted to `width`
// columns: the time left goes first, then the rate, then all but the percentage, cut if need
// be. Returns the length of the line in `line`.
static int progressText(char *line, size_t size, long gone, long total, double elapsed, int width)
{
    double rate = elapsed > 0 ? (double)gone / elapsed : 0;
    long percent = total > 0 ? (long)((double)gone * 100.0 / (double)total) : 100;
    // One line, three lengths: the count, then the rate, then the time left.
    int ends[3];
    ends[0] = snprintf(line, size, "%ld of %ld bytes (%ld%%)", gone, total, percent);
    ends[1] = ends[0] + snprintf(line + ends[0], size - (size_t)ends[0], ", %.1f KiB/s", rate / 1024.0);
    ends[2] = ends[1];
    if (rate > 0 && ends[1] < (int)size)
        ends[2] +=
            snprintf(line + ends[1], size - (size_t)ends[1], ", %.0f s left", (double)(total - gone) / rate);
    int form = 2;
    while (form > 0 && ends[form] > width)
        form--;
    if (ends[form] > width) {
        // Narrower still: the percentage alone, as much of it as fits.
        ends[form] = snprintf(line, size, "%ld%%", percent);
        if (ends[form] > width)
            ends[form] = width > 0 ? width : 0;
    }
    return ends[form];
}

// Draws the progress line in place, unless we are in the background.
static void progressDraw(long gone, long total, uint64_t elapsed_us)
{
    if (!progressVisible())
        return;
    char line[160];
    // The last column is left free: writing into it makes some terminals wrap.
    int len = progressText(line, sizeof line, gone, total, (double)elapsed_us / 1e6, progressColumns() - 1);
    fprintf(stderr, "\r%.*s\033[K", len, line);
    progress.on_screen = true;
}

// The progress line is drawn only where a person watches: when standard error is a terminal.
static void progressBegin(void)
{
    progress.active = isatty(STDERR_FILENO);
    progress.on_screen = false;
    progress.queue_reported = false;
    progress.start = nowUs();
    progress.drawn = 0;
    progress.shown = 0;
}

static void progressErase(void)
{
    if (progress.on_screen && progressVisible())
        fputs("\r\033[K", stderr);
    progress.on_screen = false;
}

static void progressEnd(void)
{
    progressErase();
    progress.active = false;
}

// A message of the program on standard output, out at once and on a line of its own (an
// upload's progress line is erased first).
__attribute__((format(printf, 1, 2))) static void say(const char *format, ...)
{
    progressErase();
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// =============================================================================================
// Serial link: one process-wide descriptor, opened non-blocking; every wait is a poll().
// =============================================================================================

static int korvan_fd = -1;   // the line's descriptor; -1 while no line is open

// What the link knows of the line besides its descriptor. Set by the open (and the reopen);
// the signal handlers read lock_path.
struct SerialLine {
    const char *name = "";   // the device that opened: for messages, and to reopen it
    bool lost = false;       // the device end hung up or failed; it gives nothing more
    bool failed = false;     // a write or drain failed: output may be stuck in the driver
    // When a write first found the line full since the line last took a byte; 0 while it takes
    // them.
    uint64_t stall_since = 0;
    int stall_continues = 0;   // `continues` as the stall time last saw it
    // Our UUCP lock file (LCK..NAME) while we hold the line; empty when we hold none.
    char lock_path[PATH_MAX + 32] = "";
    struct sigaction tick_saved;   // SIGALRM's handling while korvan_ticks runs
};
static SerialLine serial;

// ---- opening: the line's settings, its locks, the search for the device ----

enum {
    OPEN_FAILED = -1,         // korvan_open_device: not opened, errno says why
    OPEN_UNUSABLE = -2,       // opened, but the line settings could not be applied or did not hold
    OPEN_OWN_TERMINAL = -3,   // the terminal serbolt runs in: left untouched
};

static int korvan_set_interface_attribs(int fd, speed_t speed)
{
    struct termios tty;
    if (tcgetattr(fd, &tty) != 0) {
        printf("Error from tcgetattr: %s\n", strerror(errno));
        return -1;
    }
    cfsetospeed(&tty, speed);
    cfsetispeed(&tty, speed);

    tty.c_cflag |= CLOCAL | CREAD;   // ignore modem lines, receiver on
    tty.c_cflag &= ~CSIZE;
    tty.c_cflag |= CS8;        // 8 data bits
    tty.c_cflag &= ~PARENB;    // no parity
    tty.c_cflag &= ~CSTOPB;    // one stop bit
    tty.c_cflag &= ~CRTSCTS;   // no hardware flow control
    // Received bytes pass unchanged: no break handling, no 7-bit stripping, no CR/LF games,
    // and the device cannot stop our output with XOFF.
    tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    tty.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tty.c_oflag &= ~OPOST;   // bytes written go out unchanged
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 1;

    if (tcsetattr(fd, TCSANOW, &tty) != 0) {
        printf("Error from tcsetattr: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

// The baud rate of a speed code; -1 for a code this table does not know.
static long korvan_baud(speed_t code)
{
    // A table, laid out by hand.
    // clang-format off
    static const struct {
        speed_t code;
        long baud;
    } rates[] = {
        { B0, 0 },           { B50, 50 },           { B75, 75 },           { B110, 110 },
        { B134, 134 },       { B150, 150 },         { B200, 200 },         { B300, 300 },
        { B600, 600 },       { B1200, 1200 },       { B1800, 1800 },       { B2400, 2400 },
        { B4800, 4800 },     { B9600, 9600 },       { B19200, 19200 },     { B38400, 38400 },
        { B57600, 57600 },   { B115200, 115200 },   { B230400, 230400 },   { B460800, 460800 },
        { B500000, 500000 }, { B576000, 576000 },   { B921600, 921600 },   { B1000000, 1000000 },
        { B1152000, 1152000 }, { B1500000, 1500000 }, { B2000000, 2000000 }, { B2500000, 2500000 },
        { B3000000, 3000000 }, { B3500000, 3500000 }, { B4000000, 4000000 },
    };
    // clang-format on
    for (const auto &r : rates)
        if (r.code == code)
            return r.baud;
    return -1;
}

// Reads the settings back: a driver may accept tcsetattr and keep what it cannot do (a 16550
// whose clock cannot make 921600 baud stays at 9600, and the device would then read garbage).
// True when the line is at `speed`, 8N1, raw, without flow control; otherwise false with the
// reason in `why`.
static bool korvan_settings_held(int fd, speed_t speed, char *why, size_t size)
{
    struct termios tty;
    if (tcgetattr(fd, &tty) != 0) {
        snprintf(why, size, "the settings cannot be read back: %s", strerror(errno));
        return false;
    }
    speed_t out = cfgetospeed(&tty), in = cfgetispeed(&tty);
    if (in == B0)
        in = out;   // an input speed of 0 means "as the output"
    speed_t wrong = out != speed ? out : in;
    if (wrong != speed) {
        long baud = korvan_baud(wrong);
        if (baud >= 0)
            snprintf(why, size, "the driver set %ld baud, not %ld", baud, korvan_baud(speed));
        else
            snprintf(why, size, "the driver set an unknown speed (code %#lo), not %ld baud",
                     (unsigned long)wrong, korvan_baud(speed));
        return false;
    }
    const tcflag_t raw_iflag = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON;
    const tcflag_t raw_lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    if ((tty.c_cflag & CSIZE) != CS8)
        snprintf(why, size, "the driver did not set 8 data bits");
    else if (tty.c_cflag & PARENB)
        snprintf(why, size, "the driver kept parity on");
    else if (tty.c_cflag & CSTOPB)
        snprintf(why, size, "the driver kept two stop bits");
    else if (tty.c_cflag & CRTSCTS)
        snprintf(why, size, "the driver kept hardware flow control on");
    else if ((tty.c_cflag & (CREAD | CLOCAL)) != (CREAD | CLOCAL))
        snprintf(why, size, "the driver did not switch the receiver on and the modem lines off");
    else if ((tty.c_iflag & raw_iflag) || (tty.c_lflag & raw_lflag) || (tty.c_oflag & OPOST))
        snprintf(why, size, "the driver did not make the line raw");
    else
        return true;
    return false;
}

// ", held by process 123 (NAME)" for a process, from /proc/PID/comm; empty for no process.
static void korvan_name_process(long pid, char *text, size_t size)
{
    text[0] = '\0';
    if (pid <= 0)
        return;
    char comm_path[64], comm[64] = "";
    snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", pid);
    FILE *f = fopen(comm_path, "r");
    if (f != NULL) {
        if (fgets(comm, sizeof comm, f) != NULL)
            comm[strcspn(comm, "\n")] = '\0';
        fclose(f);
    }
    if (comm[0] != '\0')
        snprintf(text, size, ", held by process %ld (%s)", pid, comm);
    else
        snprintf(text, size, ", held by process %ld", pid);
}

// Who holds the flock on the device behind `fd`, as ", held by process 123 (picocom)", from
// /proc/locks and /proc/PID/comm. Left empty when the kernel does not tell.
static void korvan_lock_holder(int fd, char *text, size_t size)
{
    text[0] = '\0';
    struct stat st;
    FILE *locks = fstat(fd, &st) == 0 ? fopen("/proc/locks", "r") : NULL;
    if (locks == NULL)
        return;
    char entry[256];
    long pid = -1;
    while (fgets(entry, sizeof entry, locks) != NULL) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF"; lines with "->" are waiters.
        char kind[16];
        long holder;
        unsigned maj, min;
        unsigned long ino;
        if (strstr(entry, "->") == NULL &&
            sscanf(entry, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &holder, &maj, &min, &ino) == 5 &&
            strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == (unsigned long)st.st_ino) {
            pid = holder;
            break;
        }
    }
    fclose(locks);
    korvan_name_process(pid, text, size);
}

// ---- UUCP lock files ----
// Terminals such as minicom take no flock and set no exclusive mode: they announce the line by
// a file LCK..NAME in the lock directory holding their process number ("%10d\n"), and look for
// one before they open. serbolt honours theirs and writes its own while it holds the line.

// The lock file of a device path, as those terminals name it: a path under /dev/ by the rest of
// it with '/' made '_' (/dev/ttyUSB0: LCK..ttyUSB0, /dev/pts/4: LCK..pts_4), any other path by
// its last component. /run/lock, or /var/lock where that is the lock directory.
static void korvan_lock_file_of(const char *dev, char *path, size_t size)
{
    struct stat st;
    const char *dir = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
    const char *name = strrchr(dev, '/') != NULL ? strrchr(dev, '/') + 1 : dev;
    if (strncmp(dev, "/dev/", 5) == 0)
        name = dev + 5;
    int start = snprintf(path, size, "%s/LCK..", dir);
    snprintf(path + start, size - (size_t)start, "%s", name);
    for (char *c = path + start; *c != '\0'; c++)
        if (*c == '/')
            *c = '_';
}

// The live process a lock file names; 0 when there is no file, or it names no process that runs
// (a holder that died without removing it: the file is stale).
static long korvan_lock_file_owner(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    long pid = 0;
    if (n > 0) {
        text[n] = '\0';
        if (sscanf(text, "%ld", &pid) != 1)
            pid = 0;
    }
    if (pid <= 0 || (kill((pid_t)pid, 0) != 0 && errno == ESRCH))
        return 0;
    return pid;
}

// Gives up our lock file. Async-signal-safe: the ending signals call it too.
static void korvan_drop_lock_file(void)
{
    if (serial.lock_path[0] != '\0')
        unlink(serial.lock_path);
    serial.lock_path[0] = '\0';
}

// Before the device is opened: a lock file of it (by the name given, or by the device it leads
// to) that names a live process other than us means the line is in use: false, with errno
// EWOULDBLOCK and the holder in `holder`. A stale one is removed. Then our own lock file, under
// the device's real name, where the lock directory lets us write (a user outside its group goes
// on without one: the flock and the exclusive mode still keep others off).
static bool korvan_take_lock_file(const char *name, char *holder, size_t holder_size)
{
    char real[PATH_MAX], paths[2][PATH_MAX + 32];
    if (realpath(name, real) == NULL)
        return true;   // nothing there: the open says why
    korvan_lock_file_of(name, paths[0], sizeof paths[0]);
    korvan_lock_file_of(real, paths[1], sizeof paths[1]);
    for (int attempt = 0; attempt < 2; attempt++) {
        for (const char *path : paths) {
            long owner = korvan_lock_file_owner(path);
            if (owner > 0 && owner != (long)getpid()) {
                korvan_name_process(owner, holder, holder_size);
                errno = EWOULDBLOCK;
                return false;
            }
            if (owner == 0)
                unlink(path);   // stale, or not there
        }
        int fd = open(paths[1], O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST && korvan_lock_file_owner(paths[1]) != (long)getpid())
            continue;   // another program was quicker: look at it again
        if (fd >= 0) {
            char text[16];
            int len = snprintf(text, sizeof text, "%10ld\n", (long)getpid());
            bool written = write(fd, text, (size_t)len) == len;
            close(fd);
            if (!written) {
                unlink(paths[1]);
                return true;
            }
        }
        if (fd >= 0 || errno == EEXIST)   // written now, or ours already
            snprintf(serial.lock_path, sizeof serial.lock_path, "%s", paths[1]);
        return true;
    }
    return true;
}

// The usual reason a serial device will not open is that the user may not use it. Say once, on
// standard error, what usually fixes it: joining the group that may read and write the device,
// or, when only its owner may (or the group is root), a rule that gives it such a group.
static void korvan_permission_hint(const char *name, int err)
{
    struct stat st;
    bool group_rw = false;
    char group[64] = "";
    if (stat(name, &st) == 0) {
        group_rw = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0;
        struct group *gr = group_rw ? getgrgid(st.st_gid) : NULL;
        if (gr != NULL)
            snprintf(group, sizeof group, "%s", gr->gr_name);
        else
            snprintf(group, sizeof group, "%u", (unsigned)st.st_gid);   // a group without a name
    }
    if (group_rw)
        fprintf(stderr,
                "serbolt: %s: %s; add your user to the group '%s' that may use it "
                "(sudo usermod -aG %s $USER) and log in again\n",
                name, strerror(err), group, group);
    else
        fprintf(stderr,
                "serbolt: %s: %s; only the device's owner may open it; usually the "
                "adapter's udev rule fixes this by giving the device group 'dialout' and mode "
                "0660 (then: sudo usermod -aG dialout $USER, and log in again)\n",
                name, strerror(err));
}

// The terminal serbolt itself runs in (-d /dev/tty, or the console's own device name): raw at
// 921600 baud it would take the user's keyboard and screen. Only our controlling terminal tells
// us its session; a terminal on a standard stream that is not our controlling one has the
// same device number as that stream.
static bool korvan_is_own_terminal(int fd)
{
    if (tcgetsid(fd) >= 0)
        return true;
    struct stat line, st;
    if (fstat(fd, &line) != 0 || !S_ISCHR(line.st_mode))
        return false;
    for (int std_fd = 0; std_fd <= 2; std_fd++)
        if (fstat(std_fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == line.st_rdev && isatty(std_fd))
            return true;
    return false;
}

// Gives the line up: its exclusive mode cleared (a pseudo-terminal keeps it after our close while
// its other end stays open), the descriptor closed, our lock file removed.
static void korvan_close_fd(int fd)
{
    ioctl(fd, TIOCNXCL);
    close(fd);
    korvan_drop_lock_file();
}

// What a signal that ends serbolt must still do to the line: clear its exclusive mode and remove
// our lock file. Async-signal-safe.
static void korvan_release_now(void)
{
    if (korvan_fd >= 0)
        ioctl(korvan_fd, TIOCNXCL);
    korvan_drop_lock_file();
}

// Opens one device and makes it ours: its UUCP lock file first, then read and write,
// non-blocking, not our controlling terminal, an exclusive flock (the lock other serial
// terminals take too) and exclusive mode, so two programs never share a line and steal each
// other's bytes. The flock lasts until the descriptor closes; korvan_close_fd gives up the rest.
// Then the line settings, read back. Returns the descriptor; OPEN_FAILED with errno set when it
// did not open (EWOULDBLOCK: another program holds it, named in `holder`); OPEN_OWN_TERMINAL
// when it is the terminal serbolt runs in; OPEN_UNUSABLE when its settings could not be applied
// (which korvan_set_interface_attribs reports) or the driver did not keep them (said on standard
// error). `quiet` refuses a device that is not a terminal before trying and keeps the reason
// to itself, so a reopen that keeps failing says nothing.
static int korvan_open_device(const char *name, bool quiet, char *holder, size_t holder_size)
{
    holder[0] = '\0';
    if (!korvan_take_lock_file(name, holder, holder_size))
        return OPEN_FAILED;
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        korvan_drop_lock_file();
        errno = err;
        return OPEN_FAILED;
    }
    if (korvan_is_own_terminal(fd)) {
        close(fd);
        korvan_drop_lock_file();
        return OPEN_OWN_TERMINAL;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK)
            korvan_lock_holder(fd, holder, holder_size);
        close(fd);
        korvan_drop_lock_file();
        errno = err;
        return OPEN_FAILED;
    }
    // Exclusive mode: every later open of the line fails with EBUSY, for programs that take
    // neither the flock nor lock files too (cat, stty -F, screen). The administrator passes it.
    ioctl(fd, TIOCEXCL);
    if ((quiet && !isatty(fd)) || korvan_set_interface_attribs(fd, B921600) != 0) {
        korvan_close_fd(fd);
        return OPEN_UNUSABLE;
    }
    char why[128];
    if (!korvan_settings_held(fd, B921600, why, sizeof why)) {
        if (!quiet) {
            fflush(stdout);
            fprintf(stderr, "serbolt: %s: %s\n", name, why);
        }
        korvan_close_fd(fd);
        return OPEN_UNUSABLE;
    }
    return fd;
}

// A candidate that is there but did not open: say why on standard error. Permission problems
// are kept for one hint at the end.
static void korvan_explain_failure(const char *name, int err, const char *holder)
{
    if (err == EWOULDBLOCK || err == EBUSY)   // EBUSY: another program set exclusive mode
        fprintf(stderr, "serbolt: %s: in use by another program%s\n", name, holder);
    else if (err != ENOENT && err != ENOTDIR && err != EACCES && err != EPERM)
        fprintf(stderr, "serbolt: %s: %s\n", name, strerror(err));
}

// What the search has learnt from the candidates that did not open.
struct DeviceSearch {
    const char *denied = NULL;   // first candidate refused for lack of permission
    int denied_errno = 0;
    bool any_exists = false;   // some candidate was there, even if it did not open
};

enum {
    TRY_NEXT = -1,      // korvan_try_candidate: not opened, the search goes on
    SEARCH_ENDS = -2,   // not opened, and the search ends here
};

// One candidate of the search: `named` is the -d device. Returns the descriptor when it opened.
// Otherwise says so on standard output (and why on standard error, but for a lack of permission,
// which is noted in `search` for one hint at the end); SEARCH_ENDS for a device that opened but
// cannot be used, and for a -d device that is our own terminal or that another program holds.
static int korvan_try_candidate(const char *name, bool named, DeviceSearch *search)
{
    char holder[128];
    int fd = korvan_open_device(name, false, holder, sizeof holder);
    if (fd == OPEN_UNUSABLE) {
        say("Serial device %s - failed to connect [attributes].\n", name);
        return SEARCH_ENDS;
    }
    if (fd >= 0)
        return fd;
    int err = errno;
    say("Serial device %s - failed to connect.\n", name);
    if (fd == OPEN_OWN_TERMINAL || (err != ENOENT && err != ENOTDIR))
        search->any_exists = true;
    if (fd == OPEN_OWN_TERMINAL) {
        fprintf(stderr,
                "serbolt: %s: this is serbolt's own terminal, not the Korvan's "
                "serial line\n",
                name);
        return named ? SEARCH_ENDS : TRY_NEXT;
    }
    if ((err == EACCES || err == EPERM) && search->denied == NULL) {
        search->denied = name;
        search->denied_errno = err;
    }
    korvan_explain_failure(name, err, holder);
    if (named && (err == EWOULDBLOCK || err == EBUSY))
        return SEARCH_ENDS;
    return TRY_NEXT;
}

// Opens the first candidate that opens: the -d device, then /dev/ttyUSB0, then /dev/ttyUSB1,
// with one line on standard output for each that failed and for the one that connected. The
// search ends at a device that opened but cannot be used, and at a -d device that is there but
// another program holds or that is our own terminal: the fallback is for a device that is
// missing, not for a board that is busy, or the upload would go to another board.
static bool korvan_open_connection(void)
{
    const char *candidates[3] = { options.device, "/dev/ttyUSB0", "/dev/ttyUSB1" };
    DeviceSearch search;
    int opened = -1;   // index of the candidate that opened
    for (int i = 0; i < 3 && opened < 0; i++) {
        if (candidates[i] == NULL) {
            say("Serial device %s - failed to connect.\n", "(none)");
            continue;
        }
        int fd = korvan_try_candidate(candidates[i], i == 0, &search);
        if (fd == SEARCH_ENDS)
            return false;
        if (fd >= 0) {
            korvan_fd = fd;
            opened = i;
        }
    }
    fflush(stdout);
    if (search.denied != NULL)
        korvan_permission_hint(search.denied, search.denied_errno);
    if (opened < 0) {
        if (!search.any_exists)
            fprintf(stderr, "serbolt: no serial device found; is the Korvan plugged in? "
                            "Name its device with -d (for example -d /dev/ttyACM0)\n");
        return false;
    }
    // The fallback is there for the usual adapter, but a mistyped -d must not quietly send the
    // upload to whatever board sits on ttyUSB0.
    if (options.device != NULL && opened > 0)
        fprintf(stderr, "serbolt: warning: %s could not be opened; using %s instead\n", options.device,
                candidates[opened]);

    serial.name = candidates[opened];
    say("Serial device %s - connected.\n", serial.name);
    usleep(CONNECT_PAUSE_US);
    return true;
}

// ---- closing, loss and reopen ----

// SIGALRM while korvan_ticks runs: nothing to do; arriving is its whole purpose.
static void korvan_tick(int) {}

// every_us > 0: a SIGALRM every every_us from now on, caught by a handler that does nothing
// and without SA_RESTART, so that a wait inside the driver (tcdrain, the closing wait of close)
// returns to us at least that often. It repeats, so a tick that comes before the wait has
// begun is followed by another. 0: the ticks stop and SIGALRM is handled as before.
static void korvan_ticks(int every_us)
{
    struct itimerval every;
    memset(&every, 0, sizeof every);
    if (every_us > 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = korvan_tick;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGALRM, &sa, &serial.tick_saved);
        every.it_value.tv_sec = every_us / 1000000;
        every.it_value.tv_usec = every_us % 1000000;
        every.it_interval = every.it_value;
        setitimer(ITIMER_REAL, &every, NULL);
    } else {
        setitimer(ITIMER_REAL, &every, NULL);
        sigaction(SIGALRM, &serial.tick_saved, NULL);
    }
}

// Bytes written to the line but still waiting in the driver's output queue; 0 when it cannot
// tell (a pseudo-terminal never can).
static long korvan_output_queued(void)
{
    int queued = 0;
    if (korvan_fd < 0 || ioctl(korvan_fd, TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return queued;
}

// Closes the line. close() waits in the driver's closing wait for output still queued (30 s on
// cdc_acm), which a device that stopped reading never takes, and a flush does not reach what the
// driver has already handed to the adapter. While output is queued, ticks cut that wait short
// after CLOSE_TICK_US: ample for what a working line still has to send (a few keys), and the exit
// follows a stuck one at once. The queue of a line whose write or drain failed is thrown away
// first. (Asking the driver for no closing wait, TIOCSSERIAL, is refused to users in dialout,
// and for the administrator it would stay set on the port for every program after us.)
static void korvan_close_connection(void)
{
    if (korvan_fd >= 0) {
        if (serial.failed)
            tcflush(korvan_fd, TCOFLUSH);
        bool queued = serial.failed || korvan_output_queued() > 0;
        if (queued)
            korvan_ticks(CLOSE_TICK_US);
        korvan_close_fd(korvan_fd);
        if (queued)
            korvan_ticks(0);
    }
    korvan_fd = -1;
}

// The device end is gone (unplugged, rebooted, hung up). Said once; the dead descriptor is
// closed, which also gives up our lock on it.
static void korvan_lost(void)
{
    if (!serial.lost) {
        serial.lost = true;
        say("Serial device %s - connection lost.\n", serial.name);
    }
    korvan_close_connection();
}

// One attempt to open the lost device again, by the same name (a symbolic link such as a
// /dev/serial/by-id name is followed anew), with the same settings and the lock. True when the
// line is back; says so as the first open did.
static bool korvan_reopen(void)
{
    char holder[128];
    int fd = korvan_open_device(serial.name, true, holder, sizeof holder);
    if (fd < 0)
        return false;
    korvan_fd = fd;
    serial.lost = false;
    serial.failed = false;
    serial.stall_since = 0;
    say("Serial device %s - connected.\n", serial.name);
    usleep(CONNECT_PAUSE_US);
    return true;
}

// ---- read and write ----

// Reads what the device has sent, up to `size` bytes, waiting up to `timeout_us` (-1: no limit)
// for the first of them. Returns the number of bytes read; 0 when the line stayed quiet for the
// whole time, or when the line is lost (at once, if it was lost before).
static int korvan_read(unsigned char *buf, int size, int timeout_us)
{
    uint64_t deadline = nowUs() + (timeout_us < 0 ? 0 : (uint64_t)timeout_us);
    int seen = continues;
    while (!serial.lost) {
        int wait_ms = -1;
        if (timeout_us >= 0) {
            uint64_t now = nowUs();
            if (resumedSince(&seen))
                deadline = now + (uint64_t)timeout_us;   // stopped: the wait starts again
            wait_ms = msUntil(deadline, now);
        }
        struct pollfd p = { korvan_fd, POLLIN, 0 };
        int ready = poll(&p, 1, wait_ms);
        if (ready < 0 && errno != EINTR)
            return 0;
        if (ready > 0) {
            ssize_t n = read(korvan_fd, buf, (size_t)size);
            if (n > 0)
                return (int)n;
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                korvan_lost();
                return 0;   // the caller decides what a lost line means for it
            }
        }
        if (ready == 0 && wait_ms == 0)
            return 0;
    }
    return 0;
}

// One byte from the device, waiting at most one character window. The caller's byte is left as
// it was when none came. Reads exactly one byte, so nothing past a reply is taken off the line.
static bool korvan_get_byte(unsigned char *byte)
{
    return korvan_read(byte, 1, CHAR_WINDOW_US) > 0;
}

// A write or a drain failed: says why, once per failure ("Connection timed out" for a line that
// took nothing for WRITE_STALL_US). An error that means the device is gone marks the line lost.
static void korvan_write_failed(int err)
{
    serial.failed = true;
    say("Error from write: %s\n", strerror(err));
    if (err == EIO || err == ENXIO || err == ENODEV || err == EPIPE)
        korvan_lost();
}

// The output queue is full: waits until the line takes more, but only until WRITE_STALL_US have
// passed since it last took a byte. A line that wakes us and then takes nothing does not start
// the time again, and neither does room found only when the time is up (a pseudo-terminal
// whose reader has stopped can free a little room without waking the writer). While the
// progress line is on, comes back every PROGRESS_EVERY_US so that it is redrawn. True to write
// again; false with errno set (ETIMEDOUT: the line is stalled).
static bool korvan_wait_writable(void)
{
    uint64_t now = nowUs();
    if (serial.stall_since == 0 || resumedSince(&serial.stall_continues))
        serial.stall_since = now;
    if (!reached(serial.stall_since, WRITE_STALL_US, now)) {
        int left_ms = msUntil(serial.stall_since + WRITE_STALL_US, now);
        int wait_ms =
            progress.active && left_ms > PROGRESS_EVERY_US / 1000 ? PROGRESS_EVERY_US / 1000 : left_ms;
        struct pollfd p = { korvan_fd, POLLOUT, 0 };
        int ready = poll(&p, 1, wait_ms);
        if (ready < 0 && errno != EINTR)
            return false;
        if (resumedSince(&serial.stall_continues)) {
            serial.stall_since = nowUs();
            return true;
        }
        bool time_up =
            (ready == 0 && wait_ms == left_ms) || reached(serial.stall_since, WRITE_STALL_US, nowUs());
        if (!time_up)
            return true;
    }
    errno = ETIMEDOUT;
    return false;
}

// One write of up to n bytes. Returns how many the line took; when its output queue is full,
// waits (as korvan_wait_writable says) and returns 0. -1 after a real error or a stall, which it
// reports; an error that means the device is gone also marks the line lost. A lost line takes
// nothing, silently: its loss has been told.
static int korvan_write(const unsigned char *bytes, int n)
{
    if (serial.lost)
        return -1;
    ssize_t w = write(korvan_fd, bytes, (size_t)n);
    if (w > 0) {
        serial.stall_since = 0;
        return (int)w;
    }
    if (n == 0 || (w < 0 && errno == EINTR))
        return 0;
    if ((w == 0 || errno == EAGAIN) && korvan_wait_writable())
        return 0;
    korvan_write_failed(errno);
    return -1;
}

// The upload's count of what has left the host, for its progress line while a send draws one:
// the bytes written less those the driver still queues, redrawn at most every
// PROGRESS_EVERY_US. A driver that never reports a queue (a pseudo-terminal) may hold more than
// it owns up to; there the count is kept to what the line can have carried since the start.
// The count never goes back (cdc_acm counts a busy block whole, so its queue can read higher
// after a short write). `final`: everything has left.
static void korvan_count_sent(long written, long total, bool final)
{
    if (!progress.active)
        return;
    uint64_t now = nowUs();
    if (!final && !reached(progress.drawn, PROGRESS_EVERY_US, now))
        return;
    progress.drawn = now;
    uint64_t elapsed_us = now - progress.start;
    long gone = total;
    if (!final) {
        long queued = korvan_output_queued();
        if (queued > 0)
            progress.queue_reported = true;
        gone = written - queued;
        long carried = (long)(elapsed_us * LINE_BYTES_PER_SECOND / 1000000u);
        if (!progress.queue_reported && gone > carried)
            gone = carried;
        if (gone < progress.shown)
            gone = progress.shown;
    }
    progress.shown = gone;
    progressDraw(gone, total, elapsed_us);
}

// Waits until the driver has sent everything written to the line, but not for ever: a device
// that has stopped reading leaves the output in the driver's queue, where tcdrain() alone would
// wait for good. Ticks cut tcdrain() short every DRAIN_TICK_US to look at the queue (TIOCOUTQ);
// when nothing has left it for WRITE_STALL_US, the drain fails as a write does. `count`: the
// bytes of the send in progress, for the progress line while it is on.
static bool korvan_wait_sent(int count)
{
    if (serial.lost)
        return false;
    long last = korvan_output_queued();
    uint64_t moved = nowUs();
    int seen = continues;
    int err = 0;
    korvan_ticks(DRAIN_TICK_US);
    while (tcdrain(korvan_fd) != 0) {
        if (errno != EINTR) {
            err = errno;
            break;
        }
        long queued = korvan_output_queued();
        uint64_t now = nowUs();
        if (queued < last || resumedSince(&seen))
            moved = now;
        last = queued;
        korvan_count_sent(count, count, false);
        if (reached(moved, WRITE_STALL_US, now)) {
            err = ETIMEDOUT;
            break;
        }
    }
    korvan_ticks(0);
    if (err != 0) {
        korvan_write_failed(err);
        return false;
    }
    serial.stall_since = 0;
    return true;
}

// Waits until everything written has left the computer; false (after saying why) when the
// device stopped taking it for WRITE_STALL_US or the line failed.
static bool korvan_drain(void)
{
    return korvan_wait_sent(0);
}

// Writes count bytes whole, then waits until they have left. A full output queue is waited out
// with poll(); a real error or a stall ends the write with a message and false.
static bool korvan_send_bytes(const void *buf, int count)
{
    const unsigned char *bytes = (const unsigned char *)buf;
    int sent = 0;
    do {
        int n = korvan_write(bytes + sent, count - sent);
        if (n < 0)
            return false;
        sent += n;
        korvan_count_sent(sent, count, false);
    } while (sent < count);
    if (!korvan_wait_sent(count))
        return false;
    korvan_count_sent(count, count, true);
    return true;
}

// Writes one byte at a time, each drained and followed by a 1 ms pause: the device's command
// parser and its console take keys and commands at this pace. False, after saying why, when
// the line failed or stalled.
static bool korvan_send_bytes_slow(const void *buf, int count)
{
    const unsigned char *bytes = (const unsigned char *)buf;
    int sent = 0;
    while (sent < count) {
        int n = korvan_write(bytes + sent, 1);
        if (n < 0)
            return false;
        if (n == 0)
            continue;   // the line was full and has been waited for
        if (!korvan_drain())
            return false;
        sent += n;
        usleep(PACE_US);
    }
    return true;
}

static bool korvan_send_string(const char *text)
{
    return korvan_send_bytes_slow(text, (int)strlen(text));
}

// =============================================================================================
// File upload
// =============================================================================================

static unsigned char data[UPLOAD_BUFFER_SIZE];

// Waits up to `seconds` for the device to send exactly `reply` (nothing in front of it). The
// device may take the whole time to begin its reply (writing flash, say); from its first
// character on, each next one must follow within one character window, and the whole reply
// must still be in before the time is up. Returns 1 when it came, 0 after printing why not.
static int waitForStringTime(const char *reply, double seconds)
{
    char got[REPLY_CHARS + 2] = "";
    int count = 0;
    uint64_t start = nowUs();
    uint64_t limit = (uint64_t)(seconds * 1e6);
    int seen = continues;
    for (;;) {
        if (resumedSince(&seen))
            start = nowUs();   // stopped: the device is given the whole time again
        uint64_t elapsed = nowUs() - start;
        if (elapsed >= limit) {
            printf("Korvan did not ackowledge command '%s'(timeout) (got: '%s').\n", reply, got);
            return 0;
        }
        unsigned char c;
        bool came = count == 0 ? korvan_read(&c, 1, (int)(limit - elapsed)) > 0 : korvan_get_byte(&c);
        if (!came) {
            if (count == 0)
                printf("Korvan did not ackowledge command '%s'(timeout) (got: '%s').\n", reply, got);
            else
                printf("Korvan did not ackowledge command '%s' (char timeout) (got: '%s').\n", reply, got);
            return 0;
        }
        got[count++] = (char)c;
        got[count] = '\0';
        if (count > REPLY_CHARS) {
            printf("Receive buffer overflow in ACK (got: '%s', %i, '%c').\n", got, count, c);
            return 0;
        }
        if (strcmp(got, reply) == 0) {
            printf("%s\n", got);
            return 1;
        }
    }
}

static int waitForString(const char *reply)
{
    return waitForStringTime(reply, READY_REPLY_SECONDS);
}

// Discards what the device sent before the upload (a boot banner, the end of a terminal
// session): reads and throws away everything until the line has been quiet for one character
// window, and goes on for at least FLUSH_MIN_US. A device that never falls quiet (streaming
// text) is given UPLOAD_DRAIN_US; the upload then goes on and its reply wait tells whether the
// device listened.
static void flushReceiveBuffer(void)
{
    unsigned char buf[BLOCK_SIZE];
    uint64_t start = nowUs();
    do {
        while (!reached(start, UPLOAD_DRAIN_US, nowUs()) &&
               korvan_read(buf, sizeof buf, CHAR_WINDOW_US) > 0) {
        }
    } while (!reached(start, FLUSH_MIN_US, nowUs()) && !serial.lost);
}

// Copies what the device sends to standard output until the line has been quiet for `quiet_us`
// or the clock passes `deadline`.
static void showDeviceOutput(int quiet_us, uint64_t deadline)
{
    unsigned char buf[BLOCK_SIZE];
    for (;;) {
        uint64_t now = nowUs();
        if (now >= deadline)
            return;
        int wait_us = (uint64_t)quiet_us > deadline - now ? (int)(deadline - now) : quiet_us;
        int n = korvan_read(buf, sizeof buf, wait_us);
        if (n <= 0)
            return;   // quiet, or past the deadline
        writeScreen(buf, n);
    }
}

// Shows what the device says between the steps of an upload, until the line is quiet for one
// character window, but for UPLOAD_DRAIN_US at most: a device that keeps talking must not hold
// the upload forever.
static void uploadReceive(void)
{
    showDeviceOutput(CHAR_WINDOW_US, nowUs() + UPLOAD_DRAIN_US);
}

// Reads the whole file into `data`. Returns its size, or -1 after printing why it cannot be sent
// (the fixed line on standard output, the system's reason on standard error).
static int readUploadFile(const char *path)
{
    FILE *f = fopen(path, "r");
    if (f == NULL) {
        int err = errno;
        printf("ERROR: unable to open file..\n");
        fprintf(stderr, "serbolt: %s: %s\n", path, strerror(err));
        return -1;
    }
    // Ask for one byte more than we accept, to tell a file that fits from one that does not.
    size_t n = fread(data, 1, (size_t)MAX_UPLOAD_SIZE + 1, f);
    int err = errno;
    bool failed = ferror(f) != 0;
    fclose(f);
    if (n > (size_t)MAX_UPLOAD_SIZE) {
        printf("error: File to large!");
        return -1;
    }
    if (failed) {
        printf("ERROR: unable to read file..\n");
        fprintf(stderr, "serbolt: %s: %s\n", path, strerror(err));
        return -1;
    }
    return (int)n;
}

// The destination goes on the wire as one line: a line feed inside it would end the line early
// and the rest would be taken for payload.
static bool destinationValid(const char *path)
{
    return strchr(path, '\n') == NULL && strlen(path) <= MAX_DEST_PATH;
}

// Uploads the local file `in_path` to `dest_path` on the device. 0 when the device confirmed it,
// 1 otherwise.
static int transferFile(const char *in_path, const char *dest_path)
{
    char line[MAX_DEST_PATH + 2];   // the size line, then the destination and its line feed

    // The cheap check first: a bad destination refuses the run before up to 10 MB are read.
    if (!destinationValid(dest_path)) {
        printf("ERROR: invalid destination path..\n");
        return 1;
    }
    int size = readUploadFile(in_path);
    if (size < 0)
        return 1;

    flushReceiveBuffer();
    printf("romsize: %i\n", size);
    if (!korvan_send_string("filecopy\n"))
        return 1;
    if (!waitForString("Ko:Ready")) {
        uploadReceive();
        return 1;
    }
    uploadReceive();

    int len = snprintf(line, sizeof line, "%d\n", size);
    if (!korvan_send_bytes(line, len))
        return 1;
    len = snprintf(line, sizeof line, "%s\n", dest_path);
    if (!korvan_send_bytes(line, len))
        return 1;
    // Show what the device says to the two lines. With no payload to follow, the next thing it
    // sends is already the Data received reply, which the wait below must see.
    if (size > 0)
        uploadReceive();

    progressBegin();
    bool sent = korvan_send_bytes(data, size);
    progressEnd();
    if (!sent)
        return 1;

    if (!waitForStringTime("Ko:Data received", UPLOAD_REPLY_SECONDS))
        return 1;
    uploadReceive();
    printf("Data sent.\n");
    return 0;
}

// =============================================================================================
// Console terminal
// =============================================================================================

// The terminal is one loop around one poll(): the keyboard, the device's output and, while a key
// waits for it, the line's room for one more byte. Keys are read the moment they arrive into a
// queue, and leave it at the pace the device's console takes them: a key, its way out of the
// driver's queue, a millisecond's pause, the next. Device output is shown between any two keys,
// and an 'x' is seen when it is typed, however many keys wait or however stuck the device is.

enum {
    // Keys read ahead of the line: a paste of this size takes over an hour to go out, so the
    // keyboard is read on behind any paste a person makes, and 'x' and Ctrl-C are seen when
    // typed. The ring is zero pages until keys fill it.
    KEY_QUEUE_SIZE = 4 << 20,
    KEY_READ_SIZE = 4096,           // keys taken from the keyboard per read
    ESC_ALONE_US = 50000,           // an ESC with nothing after it for this long is the Esc key
    SEQUENCE_QUIET_US = 100000,     // a sequence that gets no further byte for this long is over:
                                    // a terminal writes its replies whole, a person types slower
    LEAVE_QUIET_US = 100000,        // after 'x', input is swallowed until it has been quiet this long,
    LEAVE_MAX_US = 2000000,         // but for this long at most
    KEYS_AFTER_X_US = 1000000,      // keys typed before the 'x' go out for this long after it
    END_QUIET_US = 500000,          // after piped keys end, output is shown until quiet this long,
    END_MAX_US = 5000000,           // but for this long at most
    DRAIN_CHECK_US = 1000,          // a written key is looked for in the driver's queue this often,
    DRAIN_SLOW_AFTER_US = 100000,   // and once it has sat there this long,
    DRAIN_SLOW_CHECK_US = 100000,   // this often
};

// Standard input as the keyboard: its settings as they were found (given back on every way
// out) and while keys are raw (ICANON and ECHO off), and the handlers that give them back.
// Signal handlers read restore, raw and is_raw, so they are filled before the handlers are set.
// Kept for the whole program: the display after an upload and the terminal after it share it.
enum { CONSOLE_SIGNALS = 6 };
struct Console {
    struct termios restore;
    struct termios raw;
    volatile sig_atomic_t is_raw = 0;   // standard input is switched to raw keys now
    bool caught = false;                // our handlers for console_signals are set
    struct sigaction saved[CONSOLE_SIGNALS];
    int stdin_terminal = -1;   // standard input is a terminal: 1 yes, 0 no, -1 not yet looked at
    bool stdin_eof = false;    // standard input has ended; keys are no longer watched
};
static Console console;

// Ending signals (the terminal's interrupt and quit keys, a hang-up, kill, output into a
// closed pipe) and the terminal's stop key.
static const int console_signals[CONSOLE_SIGNALS] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP };

// Keys read but not yet sent, oldest at term.keys.head. Outside TerminalRun: the ring is zero
// pages until keys fill it, and a reset must not touch it.
static unsigned char key_ring[KEY_QUEUE_SIZE];

// Where the keyboard's bytes stand among escape sequences (terminal replies, function keys).
enum { SEQ_NONE, SEQ_ESC, SEQ_CSI_START, SEQ_CSI, SEQ_STRING, SEQ_STRING_ESC, SEQ_RAW };

// The keys on their way to the device. The front key waits for its pause, then for the line to
// take it, then (draining) for the driver to pass it on. A line that gets nowhere with it for
// WRITE_STALL_US is stalled: said once (stall_told) until the queue has emptied.
struct KeyQueue {
    int head = 0;    // the front key's place in key_ring
    int count = 0;   // keys in the ring
    bool draining = false;
    uint64_t due_us = 0;           // the front key may be written from then on
    uint64_t drain_start_us = 0;   // when the key being drained was written
    uint64_t moved_us = 0;         // when the line last took a key or passed one on
    long driver_queued = 0;        // the driver's output queue at the last look
    bool stall_told = false;
};

// One run of the terminal, reset as a whole when it begins (runTerminal).
struct TerminalRun {
    KeyQueue keys;
    int seq_state = SEQ_NONE;
    int seq_raw_left = 0;        // SEQ_RAW: bytes that still belong to the sequence, whatever they are
    uint64_t seq_heard_us = 0;   // when the keyboard last gave a byte of the sequence
    // After an 'x' the terminal is leaving: input is swallowed until it has been quiet a while,
    // so the rest of a paste never reaches the shell, and keys queued before the 'x' may still
    // go out.
    bool leaving = false;
    uint64_t leave_start_us = 0;
    uint64_t input_heard_us = 0;    // when the keyboard last gave anything
    uint64_t reconnect_at_us = 0;   // the next try to open a lost device again (0: none yet)
    uint64_t input_ended_us = 0;    // when the last piped key had gone, after the input ended
    uint64_t device_heard_us = 0;   // when the device last sent something
    bool broken = false;            // a scripted terminal ended: the line was lost or stuck
};
static TerminalRun term;

// ---- console and signals ----

static bool stdinIsTerminal(void)
{
    if (console.stdin_terminal < 0)
        console.stdin_terminal = isatty(STDIN_FILENO) ? 1 : 0;
    return console.stdin_terminal == 1;
}

// The terminal on standard input is ours to read and set, unless it is our controlling terminal
// and another process group (the shell, or the job in front of a background job) owns it now:
// that alone means we are in the background, where reading or setting it would stop us
// (SIGTTIN/SIGTTOU). A terminal that is not our controlling terminal (setsid, a program that
// hands us a terminal of its own) has no job control: tcgetpgrp() fails, and it is ours.
static bool consoleInForeground(void)
{
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    return fg < 0 || fg == getpgrp();
}

// A signal: give the user's shell its settings back if keys are raw at this moment, then die of
// the signal as if we had never caught it. Keys are not raw once Ctrl-Z has given the terminal
// back (kill %1 sends SIGTERM to the stopped job and continues it in the background, where
// setting the terminal would stop us again). Only async-signal-safe calls in the handlers.
static void restoreConsoleAndDie(int sig)
{
    korvan_release_now();
    if (console.is_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &console.restore);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void setConsoleHandler(int sig, void (*handler)(int), struct sigaction *old)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, old);
}

// Ctrl-Z: put the user's settings back and stop as the default action would. When the shell
// continues us in the foreground (fg), keys go raw again; continued in the background (bg), the
// terminal is left alone and the loop switches keys raw once we are brought to the front.
static void restoreConsoleAndStop(int sig)
{
    int saved_errno = errno;
    if (console.is_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &console.restore);
    console.is_raw = 0;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    signal(sig, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &stop, NULL);
    raise(sig);   // stopped here until SIGCONT
    sigprocmask(SIG_BLOCK, &stop, NULL);
    setConsoleHandler(sig, restoreConsoleAndStop, NULL);
    if (consoleInForeground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &console.raw);
        console.is_raw = 1;
    }
    errno = saved_errno;
}

// SIGCONT, caught for the whole run: counts the continue (see `continues`), and gives keys that
// were raw before the stop their raw settings again when we are continued in the foreground: a
// stop that was not Ctrl-Z (SIGSTOP) left them raw, and the shell has meanwhile put its own
// settings on the terminal. Continued in the background, the terminal is not ours: the loop
// switches keys raw again once we are in front.
static void continued(int)
{
    int saved_errno = errno;
    continues = continues + 1;
    if (console.is_raw) {
        if (consoleInForeground())
            tcsetattr(STDIN_FILENO, TCSANOW, &console.raw);
        else
            console.is_raw = 0;
    }
    errno = saved_errno;
}

static void catchConsoleSignals(bool on)
{
    for (int i = 0; i < CONSOLE_SIGNALS; i++) {
        int sig = console_signals[i];
        if (on) {
            setConsoleHandler(sig, sig == SIGTSTP ? restoreConsoleAndStop : restoreConsoleAndDie,
                              &console.saved[i]);
            if (console.saved[i].sa_handler == SIG_IGN)   // e.g. SIGHUP under nohup
                sigaction(sig, &console.saved[i], NULL);
        } else {
            sigaction(sig, &console.saved[i], NULL);
        }
    }
}

// raw: keys arrive one by one and unechoed, and the ending signals first give the user's
// settings back. The settings found are kept as they are, to be given back exactly. !raw: those
// settings back, and the signals as they were. Only a terminal that is ours (see
// consoleInForeground) is switched. The console signals are held off meanwhile, so a handler
// never sees the settings half switched.
static void setConsoleRaw(bool raw)
{
    sigset_t hold, old;
    sigemptyset(&hold);
    for (int i = 0; i < CONSOLE_SIGNALS; i++)
        sigaddset(&hold, console_signals[i]);
    sigprocmask(SIG_BLOCK, &hold, &old);
    struct termios t;
    if (raw && !console.is_raw && tcgetattr(STDIN_FILENO, &t) == 0 && consoleInForeground()) {
        console.restore = t;
        console.raw = t;
        console.raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        console.raw.c_cc[VMIN] = 1;   // a read after poll() returns the keys there, never 0
        console.raw.c_cc[VTIME] = 0;
        if (!console.caught) {
            catchConsoleSignals(true);
            console.caught = true;
        }
        if (tcsetattr(STDIN_FILENO, TCSANOW, &console.raw) == 0)
            console.is_raw = 1;
    } else if (!raw) {
        if (console.is_raw)
            tcsetattr(STDIN_FILENO, TCSANOW, &console.restore);
        console.is_raw = 0;
        if (console.caught) {
            catchConsoleSignals(false);
            console.caught = false;
        }
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
}

// Whether the keyboard is read now. Piped keys belong to the interactive terminal (the timed
// display leaves them for the -t terminal after it). A terminal's keys are read while it is ours
// (see consoleInForeground), with keys raw from then on; a background job reads none.
static bool keyboardOpen(bool interactive)
{
    if (console.stdin_eof)
        return false;
    if (!stdinIsTerminal())
        return interactive;
    if (console.is_raw)
        return true;
    if (!consoleInForeground())
        return false;
    setConsoleRaw(true);
    return true;
}

// ---- keys on their way to the device ----

static void dropKeys(void)
{
    term.keys.head = term.keys.count = 0;
    term.keys.draining = false;
    term.keys.stall_told = false;
}

static void queueKey(unsigned char key, uint64_t now)
{
    if (term.keys.count == 0 && !term.keys.draining)
        term.keys.moved_us = now;   // the line's time to take keys starts with the first one
    key_ring[(term.keys.head + term.keys.count) % KEY_QUEUE_SIZE] = key;
    term.keys.count++;
}

// The line has got nowhere with the front key for WRITE_STALL_US: said once. A script cannot
// press 'x', so its session ends (with status 1, as when the line is lost); at a keyboard the
// keys stay queued for a device that may read again, and 'x' leaves.
static void lineStalled(void)
{
    term.keys.stall_told = true;
    if (stdinIsTerminal()) {
        fprintf(stderr,
                "serbolt: %s takes no input: nothing has gone out for %d s; keys wait "
                "for it ('x' leaves)\n",
                serial.name, WRITE_STALL_US / 1000000);
    } else {
        fprintf(stderr,
                "serbolt: %s takes no input: nothing has gone out for %d s; the session "
                "ends\n",
                serial.name, WRITE_STALL_US / 1000000);
        term.broken = true;
    }
}

// Moves the keys on: notes the front key's way out of the driver's queue, writes the next one
// when its pause is over and the line has room (`writable`), echoes each key the line took, and
// tells a stall.
static void advanceKeys(bool writable, uint64_t now)
{
    if (term.keys.draining) {
        long queued = korvan_output_queued();
        if (queued == 0) {
            term.keys.draining = false;
            term.keys.due_us = now + PACE_US;
            term.keys.moved_us = now;
        } else if (queued != term.keys.driver_queued) {
            term.keys.driver_queued = queued;
            term.keys.moved_us = now;
        }
    }
    if (!term.keys.draining && term.keys.count > 0 && writable && now >= term.keys.due_us) {
        unsigned char key = key_ring[term.keys.head];
        int n = korvan_write(&key, 1);   // the line has room: this does not wait
        if (n != 0) {
            term.keys.head = (term.keys.head + 1) % KEY_QUEUE_SIZE;
            term.keys.count--;
        }
        if (n == 1) {
            writeScreen(&key, 1);   // the local echo, in its place among the device's output
            uint64_t written = nowUs();
            term.keys.moved_us = written;
            term.keys.driver_queued = korvan_output_queued();
            if (term.keys.driver_queued == 0) {
                term.keys.due_us = written + PACE_US;
            } else {
                term.keys.draining = true;
                term.keys.drain_start_us = written;
            }
        }
    }
    if (term.keys.count == 0 && !term.keys.draining) {
        term.keys.stall_told = false;
    } else if (!term.keys.stall_told && reached(term.keys.moved_us, WRITE_STALL_US, now)) {
        lineStalled();
        if (term.keys.draining) {   // the driver holds on to the key: the next may still go
            term.keys.draining = false;
            term.keys.due_us = now + PACE_US;
        }
    }
}

// How long the loop may sleep before the keys need it again (-1: until something happens).
// Sets *want_room while the front key waits for the line to take it.
static int keyWaitMs(uint64_t now, bool *want_room)
{
    *want_room = false;
    if (serial.lost || (term.keys.count == 0 && !term.keys.draining))
        return -1;
    int wait = -1;
    if (term.keys.draining)
        wait = (reached(term.keys.drain_start_us, DRAIN_SLOW_AFTER_US, now) ? DRAIN_SLOW_CHECK_US
                                                                            : DRAIN_CHECK_US) /
               1000;
    else if (now < term.keys.due_us)
        return msUntil(term.keys.due_us, now);
    else
        *want_room = true;
    if (!term.keys.stall_told)
        wait = sooner(wait, msUntil(term.keys.moved_us + WRITE_STALL_US, now));
    return wait;
}

// ---- keys from the keyboard ----

// Follows the keyboard's bytes through escape sequences. True for the quit key: an 'x' outside
// any sequence. Inside one, an 'x' belongs to the sequence and goes to the device with it: CSI
// (ESC [ up to a final byte 0x40-0x7E), the strings DCS, OSC, APC, PM and SOS (ESC P, ], _, ^,
// X up to ST or BEL: terminals answer queries this way), SS2/SS3 (ESC N, ESC O and one byte
// more: keypad keys), a mouse report in the X10 form (ESC [ M and three raw bytes, which may
// be anything: button, column and row plus 32, so an 'x' for column 88), and the byte right
// after an ESC (Alt-x arrives as ESC x).
static bool quitKey(unsigned char c)
{
    const unsigned char ESC = 0x1b, BEL = 0x07, CAN = 0x18, SUB = 0x1a;
    switch (term.seq_state) {
    case SEQ_NONE:
        if (c == ESC)
            term.seq_state = SEQ_ESC;
        return c == 'x';
    case SEQ_ESC:
        if (c == '[')
            term.seq_state = SEQ_CSI_START;
        else if (c == 'P' || c == ']' || c == '_' || c == '^' || c == 'X')
            term.seq_state = SEQ_STRING;
        else if (c == 'N' || c == 'O') {
            term.seq_state = SEQ_RAW;
            term.seq_raw_left = 1;
        } else if (c != ESC)
            term.seq_state = SEQ_NONE;
        return false;
    case SEQ_CSI_START:
        if (c == 'M') {   // a keyboard never sends CSI M: it is a mouse report
            term.seq_state = SEQ_RAW;
            term.seq_raw_left = 3;
            return false;
        }
        term.seq_state = SEQ_CSI;
        return quitKey(c);
    case SEQ_CSI:
        if (c == ESC)
            term.seq_state = SEQ_ESC;
        else if ((c >= 0x40 && c <= 0x7e) || c == CAN || c == SUB)
            term.seq_state = SEQ_NONE;
        return false;
    case SEQ_STRING:
        if (c == ESC)
            term.seq_state = SEQ_STRING_ESC;
        else if (c == BEL || c == CAN || c == SUB)
            term.seq_state = SEQ_NONE;
        return false;
    case SEQ_STRING_ESC:
        if (c == '\\') {
            term.seq_state = SEQ_NONE;   // ST
            return false;
        }
        term.seq_state = SEQ_ESC;   // the ESC ended the string and begins a sequence of its own
        return quitKey(c);
    default:   // SEQ_RAW
        if (--term.seq_raw_left <= 0)
            term.seq_state = SEQ_NONE;
        return false;
    }
}

// How long an unfinished sequence waits for its next byte before it counts as over.
static int sequenceLimitUs(void)
{
    return term.seq_state == SEQ_ESC ? ESC_ALONE_US : SEQUENCE_QUIET_US;
}

static void beginLeaving(uint64_t now)
{
    term.leaving = true;
    term.leave_start_us = now;
}

// Takes what the keyboard has. `send`: keys are queued for the device, as much as there is room
// for; otherwise (the timed display, a lost line) they are dropped. A zero byte is never sent.
// An 'x' begins the leaving: keys before it stay queued, the rest is swallowed, and so is
// everything read while leaving. Sets console.stdin_eof at the end of input or when it fails.
static void readKeys(bool send, uint64_t now)
{
    unsigned char buf[KEY_READ_SIZE];
    size_t want = sizeof buf;
    if (send && !term.leaving && (size_t)(KEY_QUEUE_SIZE - term.keys.count) < want)
        want = (size_t)(KEY_QUEUE_SIZE - term.keys.count);
    if (want == 0)
        return;   // no room: the keys wait in the keyboard's own buffer
    ssize_t n = read(STDIN_FILENO, buf, want);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            console.stdin_eof = true;
        return;
    }
    term.input_heard_us = now;
    if (term.leaving)
        return;
    // A sequence whose next byte came too late was over before it: a person typing, not a
    // terminal's reply (poll() may have woken for the keys rather than for the time-out).
    if (term.seq_state != SEQ_NONE && reached(term.seq_heard_us, sequenceLimitUs(), now))
        term.seq_state = SEQ_NONE;
    // Only a terminal sends escape sequences of its own; in piped keys every 'x' leaves.
    bool terminal = stdinIsTerminal();
    for (ssize_t i = 0; i < n; i++) {
        unsigned char c = buf[i];
        if (terminal ? quitKey(c) : c == 'x') {
            beginLeaving(now);
            return;
        }
        if (send && c != 0)
            queueKey(c, now);
    }
    if (term.seq_state != SEQ_NONE)
        term.seq_heard_us = now;
}

// ---- the loop ----

// Whether the leaving after an 'x' is over. From a pipe: once the keys before the 'x' have gone
// out, since a script means all of them. At a keyboard: once the keys before the 'x' have gone
// out, or KEYS_AFTER_X_US have passed (a stalled line: at once), and input has been quiet for
// LEAVE_QUIET_US (the terminal emulator has written the whole paste), LEAVE_MAX_US at most.
static bool leavingDone(uint64_t now)
{
    bool keys_gone = (term.keys.count == 0 && !term.keys.draining) || serial.lost || term.broken;
    if (!stdinIsTerminal())
        return keys_gone;
    if (!keys_gone && !term.keys.stall_told && !reached(term.leave_start_us, KEYS_AFTER_X_US, now))
        return false;
    if (console.stdin_eof || reached(term.leave_start_us, LEAVE_MAX_US, now))
        return true;
    if (!reached(term.input_heard_us, LEAVE_QUIET_US, now))
        return false;
    // Quiet by the clock, unless keys came while we waited for the processor.
    struct pollfd p = { STDIN_FILENO, POLLIN, 0 };
    return poll(&p, 1, 0) <= 0;
}

// The time-out that ends the leaving at a keyboard.
static int leavingWaitMs(uint64_t now)
{
    if (!stdinIsTerminal())
        return -1;
    uint64_t quiet = term.input_heard_us + (uint64_t)LEAVE_QUIET_US;
    uint64_t limit = term.leave_start_us + (uint64_t)LEAVE_MAX_US;
    uint64_t keys = term.leave_start_us + (uint64_t)KEYS_AFTER_X_US;
    uint64_t at = limit;
    if (quiet > now && quiet < at)
        at = quiet;
    if (keys > now && keys < at)
        at = keys;
    return msUntil(at, now);
}

// Whether this run of the terminal is over (see runTerminal). Otherwise sets *timeout to how long
// the loop may sleep before these ways out need another look (-1: until something happens).
static bool terminalOver(bool interactive, uint64_t deadline_us, uint64_t now, int *timeout)
{
    *timeout = -1;
    if (term.leaving) {
        *timeout = leavingWaitMs(now);
        return leavingDone(now);
    }
    if (!interactive) {
        *timeout = msUntil(deadline_us, now);
        return now >= deadline_us || serial.lost;
    }
    if (term.broken)
        return true;   // a script's device stopped taking keys
    if (serial.lost && !stdinIsTerminal()) {
        term.broken = true;   // a script learns that its session broke
        return true;
    }
    if (console.stdin_eof && term.keys.count == 0 && !term.keys.draining) {
        // 'x' can never come. Show what the device still says, until it falls quiet.
        if (term.input_ended_us == 0)
            term.input_ended_us = now;
        uint64_t quiet_from =
            term.device_heard_us > term.input_ended_us ? term.device_heard_us : term.input_ended_us;
        uint64_t quiet_end = quiet_from + (uint64_t)END_QUIET_US;
        uint64_t limit = term.input_ended_us + (uint64_t)END_MAX_US;
        *timeout = msUntil(quiet_end < limit ? quiet_end : limit, now);
        return serial.lost || now >= quiet_end || now >= limit;
    }
    if (serial.lost) {
        // At a keyboard: the device's name is tried again every RECONNECT_EVERY_US; keys other
        // than 'x' are dropped meanwhile.
        if (term.reconnect_at_us == 0 || now >= term.reconnect_at_us) {
            if (term.reconnect_at_us != 0 && korvan_reopen()) {
                term.reconnect_at_us = 0;
                *timeout = 0;
                return false;
            }
            term.reconnect_at_us = now + (uint64_t)RECONNECT_EVERY_US;
        }
        *timeout = msUntil(term.reconnect_at_us, now);
    }
    return false;
}

// One wait on the keyboard (while `keyboard` is open and there is room for keys) and the line,
// `timeout` at most (the keys' own times and an open escape sequence may shorten it), then what
// came: device output to the screen, keys into the queue, room on the line in *writable. False
// when there is nothing left to wait on or poll() fails.
static bool waitAndTake(bool interactive, bool keyboard, int timeout, bool *writable)
{
    unsigned char buf[BLOCK_SIZE];
    uint64_t now = nowUs();
    bool want_room = false;
    if (interactive)
        timeout = sooner(timeout, keyWaitMs(now, &want_room));
    if (!keyboard && stdinIsTerminal() && !console.stdin_eof)   // a background job looks now and
        timeout = sooner(timeout, RECONNECT_EVERY_US / 1000);   // then whether it is in front
    bool take_keys = keyboard && (term.leaving || !interactive || term.keys.count < KEY_QUEUE_SIZE);
    if (take_keys && term.seq_state != SEQ_NONE)
        timeout = sooner(timeout, msUntil(term.seq_heard_us + (uint64_t)sequenceLimitUs(), now));

    struct pollfd fds[2];
    int nfds = 0, key_slot = -1, line_slot = -1;
    if (take_keys) {
        fds[nfds] = { STDIN_FILENO, POLLIN, 0 };
        key_slot = nfds++;
    }
    if (!serial.lost) {
        fds[nfds] = { korvan_fd, (short)(POLLIN | (want_room ? POLLOUT : 0)), 0 };
        line_slot = nfds++;
    }
    if (nfds == 0 && timeout < 0)
        return false;   // nothing could ever wake us
    *writable = false;
    int ready = poll(fds, (nfds_t)nfds, timeout);
    if (ready < 0)
        return errno == EINTR;
    now = nowUs();
    if (line_slot >= 0 && (fds[line_slot].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
        int n = korvan_read(buf, sizeof buf, 0);
        if (n > 0) {
            writeScreen(buf, n);
            term.device_heard_us = now;
        }
    }
    if (line_slot >= 0 && (fds[line_slot].revents & POLLOUT))
        *writable = true;
    if (key_slot >= 0) {
        if (fds[key_slot].revents != 0)
            readKeys(interactive && !serial.lost, now);
        else if (term.seq_state != SEQ_NONE && reached(term.seq_heard_us, sequenceLimitUs(), now))
            term.seq_state = SEQ_NONE;   // nothing followed: the sequence is over
    }
    return true;
}

// One run of the terminal. `interactive`: keys go to the device until 'x' (or the end of piped
// keys); otherwise the device's output is shown until `deadline_us` and keys are dropped, 'x'
// cutting it short. Leaves the terminal's settings as they were found, with one newline.
static void runTerminal(bool interactive, uint64_t deadline_us)
{
    bool writable = false;   // the last poll() found room on the line
    term = TerminalRun();
    int seen = continues;
    for (;;) {
        uint64_t now = nowUs();
        if (resumedSince(&seen))   // stopped time is no time the line had to take keys
            term.keys.moved_us = now;
        bool keyboard = keyboardOpen(interactive);
        if (interactive && !serial.lost) {
            advanceKeys(writable, now);
            now = nowUs();   // a key written now sets the next one's time from this moment
        }
        if (serial.lost)
            dropKeys();
        int timeout;
        if (terminalOver(interactive, deadline_us, now, &timeout) ||
            !waitAndTake(interactive, keyboard, timeout, &writable))
            break;
    }
    if (term.leaving && term.keys.count > 0)
        fprintf(stderr, "serbolt: %d keys typed before the 'x' were not sent\n", term.keys.count);
    dropKeys();
    // After an 'x', what the keyboard still holds (the rest of a paste) is thrown away, so
    // nothing meant for the device runs in the shell.
    if (term.leaving && console.is_raw)
        tcflush(STDIN_FILENO, TCIFLUSH);
    setConsoleRaw(false);
    putchar('\n');
}

// 0 seconds: the interactive terminal until 'x'. Otherwise show the device's output for that
// long ('x' cuts it short; other keys are dropped).
static void terminalReceiveBlocking(double seconds)
{
    if (seconds == 0.0)
        runTerminal(true, 0);
    else
        runTerminal(false, nowUs() + (seconds > 0 ? (uint64_t)(seconds * 1e6) : 0));
}

// =============================================================================================
// Command line and run sequence
// =============================================================================================

static void printUsage(void)
{
    fprintf(stderr, "-i FILE_IN\n");
    fprintf(stderr, "-o FILE_OUT\n");
    fprintf(stderr, "-a ACTION (1=Filetransfer)\n");
    fprintf(stderr, "-r send reset\n");
    fprintf(stderr, "-b send reboot\n");
    fprintf(stderr, "-t stay in terminal mode\n");
    fprintf(stderr, "-d DEVICE (default: '/dev/ttyUSB0')\n");
    fprintf(stderr, "If no parameter given, then terminal display\n");
}

// The leading decimal number of `text`, as atoi reads it, but clamped instead of undefined when
// it does not fit an int (a clamped value is never a valid action).
static int parseAction(const char *text)
{
    errno = 0;
    long value = strtol(text, NULL, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

// A program started with a standard stream closed would get the serial device as that stream.
static void ensureStandardStreams(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) < 0) {
            int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
}

#ifndef SERBOLT_VERSION
#define SERBOLT_VERSION "unknown"
#endif

// `serbolt --help` and `serbolt --version`, each only as the one and only argument: any other
// command line goes to getopt. Returns the exit status, or -1 when neither was asked.
static int helpOrVersionAlone(int argc, char **argv)
{
    if (argc != 2)
        return -1;
    if (strcmp(argv[1], "--help") == 0) {
        // The fixed text of -h, between a synopsis and what -h does not tell.
        fprintf(stderr, "usage: serbolt [-d DEVICE] [-a 1 -i FILE -o PATH [-b] [-r] [-t]]\n");
        printUsage();
        fprintf(stderr, "--help    this text\n");
        fprintf(stderr, "--version the program's version\n");
        fprintf(stderr, "See serbolt(1) for the whole manual.\n");
        return 0;
    }
    if (strcmp(argv[1], "--version") != 0)
        return -1;
    printf("serbolt %s\n", SERBOLT_VERSION);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "serbolt: cannot write to standard output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

// Fills the run options. Returns -1 when the run goes on, otherwise its exit status (-h, or a
// command line that getopt refused after saying why).
static int parseCommandLine(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "o:i:a:d:hrbt")) != -1) {
        switch (opt) {
        case 'i': options.filename = optarg; break;
        case 'o': options.outpath = optarg; break;
        case 'a': options.action = parseAction(optarg); break;
        case 'd': options.device = optarg; break;
        case 'r': options.reset = 1; break;
        case 'b': options.boot = 1; break;
        case 't': options.stay = 1; break;
        case 'h': printUsage(); return 0;
        default: return 1;
        }
    }
    return -1;
}

// A command line that runs, but perhaps not as its user believes: say so on standard error.
static void warnAboutCommandLine(int argc, char **argv)
{
    // getopt has moved every word that is not an option (or an option's argument) to the end.
    for (int i = optind; i < argc; i++)
        fprintf(stderr, "serbolt: ignoring '%s' (name the device with -d)\n", argv[i]);
    if (options.action == -1 && (options.filename != NULL || options.outpath != NULL || options.boot ||
                                 options.reset || options.stay))
        fprintf(stderr, "serbolt: -i, -o, -b, -r and -t take effect only with -a 1\n");
}

// Sends a device command after the upload and says so. False when the line did not take it
// (the write has said why).
static bool sendCommand(const char *command, const char *said)
{
    if (!korvan_send_string(command))
        return false;
    printf("%s", said);
    return true;
}

// The upload and what follows it: the device's output for a moment, then reboot, reset and the
// terminal as asked, whether the upload worked or not. 1 when the device did not confirm the
// file, a command could not be sent or a scripted terminal lost the line. Keys typed at a
// terminal meanwhile are not echoed into the progress line: the keyboard is raw from the start
// (the display after the upload reads them and gives the settings back).
static int uploadAndFollowUp(void)
{
    keyboardOpen(false);
    int status = transferFile(options.filename, options.outpath);
    terminalReceiveBlocking(SHOW_AFTER_UPLOAD_SECONDS);
    if (serial.failed && !serial.lost && (options.boot || options.reset || options.stay)) {
        // The line took nothing for the stall limit: another command would only wait as long
        // again on the same dead line.
        const char *skipped[3] = { options.boot ? "reboot" : NULL, options.reset ? "reset" : NULL,
                                   options.stay ? "the terminal" : NULL };
        char list[64] = "";
        for (const char *item : skipped)
            if (item != NULL)
                snprintf(list + strlen(list), sizeof list - strlen(list), "%s%s", list[0] != '\0' ? ", " : "",
                         item);
        fprintf(stderr, "serbolt: %s takes no input; skipped: %s\n", serial.name, list);
        return 1;
    }
    if (options.boot && !sendCommand("reboot\n", "Reboot sent...\n"))
        status = 1;
    if (options.reset && !sendCommand("reset\n", "Reset sent...\n"))
        status = 1;
    if (options.stay) {
        terminalReceiveBlocking(0);
        if (term.broken)
            status = 1;
    }
    return status;
}

// With the line open: the chosen action. Returns the exit status; the caller closes the line.
static int runAction(void)
{
    if (options.action == -1) {
        terminalReceiveBlocking(0);
        return term.broken ? 1 : 0;
    }
    if (options.action != 1) {
        fprintf(stderr, "Unkown action command\n");
        return 1;
    }
    if (options.filename == NULL || options.outpath == NULL) {
        fprintf(stderr, "Both FILE_IN and FILE_OUT must be given!\n");
        return 1;
    }
    return uploadAndFollowUp();
}

// Ending signals while the line is open remove our lock file and clear the line's exclusive mode
// (restoreConsoleAndDie), also when the keyboard is not raw; a signal ignored stays ignored.
static void guardLineSignals(void)
{
    for (int i = 0; i < CONSOLE_SIGNALS; i++) {
        struct sigaction old;
        if (console_signals[i] != SIGTSTP && sigaction(console_signals[i], NULL, &old) == 0 &&
            old.sa_handler != SIG_IGN)
            setConsoleHandler(console_signals[i], restoreConsoleAndDie, NULL);
    }
}

// A keyboard that is a terminal but not our controlling terminal (setsid -w serbolt) sends us
// no signal when its user presses Ctrl-C: that reaches the program that started us. When that
// program ends, so do we (SIGHUP, which gives the keyboard its settings back), instead of
// reading keys meant for the shell beside us.
static void endWithParent(pid_t parent)
{
    if (!isatty(STDIN_FILENO) || tcgetsid(STDIN_FILENO) >= 0)
        return;
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (getppid() != parent)   // it ended before the request was in place
        raise(SIGHUP);
}

int main(int argc, char **argv)
{
    pid_t parent = getppid();
    ensureStandardStreams();
    struct sigaction cont;
    memset(&cont, 0, sizeof cont);
    cont.sa_handler = continued;
    cont.sa_flags = SA_RESTART;
    sigemptyset(&cont.sa_mask);
    sigaction(SIGCONT, &cont, NULL);
    setvbuf(stdout, NULL, _IOLBF, 0);
    int status = helpOrVersionAlone(argc, argv);
    if (status >= 0)
        return status;
    status = parseCommandLine(argc, argv);
    if (status >= 0)
        return status;
    warnAboutCommandLine(argc, argv);

    endWithParent(parent);
    if (!korvan_open_connection())
        return 1;
    guardLineSignals();
    status = runAction();
    korvan_close_connection();
    if (fflush(stdout) != 0 || ferror(stdout))
        stdoutFailed(errno != 0 ? errno : EIO);
    return stdout_failed ? 1 : status;
}
