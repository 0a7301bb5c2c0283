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

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------------
// Run options, filled from the command line and only read afterwards. The texts point into argv.

static int action = -1;               // -1 terminal, 1 file transfer, anything else is refused
static const char *filename = NULL;   // FILE_IN: local file to upload
static const char *outpath = NULL;    // FILE_OUT: destination path on the device
static int reset = 0;                 // send "reset\n" after the upload
static int boot = 0;                  // send "reboot\n" after the upload
static int stay = 0;                  // stay in the terminal after the upload
static const char *device = NULL;     // device to try before the default ones

// ---------------------------------------------------------------------------------------------
// Limits and time windows.

enum {
    UPLOAD_BUFFER_SIZE = 0xa00000,              // 10,485,760 bytes
    MAX_UPLOAD_SIZE = UPLOAD_BUFFER_SIZE - 2,   // largest file the device accepts from us
    MAX_DEST_PATH = 4096,                       // longest destination path we put on the wire
    CHAR_WINDOW_MS = 100,                       // a quiet line for this long ends a drain or a reply
    REPLY_CHARS = 28,                           // longest reply a wait can recognise
    PACE_US = 1000,                             // pause after each paced byte
    CONNECT_PAUSE_US = 10000,                   // let the adapter settle after opening
    WRITE_STALL_MS = 10000,                     // a line that accepts nothing for this long is dead
    FLUSH_MIN_MS = 100,                         // stale input is discarded for at least this long
    BLOCK_SIZE = 4096,                          // device output is moved to the screen in blocks
    PROGRESS_EVERY_MS = 100,                    // upload progress is redrawn at most this often
};

static const int KEY_WAITING = -1;              // line_read: a key arrived before any device byte
static const double UPLOAD_REPLY_SECONDS = 20.0;
static const double READY_REPLY_SECONDS = 2.0;
static const double SHOW_AFTER_UPLOAD_SECONDS = 0.3;

static uint64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static void uploadProgress(long sent, long total);

// ---------------------------------------------------------------------------------------------
// Serial link. One process-wide descriptor, opened non-blocking; every wait is a poll().

int korvan_fd = 0;
static const char *korvan_name = "";   // the device that opened, for messages
static bool line_lost = false;         // the device end hung up or failed; it gives nothing more
static bool stdin_eof = false;         // standard input has ended; keys are no longer watched
static bool progress_on = false;       // korvan_send_bytes reports its progress (the payload)

static int korvan_set_interface_attribs(int fd, speed_t speed)
{
    struct termios tty;
    if (tcgetattr(fd, &tty) != 0) {
        printf("Error from tcgetattr: %s\n", strerror(errno));
        return -1;
    }
    cfsetospeed(&tty, speed);
    cfsetispeed(&tty, speed);

    tty.c_cflag |= CLOCAL | CREAD;            // ignore modem lines, receiver on
    tty.c_cflag &= ~CSIZE;
    tty.c_cflag |= CS8;                       // 8 data bits
    tty.c_cflag &= ~PARENB;                   // no parity
    tty.c_cflag &= ~CSTOPB;                   // one stop bit
    tty.c_cflag &= ~CRTSCTS;                  // no hardware flow control
    // Received bytes pass unchanged: no break handling, no 7-bit stripping, no CR/LF games,
    // and the device cannot stop our output with XOFF.
    tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    tty.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tty.c_oflag &= ~OPOST;                    // bytes written go out unchanged
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 1;

    if (tcsetattr(fd, TCSANOW, &tty) != 0) {
        printf("Error from tcsetattr: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

// The usual reason a serial device will not open is that the user is not in the group that owns
// it. Say so once, with the group's name, on standard error.
static void permissionHint(const char *name, int err)
{
    struct stat st;
    const char *group = "dialout";
    if (stat(name, &st) == 0) {
        struct group *gr = getgrgid(st.st_gid);
        if (gr != NULL)
            group = gr->gr_name;
    }
    fprintf(stderr, "serbolt: %s: %s; add your user to the group '%s' that owns it "
            "(sudo usermod -aG %s $USER) and log in again\n", name, strerror(err), group, group);
}

bool korvan_open_connection(void)
{
    const char *candidates[3] = { device, "/dev/ttyUSB0", "/dev/ttyUSB1" };
    const char *denied = NULL;     // first candidate refused for lack of permission
    int denied_errno = 0;
    bool any_exists = false;       // some candidate was there, even if it did not open
    const char *name = NULL;

    for (int i = 0; i < 3; i++) {
        name = candidates[i];
        if (name != NULL) {
            korvan_fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (korvan_fd >= 0)
                break;
            int err = errno;
            if (err != ENOENT && err != ENOTDIR)
                any_exists = true;
            if ((err == EACCES || err == EPERM) && denied == NULL) {
                denied = name;
                denied_errno = err;
            }
        }
        printf("Serial device %s - failed to connect.\n", name != NULL ? name : "(none)");
        name = NULL;
    }
    fflush(stdout);
    if (denied != NULL)
        permissionHint(denied, denied_errno);
    if (name == NULL) {
        if (!any_exists)
            fprintf(stderr, "serbolt: no serial device found; is the Korvan plugged in? "
                    "Name its device with -d (for example -d /dev/ttyACM0)\n");
        return false;
    }

    if (korvan_set_interface_attribs(korvan_fd, B921600) != 0) {
        printf("Serial device %s - failed to connect [attributes].\n", name);
        close(korvan_fd);
        return false;
    }
    korvan_name = name;
    printf("Serial device %s - connected.\n", name);
    fflush(stdout);
    usleep(CONNECT_PAUSE_US);
    return true;
}

void korvan_close_connection(void)
{
    close(korvan_fd);
}

static void lineLost(void)
{
    if (!line_lost) {
        line_lost = true;
        printf("Serial device %s - connection lost.\n", korvan_name);
        fflush(stdout);
    }
}

// Reads what the device has sent, up to `size` bytes, waiting up to `timeout_ms` (-1: no limit)
// for the first of them. Returns the number of bytes read; 0 when the line stayed quiet for the
// whole time; KEY_WAITING when `watch_keys` is set and standard input became readable first.
static int line_read(unsigned char *buf, int size, int timeout_ms, bool watch_keys)
{
    uint64_t deadline = now_ms() + (timeout_ms < 0 ? 0 : (uint64_t)timeout_ms);
    for (;;) {
        struct pollfd fds[2];
        int nfds = 0;
        int line_slot = -1, key_slot = -1;
        if (!line_lost) {
            fds[nfds] = { korvan_fd, POLLIN, 0 };
            line_slot = nfds++;
        }
        if (watch_keys && !stdin_eof) {
            fds[nfds] = { STDIN_FILENO, POLLIN, 0 };
            key_slot = nfds++;
        }
        if (nfds == 0 && timeout_ms < 0)
            return 0;   // nothing left that could ever wake us
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            uint64_t now = now_ms();
            wait_ms = now >= deadline ? 0 : (int)(deadline - now);
        }
        int ready = poll(fds, nfds, wait_ms);
        if (ready < 0 && errno != EINTR)
            return 0;
        if (key_slot >= 0 && fds[key_slot].revents != 0)
            return KEY_WAITING;
        if (line_slot >= 0 && fds[line_slot].revents != 0) {
            ssize_t n = read(korvan_fd, buf, size);
            if (n > 0)
                return (int)n;
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                lineLost();
        }
        if (ready == 0 && wait_ms == 0)
            return 0;
    }
}

// One byte from the device, waiting at most one character window. The caller's byte is left as
// it was when none came. Reads exactly one byte, so nothing past a reply is taken off the line.
bool korvan_get_byte(unsigned char *byte)
{
    return line_read(byte, 1, CHAR_WINDOW_MS, false) > 0;
}

// Waits until the line accepts more output. False when it stayed full for WRITE_STALL_MS.
static bool waitWritable(void)
{
    struct pollfd p = { korvan_fd, POLLOUT, 0 };
    int ready;
    do {
        ready = poll(&p, 1, WRITE_STALL_MS);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        errno = ETIMEDOUT;
    return ready > 0;
}

// One write of up to n bytes. Returns how many the line took; when its output queue is full,
// waits until it takes more and returns 0. -1 after a real error, which it reports.
static int lineWrite(const unsigned char *bytes, int n)
{
    ssize_t w = write(korvan_fd, bytes, (size_t)n);
    if (w > 0)
        return (int)w;
    if (n == 0 || (w < 0 && errno == EINTR))
        return 0;
    if ((w == 0 || errno == EAGAIN) && waitWritable())
        return 0;
    printf("Error from write: %s\n", strerror(errno));
    fflush(stdout);
    return -1;
}

// Writes count bytes whole, then waits until they have left. A full output queue is waited out
// with poll(); a real error ends the write with a message and false.
bool korvan_send_bytes(const void *buf, int count)
{
    const unsigned char *bytes = (const unsigned char *)buf;
    int sent = 0;
    do {
        int n = lineWrite(bytes + sent, count - sent);
        if (n < 0)
            return false;
        sent += n;
        if (n > 0 && progress_on)
            uploadProgress(sent, count);
    } while (sent < count);
    tcdrain(korvan_fd);
    return true;
}

// Writes one byte at a time, each drained and followed by a 1 ms pause: the device's command
// parser and its console take keys and commands at this pace.
bool korvan_send_bytes_slow(const void *buf, int count)
{
    const unsigned char *bytes = (const unsigned char *)buf;
    int sent = 0;
    while (sent < count) {
        int n = lineWrite(bytes + sent, 1);
        if (n < 0)
            return false;
        sent += n;
        tcdrain(korvan_fd);
        usleep(PACE_US);
    }
    return true;
}

bool korvan_send_string(const char *text)
{
    return korvan_send_bytes_slow(text, (int)strlen(text));
}

// ---------------------------------------------------------------------------------------------
// Console terminal.

static struct termios console_restore;      // standard input's settings with ICANON and ECHO on
static struct sigaction saved_actions[3];
static const int console_signals[3] = { SIGINT, SIGTERM, SIGHUP };

// A signal while keys are raw: give the user's shell its echo back, then die of the signal as
// if we had never caught it. Only async-signal-safe calls here.
static void restoreConsoleAndDie(int sig)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &console_restore);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void catchConsoleSignals(bool on)
{
    for (int i = 0; i < 3; i++) {
        if (on) {
            struct sigaction sa;
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = restoreConsoleAndDie;
            sigemptyset(&sa.sa_mask);
            sigaction(console_signals[i], &sa, &saved_actions[i]);
            if (saved_actions[i].sa_handler == SIG_IGN)   // e.g. SIGHUP under nohup
                sigaction(console_signals[i], &saved_actions[i], NULL);
        } else {
            sigaction(console_signals[i], &saved_actions[i], NULL);
        }
    }
}

int kbhit(void)
{
    if (stdin_eof)
        return 0;
    struct pollfd p = { STDIN_FILENO, POLLIN, 0 };
    return poll(&p, 1, 0) > 0 ? 1 : 0;
}

// flag != 0: keys arrive one by one and unechoed. flag == 0: canonical mode and echo back on.
void set_non_blocking_mode(int flag)
{
    static bool caught = false;
    struct termios t;
    if (tcgetattr(STDIN_FILENO, &t) != 0)
        return;   // not a terminal: nothing to switch
    if (flag) {
        console_restore = t;
        console_restore.c_lflag |= ICANON | ECHO;
        if (!caught) {
            catchConsoleSignals(true);
            caught = true;
        }
        t.c_lflag &= ~(ICANON | ECHO);
    } else {
        t.c_lflag |= ICANON | ECHO;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    if (!flag && caught) {
        catchConsoleSignals(false);
        caught = false;
    }
}

// One key straight from descriptor 0, so pasted text and escape sequences are not hidden in a
// stdio buffer. Returns the byte, or -1 when standard input has ended (or has nothing after all).
static int readKey(void)
{
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1)
        return c;
    if (n == 0 || (errno != EAGAIN && errno != EINTR))
        stdin_eof = true;
    return -1;
}

// Puts a block of device output on the screen at once: one write, after whatever stdio holds.
static void writeScreen(const unsigned char *buf, int n)
{
    fflush(stdout);
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, buf, (size_t)n);
        if (w > 0) {
            buf += w;
            n -= (int)w;
        } else if (w < 0 && errno == EAGAIN) {
            struct pollfd p = { STDOUT_FILENO, POLLOUT, 0 };
            poll(&p, 1, -1);
        } else if (!(w < 0 && errno == EINTR)) {
            return;   // the screen is gone (a closed pipe): nothing to show it on
        }
    }
}

// Copies what the device sends to standard output until the line has been quiet for `quiet_ms`
// (-1: not ended by quiet), the clock passes `deadline` (0: none), or, with `watch_keys`, a key
// is waiting.
static void showDeviceOutput(int quiet_ms, uint64_t deadline, bool watch_keys)
{
    unsigned char buf[BLOCK_SIZE];
    for (;;) {
        int wait_ms = quiet_ms;
        if (deadline != 0) {
            uint64_t now = now_ms();
            if (now >= deadline)
                return;
            if (wait_ms < 0 || (uint64_t)wait_ms > deadline - now)
                wait_ms = (int)(deadline - now);
        }
        int n = line_read(buf, sizeof buf, wait_ms, watch_keys);
        if (n <= 0)
            return;   // quiet, past the deadline, or a key is waiting
        writeScreen(buf, n);
    }
}

// Shows everything the device sends until the line has been quiet for one character window.
void terminalReceive(void)
{
    showDeviceOutput(CHAR_WINDOW_MS, 0, false);
}

static void leaveTerminal(void)
{
    set_non_blocking_mode(0);
    putchar('\n');
}

static void interactiveTerminal(void)
{
    set_non_blocking_mode(1);
    for (;;) {
        if (kbhit()) {
            int key = readKey();
            if (key == 'x')
                break;
            if (key < 0 && stdin_eof) {
                // End of input: 'x' can never come. Show what the device still has to say.
                terminalReceive();
                break;
            }
            if (key > 0) {
                unsigned char byte = (unsigned char)key;
                putchar(byte);
                fflush(stdout);
                korvan_send_bytes_slow(&byte, 1);
            }
        }
        showDeviceOutput(-1, 0, true);
    }
    leaveTerminal();
}

static void timedDisplay(double seconds)
{
    uint64_t start = now_ms();
    uint64_t deadline = start + (uint64_t)(seconds > 0 ? seconds * 1000.0 : 0);
    set_non_blocking_mode(1);
    for (;;) {
        if (seconds <= 0 || now_ms() >= deadline)
            break;
        fflush(stdout);
        if (kbhit() && readKey() == 'x')
            break;
        showDeviceOutput(CHAR_WINDOW_MS, deadline, true);
    }
    leaveTerminal();
}

// 0 seconds: the interactive terminal until 'x'. Otherwise show the device's output for that
// long ('x' cuts it short; other keys are dropped).
void terminalReceiveBlocking(double seconds)
{
    if (seconds == 0.0)
        interactiveTerminal();
    else
        timedDisplay(seconds);
}

// ---------------------------------------------------------------------------------------------
// File upload.

static unsigned char data[UPLOAD_BUFFER_SIZE];

static uint64_t progress_start, progress_drawn;

// Progress of the payload on standard error, redrawn in place at most ten times a second.
static void uploadProgress(long sent, long total)
{
    uint64_t now = now_ms();
    if (sent < total && now - progress_drawn < PROGRESS_EVERY_MS)
        return;
    progress_drawn = now;
    double elapsed = (double)(now - progress_start) / 1000.0;
    double rate = elapsed > 0 ? (double)sent / elapsed : 0;
    long percent = total > 0 ? (long)((double)sent * 100.0 / (double)total) : 100;
    fprintf(stderr, "\r%ld of %ld bytes (%ld%%), %.1f KiB/s", sent, total, percent, rate / 1024.0);
    if (rate > 0)
        fprintf(stderr, ", %.0f s left", (double)(total - sent) / rate);
    fputs("\033[K", stderr);
}

static void progressBegin(void)
{
    progress_on = isatty(STDERR_FILENO) != 0;
    progress_start = now_ms();
    progress_drawn = 0;
}

static void progressEnd(void)
{
    if (progress_on)
        fputs("\r\033[K", stderr);
    progress_on = false;
}

// Waits up to `seconds` for the device to send exactly `reply` (nothing in front of it). Returns
// 1 when it came, 0 after printing why not.
int waitForStringTime(const char *reply, double seconds)
{
    char got[REPLY_CHARS + 2] = "";
    int count = 0;
    uint64_t start = now_ms();
    for (;;) {
        if ((double)(now_ms() - start) >= seconds * 1000.0) {
            printf("Korvan did not ackowledge command '%s'(timeout) (got: '%s').\n", reply, got);
            return 0;
        }
        unsigned char c;
        if (!korvan_get_byte(&c)) {
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

int waitForString(const char *reply)
{
    return waitForStringTime(reply, READY_REPLY_SECONDS);
}

// Throws away whatever the device had sent before the upload, until the line falls quiet.
void flushReceiveBuffer(void)
{
    unsigned char buf[BLOCK_SIZE];
    uint64_t start = now_ms();
    do {
        while (line_read(buf, sizeof buf, CHAR_WINDOW_MS, false) > 0) {
        }
    } while (now_ms() - start < FLUSH_MIN_MS);
}

// Reads the whole file into `data`. Returns its size, or -1 after printing why it cannot be sent.
static int readUploadFile(const char *path)
{
    FILE *f = fopen(path, "r");
    if (f == NULL) {
        printf("ERROR: unable to open file..\n");
        return -1;
    }
    // Ask for one byte more than we accept, to tell a file that fits from one that does not.
    size_t n = fread(data, 1, (size_t)MAX_UPLOAD_SIZE + 1, f);
    bool failed = ferror(f) != 0;
    fclose(f);
    if (n > (size_t)MAX_UPLOAD_SIZE) {
        printf("error: File to large!");
        return -1;
    }
    if (failed) {
        printf("ERROR: unable to read file..\n");
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

// Uploads `filename` to `outpath` on the device. 0 when the device confirmed it, 1 otherwise.
int transferFile(const char *filename, const char *outpath)
{
    char line[MAX_DEST_PATH + 2];   // the size line, then the destination and its line feed

    int size = readUploadFile(filename);
    if (size < 0)
        return 1;
    if (!destinationValid(outpath)) {
        printf("ERROR: invalid destination path..\n");
        return 1;
    }

    flushReceiveBuffer();
    printf("romsize: %i\n", size);
    if (!korvan_send_string("filecopy\n"))
        return 1;
    if (!waitForString("Ko:Ready")) {
        terminalReceive();
        return 1;
    }
    terminalReceive();

    int len = snprintf(line, sizeof line, "%d\n", size);
    if (!korvan_send_bytes(line, len))
        return 1;
    len = snprintf(line, sizeof line, "%s\n", outpath);
    if (!korvan_send_bytes(line, len))
        return 1;
    // Show what the device says to the two lines. With no payload to follow, the next thing it
    // sends is already the Data received reply, which the wait below must see.
    if (size > 0)
        terminalReceive();

    progressBegin();
    bool sent = korvan_send_bytes(data, size);
    progressEnd();
    if (!sent)
        return 1;

    if (!waitForStringTime("Ko:Data received", UPLOAD_REPLY_SECONDS))
        return 1;
    terminalReceive();
    printf("Data sent.\n");
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Command line and run sequence.

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
// command line goes to getopt as before. Returns the exit status, or -1 when neither was asked.
static int helpOrVersionAlone(int argc, char **argv)
{
    if (argc != 2)
        return -1;
    if (strcmp(argv[1], "--help") == 0) {
        printUsage();
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

// A command line that runs, but perhaps not as its user believes: say so on standard error.
static void warnAboutCommandLine(int argc, char **argv)
{
    // getopt has moved every word that is not an option (or an option's argument) to the end.
    for (int i = optind; i < argc; i++)
        fprintf(stderr, "serbolt: ignoring '%s' (name the device with -d)\n", argv[i]);
    if (action == -1 && (filename != NULL || outpath != NULL || boot || reset || stay))
        fprintf(stderr, "serbolt: -i, -o, -b, -r and -t take effect only with -a 1\n");
}

int main(int argc, char **argv)
{
    ensureStandardStreams();
    setvbuf(stdout, NULL, _IOLBF, 0);
    int alone = helpOrVersionAlone(argc, argv);
    if (alone >= 0)
        return alone;

    int opt;
    while ((opt = getopt(argc, argv, "o:i:a:d:hrbt")) != -1) {
        switch (opt) {
        case 'i': filename = optarg; break;
        case 'o': outpath = optarg; break;
        case 'a': action = parseAction(optarg); break;
        case 'd': device = optarg; break;
        case 'r': reset = 1; break;
        case 'b': boot = 1; break;
        case 't': stay = 1; break;
        case 'h': printUsage(); return 0;
        default: return 1;
        }
    }
    warnAboutCommandLine(argc, argv);

    if (!korvan_open_connection())
        return 1;

    if (action == -1) {
        terminalReceiveBlocking(0);
        korvan_close_connection();
        return 0;
    }
    if (action != 1) {
        fprintf(stderr, "Unkown action command\n");
        korvan_close_connection();
        return 1;
    }
    if (filename == NULL || outpath == NULL) {
        fprintf(stderr, "Both FILE_IN and FILE_OUT must be given!\n");
        korvan_close_connection();
        return 1;
    }

    int status = transferFile(filename, outpath);
    terminalReceiveBlocking(SHOW_AFTER_UPLOAD_SECONDS);
    if (boot) {
        if (korvan_send_string("reboot\n"))
            printf("Reboot sent...\n");
        else
            status = 1;
    }
    if (reset) {
        if (korvan_send_string("reset\n"))
            printf("Reset sent...\n");
        else
            status = 1;
    }
    if (stay)
        terminalReceiveBlocking(0);
    korvan_close_connection();
    return status;
}
