// korvan-sim main loop: one pseudo-terminal, one thread, one ppoll() over the master side.
// Received bytes go to the device logic (device.cpp); what the device sends waits in the output
// queue (output.cpp) and is written only while the master is writable. With --port the line is
// a serial device that exists already (port.cpp) and takes the master's place.
#include "record.h"
#include "sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

constexpr size_t IN_SIZE = 4096;              // one ordinary read
constexpr size_t BACKLOG_SIZE = 256 * 1024;   // room for all a terminal can hold, read at once on SIGUSR1
constexpr size_t STREAM_FILL = 8192;          // stream text kept queued ahead of the line
constexpr int64_t LINGER_STEP_NS = 10 * NS_PER_MS;   // how often a finishing run looks at the line
constexpr uint64_t LINGER_MIN_NS = 50 * NS_PER_MS;   // the pty hands written bytes on asynchronously
constexpr uint64_t LINGER_MAX_NS = 2 * NS_PER_S;     // longest wait for the host to read our last words
constexpr char STREAM_TEXT[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint64_t PORT_RETRY_NS = 100 * NS_PER_MS;   // how often a vanished --port is looked for

static int master_fd = -1;   // -1 while the line is unplugged; with --port, the port
static int slave_fd = -1;    // our own slave descriptor: a host closing the slave does not hang up
static volatile sig_atomic_t stop_signal;
static volatile sig_atomic_t sync_signal;
static char in_buf[BACKLOG_SIZE];   // received, not yet taken by the device: [in_pos, in_len)
static size_t in_len, in_pos;
static uint64_t received_total;   // bytes read from the line, for --stall-after
static bool stall_logged;

// Winding down: the device has said its last words and waits for the host to read them
// before it hangs up (reboot) or ends the run (--once).
enum WindDown { RUNNING, WIND_UNPLUG, WIND_EXIT };
static WindDown wind_down;
static int finish_status;
static uint64_t linger_start;

static uint64_t unplug_at;   // --unplug-after-ms: when to pull the cable (0 = done or never)
static uint64_t replug_at;   // while unplugged: when to come back (0 = never)

static bool stream_on;
static uint64_t stream_start_ns, stream_sent, stream_counter;
static char stream_line[128];
static size_t stream_line_len, stream_line_pos;

static void on_signal(int sig)
{
    if (sig == SIGUSR1)
        sync_signal = 1;
    else
        stop_signal = 1;
}

static void close_line()
{
    if (g_opt.link)
        unlink(g_opt.link);
    if (master_fd >= 0)
        close(master_fd);
    if (slave_fd >= 0)
        close(slave_fd);
    master_fd = slave_fd = -1;
}

static void cleanup()
{
    close_line();
    record_close();
}

// Closing the master hangs up the line and throws away what the host has not read yet, so a
// finishing run waits (boundedly) until the host has taken everything we sent.
static bool host_has_read_all(uint64_t now)
{
    if (linger_start == 0)
        linger_start = now;
    if (now - linger_start < LINGER_MIN_NS)
        return false;
    if (g_opt.port)
        return port_sent_all(master_fd) || now - linger_start >= LINGER_MAX_NS;
    int unread = 0;
    if (ioctl(slave_fd, FIONREAD, &unread) != 0)
        return true;
    return unread == 0 || now - linger_start >= LINGER_MAX_NS;
}

static bool set_raw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

static bool make_link(const char *target)
{
    struct stat st;
    if (lstat(g_opt.link, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            sim_log("%s exists and is not a symbolic link", g_opt.link);
            return false;
        }
        unlink(g_opt.link);
    }
    if (symlink(target, g_opt.link) != 0) {
        sim_log("cannot link %s: %s", g_opt.link, strerror(errno));
        return false;
    }
    return true;
}

// Opens a pseudo-terminal pair as master_fd and slave_fd. Returns the slave's path or nullptr.
static const char *open_pair()
{
    master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char *name = nullptr;
    if (master_fd >= 0 && grantpt(master_fd) == 0 && unlockpt(master_fd) == 0)
        name = ptsname(master_fd);
    if (name)
        slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    int fl = slave_fd >= 0 && set_raw(master_fd) && set_raw(slave_fd) ? fcntl(master_fd, F_GETFL) : -1;
    if (fl < 0 || fcntl(master_fd, F_SETFL, fl | O_NONBLOCK) != 0)
        return nullptr;
    return name;
}

enum Plug { PLUGGED, PLUG_NOT_YET, PLUG_FAILED };

// Opens --port as the line and prints its path. PLUG_NOT_YET while it cannot be opened.
static Plug plug_in_port(bool first)
{
    PortOpen r = port_open(&master_fd, first);
    if (r == PORT_UNFIT || (r == PORT_ABSENT && first))
        return PLUG_FAILED;
    if (r == PORT_ABSENT)
        return PLUG_NOT_YET;
    printf("%s\n", g_opt.port);
    fflush(stdout);
    sim_log("device on %s, store %s", g_opt.port, g_opt.store);
    return PLUGGED;
}

// Opens a new pseudo-terminal, points --link at it and prints its path on standard output.
// A replugged device comes back under a new name, as a re-enumerated one usually does: when
// the kernel hands out the old number again, a second pair is taken and the first let go.
// With --port, opens the port instead.
static Plug plug_in(bool first)
{
    if (g_opt.port)
        return plug_in_port(first);
    static char last_path[256];
    const char *name = open_pair();
    if (name && !strcmp(name, last_path)) {
        int held_master = master_fd, held_slave = slave_fd;
        master_fd = slave_fd = -1;
        name = open_pair();
        close(held_master);
        close(held_slave);
    }
    if (!name) {
        sim_log("cannot open a pseudo-terminal: %s", strerror(errno));
        return PLUG_FAILED;
    }
    char path[256];
    snprintf(path, sizeof path, "%s", name);
    if (g_opt.link && !make_link(path)) {
        g_opt.link = nullptr;   // not ours to remove
        return PLUG_FAILED;
    }
    snprintf(last_path, sizeof last_path, "%s", path);
    printf("%s\n", path);
    fflush(stdout);
    sim_log("device on %s, store %s", path, g_opt.store);
    return PLUGGED;
}

// The line goes: unsent output, unread input and an upload in progress are lost.
static void line_gone()
{
    close_line();
    device_init();
    out_init();
    stream_on = false;
    in_len = in_pos = 0;
    wind_down = RUNNING;
}

// Pulls the cable: the host sees a hang-up, the link goes (with --port: the port is closed).
// Returns false when the run ends here (no --replug-after-ms).
static bool unplug(uint64_t now)
{
    line_gone();
    sim_log("line hung up");
    if (!g_opt.replug)
        return false;
    replug_at = now + (uint64_t)g_opt.replug_after_ms * NS_PER_MS;
    return true;
}

// --port went away under us (the adapter unplugged, the gadget unbound): look for it again
// until it is back, as a device does that is plugged in again.
static void port_gone(uint64_t now, const char *why)
{
    line_gone();
    sim_log("%s went away (%s); waiting for it to come back", g_opt.port, why);
    replug_at = now + PORT_RETRY_NS;
}

// Returns false when the run ends: the line could not be made again.
static bool replug(uint64_t now)
{
    replug_at = 0;
    Plug r = plug_in(false);
    if (r == PLUG_NOT_YET)
        replug_at = now + PORT_RETRY_NS;
    if (r != PLUGGED)
        return r == PLUG_NOT_YET;
    device_boot();
    return true;
}

// Bytes --stall-after still lets the device read.
static uint64_t stall_left()
{
    return g_opt.stall_after > received_total ? g_opt.stall_after - received_total : 0;
}

// Reads and records at once whatever the host has written and we have not read yet, whatever
// the line rate (a read that finds nothing first lets the kernel push what is in flight). The
// device takes it from the backlog as usual. A stalled device reads nothing.
static void drain_line()
{
    if (master_fd < 0)
        return;
    if (in_pos > 0) {
        memmove(in_buf, in_buf + in_pos, in_len - in_pos);
        in_len -= in_pos;
        in_pos = 0;
    }
    for (;;) {
        size_t room = sizeof in_buf - in_len;
        if (g_opt.stall && room > stall_left())
            room = (size_t)stall_left();
        if (room == 0)
            break;
        ssize_t n = read(master_fd, in_buf + in_len, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        record_append(mono_ns(), in_buf + in_len, (size_t)n);
        received_total += (uint64_t)n;
        in_len += (size_t)n;
    }
    if (in_len == sizeof in_buf)
        sim_log("backlog full: pending input left unread");
}

// SIGUSR1 asks for a sync: everything written so far is read and in the record when the line
// "synced" appears on standard output (tests read the record then).
static void sync_line()
{
    drain_line();
    printf("synced\n");
    fflush(stdout);
}

// Tops up the output queue with numbered lines of --stream text, cut at exactly N bytes.
static void stream_fill(uint64_t now)
{
    if (!stream_on || now < stream_start_ns)
        return;
    while (out_queued() < STREAM_FILL) {
        if (stream_line_pos == stream_line_len) {
            int n = snprintf(stream_line, sizeof stream_line, "stream %06llu %s%.*s",
                             (unsigned long long)++stream_counter, STREAM_TEXT, g_opt.eol.len, g_opt.eol.s);
            stream_line_len = n < 0 ? 0 : (size_t)n < sizeof stream_line ? (size_t)n : sizeof stream_line - 1;
            stream_line_pos = 0;
        }
        size_t n = stream_line_len - stream_line_pos;
        if (g_opt.stream_bytes > 0 && n > g_opt.stream_bytes - stream_sent)
            n = (size_t)(g_opt.stream_bytes - stream_sent);
        out_bytes(stream_line + stream_line_pos, n);
        stream_line_pos += n;
        stream_sent += n;
        if (g_opt.stream_bytes > 0 && stream_sent >= g_opt.stream_bytes) {
            stream_on = false;
            sim_log("stream done (%llu bytes)", (unsigned long long)stream_sent);
            return;
        }
    }
}

// With --rate, a host's tcdrain() on a real adapter returns only once its last byte has crossed
// the line, and the device answers right after. A pseudo-terminal's drain returns as soon as the
// bytes sit in the kernel's buffers (some 20 KiB, a quarter of a second at 921600 baud), so the
// host may already be waiting for the reply while that much is still in flight. The last
// PTY_IN_FLIGHT bytes of a payload are therefore taken at once, as the line would have delivered
// them by the time such a host starts waiting.
constexpr uint64_t PTY_IN_FLIGHT = 64 * 1024;

static bool payload_tail_waiting()
{
    uint64_t left = device_payload_left();
    return g_opt.rate != 0 && left > 0 && left <= PTY_IN_FLIGHT;
}

static void shorten(int64_t &timeout, int64_t t)
{
    if (t < 0)
        return;
    if (timeout < 0 || t < timeout)
        timeout = t;
}

// How many bytes the next read may take: the line's rate, and --stall-after.
static size_t readable_now()
{
    size_t can_read = bucket_allow(g_recv_bucket, IN_SIZE);
    if (can_read == 0 && payload_tail_waiting())
        can_read = IN_SIZE;
    if (g_opt.stall) {
        uint64_t left = stall_left();
        if (left == 0 && !stall_logged) {
            sim_log("stalled: no longer reading after %llu bytes", (unsigned long long)received_total);
            stall_logged = true;
        }
        if (can_read > left)
            can_read = (size_t)left;
    }
    return can_read;
}

// Acts on what device input asked for. Returns false when the run ends.
static bool act(DeviceAction a, uint64_t now)
{
    switch (a) {
    case DEVICE_GO_ON: return true;
    case DEVICE_HANG_UP: return unplug(now);
    case DEVICE_REBOOTING: wind_down = WIND_UNPLUG; break;
    case DEVICE_FINISH_OK:
        wind_down = WIND_EXIT;
        finish_status = 0;
        break;
    case DEVICE_FINISH_FAILED:
        wind_down = WIND_EXIT;
        finish_status = 1;
        break;
    }
    linger_start = 0;
    stream_on = false;   // an endless stream would never let the queue drain
    in_len = in_pos = 0;
    return true;
}

static int64_t until(uint64_t when, uint64_t now)
{
    return when > now ? (int64_t)(when - now) : 0;
}

// What a step of the loop below decided: go on with this pass, begin the next pass, or (0 and
// up) end the run with that exit status.
constexpr int STEP_ON = -1, STEP_NEXT = -2;

// The signals, first in each pass: SIGTERM/SIGINT end the run once what is pending on the line
// has been read; SIGUSR1 asks for that reading alone.
static int take_signals()
{
    if (stop_signal) {
        drain_line();
        return 0;
    }
    if (sync_signal) {
        sync_signal = 0;
        sync_line();
    }
    return STEP_ON;
}

// --unplug-after-ms: the cable pulled once its time has come.
static int unplug_when_due(uint64_t now)
{
    if (unplug_at && now >= unplug_at) {
        unplug_at = 0;
        sim_log("unplugged after %ld ms", g_opt.unplug_after_ms);
        if (master_fd >= 0 && !unplug(now))
            return 0;
    }
    return STEP_ON;
}

// Unplugged: waits for the replug time (or a signal), then plugs in again.
static int wait_unplugged(uint64_t now, int64_t timeout, const sigset_t *wait_mask)
{
    if (now >= replug_at)
        return replug(now) ? STEP_NEXT : 1;
    shorten(timeout, until(replug_at, now));
    struct timespec ts = { (time_t)(timeout / NS_PER_S), (long)(timeout % NS_PER_S) };
    ppoll(nullptr, 0, &ts, wait_mask);
    return STEP_NEXT;
}

// The device's side of a pass: the line's rate catches up with the clock, the stream grows, the
// device takes the input read so far, and a device that is winding down ends once the host has
// read its last words. `lingering`: it only waits for that now.
static int serve_device(uint64_t now, bool *lingering)
{
    bucket_refill(g_send_bucket, now);
    bucket_refill(g_recv_bucket, now);
    stream_fill(now);
    DeviceAction action;
    if (wind_down != RUNNING)
        in_len = in_pos = 0;   // saying goodbye: input is dropped
    in_pos += device_input(in_buf + in_pos, in_len - in_pos, &action);
    if (in_pos == in_len)
        in_pos = in_len = 0;
    if (!act(action, now))
        return 0;
    if (master_fd < 0)
        return STEP_NEXT;
    *lingering = wind_down != RUNNING && out_queued() == 0;
    if (*lingering && host_has_read_all(now)) {
        if (wind_down == WIND_EXIT)
            return finish_status;
        return unplug(now) ? STEP_NEXT : 0;
    }
    return STEP_ON;
}

// What to wait for on the line: input when the device may read (`can_read` bytes), output when
// some may go (returned), and `timeout` cut to the earliest time either may change.
static size_t plan_wait(uint64_t now, bool lingering, struct pollfd *pfd, size_t *can_read, int64_t *timeout)
{
    *can_read = 0;
    if (in_len == 0 && wind_down == RUNNING) {
        *can_read = readable_now();
        if (*can_read > 0)
            pfd->events |= POLLIN;
        else
            shorten(*timeout, bucket_wait_ns(g_recv_bucket, IN_SIZE));
    }
    int64_t out_wait;
    size_t can_send = out_sendable(now, &out_wait);
    if (can_send > 0)
        pfd->events |= POLLOUT;
    else
        shorten(*timeout, out_wait);
    if (lingering)
        shorten(*timeout, LINGER_STEP_NS);
    if (stream_on && now < stream_start_ns)
        shorten(*timeout, (int64_t)(stream_start_ns - now));
    return can_send;
}

// Moves bytes as the line became ready: the device's output out, the host's bytes in (recorded).
// A port that went away is waited for; a line that failed otherwise ends the run.
static int move_bytes(const struct pollfd &pfd, size_t can_send, size_t can_read)
{
    if (pfd.revents & POLLOUT) {
        ssize_t w = write(master_fd, out_front(), can_send);
        if (w > 0)
            out_sent((size_t)w, mono_ns());
        if (w < 0 && g_opt.port && port_gone_error(errno)) {
            port_gone(mono_ns(), strerror(errno));
            return STEP_NEXT;
        }
    }
    if (pfd.revents & POLLIN) {
        ssize_t n = read(master_fd, in_buf, can_read);
        if (g_opt.port && (n == 0 || (n < 0 && port_gone_error(errno)))) {
            port_gone(mono_ns(), n == 0 ? "hung up" : strerror(errno));
            return STEP_NEXT;
        }
        if (n > 0) {
            record_append(mono_ns(), in_buf, (size_t)n);
            bucket_take(g_recv_bucket, (size_t)n);
            received_total += (uint64_t)n;
            in_len = (size_t)n;
            in_pos = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            sim_log("read failed: %s", strerror(errno));
            return 1;
        }
    } else if (g_opt.port && (pfd.revents & (POLLHUP | POLLERR))) {
        port_gone(mono_ns(), "hung up");
    } else if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        sim_log("line failed (poll events 0x%x)", (unsigned)pfd.revents);
        return 1;
    }
    return STEP_ON;
}

// Runs until a signal, a finished --once run, a hang-up without replug, or a fatal error.
// Returns the exit status.
static int run_loop(const sigset_t *wait_mask)
{
    for (;;) {
        int step = take_signals();
        if (step >= 0)
            return step;
        uint64_t now = mono_ns();
        if ((step = unplug_when_due(now)) >= 0)
            return step;
        int64_t timeout = -1;
        if (unplug_at)
            timeout = until(unplug_at, now);
        if (master_fd < 0) {
            if ((step = wait_unplugged(now, timeout, wait_mask)) >= 0)
                return step;
            continue;
        }
        bool lingering = false;
        if ((step = serve_device(now, &lingering)) >= 0)
            return step;
        if (step == STEP_NEXT)
            continue;

        struct pollfd pfd = { master_fd, 0, 0 };
        size_t can_read;
        size_t can_send = plan_wait(now, lingering, &pfd, &can_read, &timeout);
        struct timespec ts = { (time_t)(timeout / NS_PER_S), (long)(timeout % NS_PER_S) };
        int r = ppoll(&pfd, 1, timeout < 0 ? nullptr : &ts, wait_mask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            sim_log("poll failed: %s", strerror(errno));
            return 1;
        }
        if (r == 0)
            continue;
        if ((step = move_bytes(pfd, can_send, can_read)) >= 0)
            return step;
    }
}

int sim_main(int argc, char **argv)
{
    int status = options_parse(argc, argv);
    if (status >= 0)
        return status;

    signal(SIGPIPE, SIG_IGN);
    sigset_t block, wait_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGUSR1);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);

    if (g_opt.record && !record_open(g_opt.record)) {
        sim_log("cannot create record %s: %s", g_opt.record, strerror(errno));
        return 1;
    }
    if (store_open(g_opt.store) < 0)
        return 1;
    if (plug_in(true) != PLUGGED) {
        cleanup();
        return 1;
    }
    out_init();
    device_init();
    if (g_opt.have_say)
        out_bytes(g_opt.say.s, (size_t)g_opt.say.len);
    uint64_t start = mono_ns();
    stream_on = g_opt.stream && !g_opt.silent;
    stream_start_ns = start + (uint64_t)g_opt.stream_delay_ms * NS_PER_MS;
    if (g_opt.unplug_after)
        unplug_at = start + (uint64_t)g_opt.unplug_after_ms * NS_PER_MS + 1;

    status = run_loop(&wait_mask);
    if (stop_signal)
        sim_log("stopped by signal");
    cleanup();
    return status;
}
