// Test harness: real processes, real pseudo-terminals, no mocks.
#include "harness.h"
#include "record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

constexpr double SIM_START_S = 20;   // a sim that has not printed its path by then is broken
constexpr double SIM_STOP_S = 10;    // SIGTERM to exit, before the harness kills it

std::string build_dir() { return SERBOLT_BUILD_DIR; }

// What the shared helpers (proc.cpp) cannot do fails the test.
static void fail_test(const std::string &why) { ADD_FAILURE() << why; }
static const bool proc_failures_fail_the_test = [] {
    proc_failed = fail_test;
    return true;
}();

// ---------------------------------------------------------------------------------------------
// Scratch folders: made per test, removed when it ends.

static std::vector<std::string> scratch_dirs;

class ScratchCleaner : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &) override
    {
        const char *keep = getenv("SERBOLT_KEEP_SCRATCH");
        std::error_code ec;
        for (const std::string &d : scratch_dirs)
            if (!keep || !*keep)
                fs::remove_all(d, ec);
        scratch_dirs.clear();
    }
};

static const bool scratch_cleaner_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
    return true;
}();

std::string make_temp_dir(const char *tag)
{
    (void)scratch_cleaner_installed;
    (void)proc_failures_fail_the_test;
    std::string base = build_dir() + "/test-scratch";
    if (mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) {
        ADD_FAILURE() << "cannot create " << base << ": " << strerror(errno);
        return "";
    }
    std::string tmpl = base + "/" + tag + "-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        ADD_FAILURE() << "cannot create a folder in " << base << ": " << strerror(errno);
        return "";
    }
    scratch_dirs.push_back(tmpl);
    return tmpl;
}

testing::AssertionResult has(const std::string &text, const std::string &part)
{
    bool found = text.find(part) != std::string::npos;
    return (found ? testing::AssertionSuccess() : testing::AssertionFailure())
           << "\"" << part << "\" is " << (found ? "" : "not ") << "in " << text.size() << " bytes: "
           << text.substr(0, 2000) << (text.size() > 2000 ? "..." : "");
}

static bool make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) == 0)
        return true;
    ADD_FAILURE() << "pipe: " << strerror(errno);
    fds[0] = fds[1] = -1;
    return false;
}

// ---------------------------------------------------------------------------------------------
// The simulator.

Sim::~Sim()
{
    sim_stop(*this);
    close_fd(out);
}

// Reads the sim's standard output until it has given a complete line; returns it without its
// newline ("" on time-out or end of file).
static std::string sim_next_line(Sim &sim, uint64_t deadline)
{
    std::string line;
    char c;
    while (sim.out >= 0) {
        struct pollfd p = { sim.out, POLLIN, 0 };
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            return "";
        ssize_t n = read(sim.out, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
    return "";
}

bool sim_start(Sim &sim, const std::vector<std::string> &extra)
{
    sim_stop(sim);
    close_fd(sim.out);
    sim.dir = make_temp_dir("sim");
    if (sim.dir.empty())
        return false;
    // On a device that exists (--port), the device is the link.
    bool on_port = extra.size() >= 2 && extra[0] == "--port";
    sim.link = on_port ? extra[1] : sim.dir + "/tty";
    sim.record = sim.dir + "/record";
    sim.store = sim.dir + "/store";
    sim.log = sim.dir + "/sim.log";
    sim.slave.clear();
    std::vector<std::string> argv = { build_dir() + "/korvan-sim", "--store", sim.store, "--record", sim.record };
    if (!on_port)
        argv.insert(argv.end(), { "--link", sim.link });
    argv.insert(argv.end(), extra.begin(), extra.end());

    int out[2];
    if (!make_pipe(out))
        return false;
    int log = open(sim.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int fds[3] = { null_in, out[1], log };
    bool started = log >= 0 && null_in >= 0 && spawn(sim.proc, argv, fds);
    close_fd(log);
    close_fd(null_in);
    close_fd(out[1]);
    sim.out = out[0];
    if (started)
        sim.slave = sim_next_line(sim, deadline_in(SIM_START_S));
    if (sim.slave.empty()) {
        sim_stop(sim);
        ADD_FAILURE() << "korvan-sim did not start: " << read_file(sim.log);
        return false;
    }
    return true;
}

SimGuard::SimGuard(const std::vector<std::string> &extra)
{
    if (!sim_start(sim, extra))
        throw std::runtime_error("korvan-sim did not start");
}

int sim_wait_exit(Sim &sim, double timeout_s)
{
    if (sim.proc.pid > 0) {
        if (!child_wait(sim.proc, timeout_s))
            return -1;
        sim.status = sim.proc.status;
    }
    return sim.status;
}

int sim_stop(Sim &sim)
{
    if (sim.proc.pid > 0) {
        kill(sim.proc.pid, SIGTERM);
        if (sim_wait_exit(sim, SIM_STOP_S) < 0) {
            ADD_FAILURE() << "korvan-sim did not end on SIGTERM";
            child_kill(sim.proc);
            sim.status = -1;
        }
    }
    return sim.status;
}

bool sim_alive(Sim &sim)
{
    if (sim.proc.pid <= 0)
        return false;
    sim_wait_exit(sim, 0);
    return sim.proc.pid > 0;
}

bool sim_wait_replug(Sim &sim, double timeout_s)
{
    if (sim.replugs_unseen > 0) {
        sim.replugs_unseen--;
        return true;
    }
    // One line per plug-in: any next path (not a sync's answer) is the return.
    uint64_t deadline = deadline_in(timeout_s);
    for (;;) {
        std::string line = sim_next_line(sim, deadline);
        if (line.empty())
            return false;
        if (line != "synced") {
            sim.slave = line;
            return true;
        }
    }
}

// Makes a running sim read everything the host has written so far. True once it has (or has
// ended, having read all it ever will).
static bool sim_sync(Sim &sim)
{
    if (!sim_alive(sim))
        return true;
    kill(sim.proc.pid, SIGUSR1);
    uint64_t deadline = deadline_in(SIM_STOP_S);
    for (;;) {
        std::string line = sim_next_line(sim, deadline);
        if (line == "synced")
            return true;
        if (line.empty()) {
            if (!sim_alive(sim))
                return true;
            ADD_FAILURE() << "korvan-sim did not answer a sync request";
            return false;
        }
        sim.slave = line;   // a replug, for sim_wait_replug
        sim.replugs_unseen++;
    }
}

std::vector<Chunk> sim_chunks(const Sim &sim, bool settle)
{
    if (settle)
        sim_sync(const_cast<Sim &>(sim));
    std::vector<RecordChunk> raw;
    std::vector<Chunk> out;
    if (!record_load(sim.record.c_str(), raw)) {
        ADD_FAILURE() << "cannot read the record " << sim.record;
        return out;
    }
    for (RecordChunk &c : raw)
        out.push_back({ c.t_ns, std::move(c.bytes) });
    return out;
}

std::string sim_received(const Sim &sim, bool settle)
{
    std::string all;
    for (const Chunk &c : sim_chunks(sim, settle))
        all += c.bytes;
    return all;
}

bool sim_wait_received(const Sim &sim, const std::string &expected, double timeout_s, bool prefix)
{
    uint64_t deadline = deadline_in(timeout_s);
    // The record is looked at again each time the sim writes to it.
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, sim.record.c_str(), IN_MODIFY) < 0) {
        ADD_FAILURE() << "cannot watch " << sim.record << ": " << strerror(errno);
        close_fd(watch);
        return false;
    }
    bool found = false;
    for (;;) {
        std::string got = sim_received(sim, false);
        found = prefix ? got.compare(0, expected.size(), expected) == 0 : got == expected;
        if (found || now_ns() >= deadline)
            break;
        struct pollfd p = { watch, POLLIN, 0 };
        poll(&p, 1, ms_left(deadline));
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
    }
    close(watch);
    return found;
}

uint64_t sim_byte_time(const std::vector<Chunk> &chunks, size_t index)
{
    for (const Chunk &c : chunks) {
        if (index < c.bytes.size())
            return c.t_ns;
        index -= c.bytes.size();
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Running programs.

Outcome run_program(const std::vector<std::string> &argv, double timeout_s, Input input,
                    const std::string &stdin_data, const std::vector<std::string> &env,
                    bool stderr_tty, bool close_out)
{
    Outcome run;
    int out[2] = { -1, -1 }, err[2] = { -1, -1 }, in[2] = { -1, -1 };
    int pty_master = -1, pty_slave = -1, null_in = -1;
    bool ok = true;
    if (!close_out) {
        ok = make_pipe(out);
        if (ok && stderr_tty) {
            ok = make_pty(&err[0], &err[1], true);   // collect exactly the bytes the program wrote
        } else if (ok) {
            ok = make_pipe(err);
        }
    }
    int fds[3] = { -1, out[1], err[1] };
    int ctty = -1;
    if (ok && input == Input::Pipe) {
        ok = make_pipe(in);
        fds[0] = in[0];
    } else if (ok && input == Input::Pty) {
        ok = make_pty(&pty_master, &pty_slave);
        fds[0] = ctty = pty_slave;
    } else if (input == Input::Null) {
        fds[0] = null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    uint64_t start = now_ns();
    Child child;
    ok = ok && spawn(child, argv, fds, ctty, env);
    close_fd(out[1]);
    close_fd(err[1]);
    close_fd(in[0]);
    close_fd(null_in);
    if (ok && input == Input::Pipe) {
        signal(SIGPIPE, SIG_IGN);
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    size_t fed = 0;
    if (input == Input::Pipe && fed == stdin_data.size())
        close_fd(in[1]);

    // Wait on the program's end and its output at once; feed its input as it takes it.
    uint64_t deadline = start + (uint64_t)(timeout_s * 1e9);
    while (ok && child.pid > 0) {
        struct pollfd p[5];
        int n = 0;
        p[n++] = { child.pidfd, POLLIN, 0 };
        if (out[0] >= 0)
            p[n++] = { out[0], POLLIN, 0 };
        if (err[0] >= 0)
            p[n++] = { err[0], POLLIN, 0 };
        if (pty_master >= 0)
            p[n++] = { pty_master, POLLIN, 0 };
        if (in[1] >= 0)
            p[n++] = { in[1], POLLOUT, 0 };
        poll(p, (nfds_t)n, ms_left(deadline));
        if (out[0] >= 0 && !append_available(out[0], run.out))
            close_fd(out[0]);
        if (err[0] >= 0 && !append_available(err[0], run.err))
            close_fd(err[0]);
        if (pty_master >= 0) {
            std::string discard;
            append_available(pty_master, discard);
        }
        if (in[1] >= 0) {
            ssize_t w = write(in[1], stdin_data.data() + fed, stdin_data.size() - fed);
            if (w > 0)
                fed += (size_t)w;
            if (fed == stdin_data.size() || (w < 0 && errno != EAGAIN && errno != EINTR))
                close_fd(in[1]);
        }
        if (child_wait(child, 0))
            break;
        if (now_ns() >= deadline) {
            run.timed_out = true;
            child_kill(child);
        }
    }
    run.seconds = (double)(now_ns() - start) / 1e9;
    // What the program wrote before it ended is in the pipes already; a daemon it left behind
    // may hold them open, so take only what is there.
    if (out[0] >= 0)
        append_available(out[0], run.out);
    if (err[0] >= 0)
        append_available(err[0], run.err);
    close_fd(out[0]);
    close_fd(err[0]);
    close_fd(in[1]);
    close_fd(pty_master);
    close_fd(pty_slave);
    run.status = run.timed_out ? -1 : child.status;
    return run;
}

// ---------------------------------------------------------------------------------------------
// Interactive console on a pseudo-terminal.

// Opens the console's pseudo-terminal, `columns` wide when not 0, and the pipe of the program's
// standard error (err[1] goes to the program).
static bool console_open(Console &c, unsigned short columns, int err[2])
{
    if (!make_pty(&c.master, &c.slave) || !make_pipe(err))
        return false;
    fcntl(c.master, F_SETFL, fcntl(c.master, F_GETFL) | O_NONBLOCK);   // as the harness reads it
    c.err_fd = err[0];
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = columns;
    return columns == 0 || ioctl(c.master, TIOCSWINSZ, &ws) == 0;
}

bool console_start(Console &c, const std::vector<std::string> &argv, unsigned lflag_off,
                   bool controlling)
{
    int err[2];
    if (!console_open(c, 0, err))
        return false;
    if (lflag_off != 0) {
        struct termios t;
        tcgetattr(c.slave, &t);
        t.c_lflag &= ~(tcflag_t)lflag_off;
        tcsetattr(c.slave, TCSANOW, &t);
    }
    const int fds[3] = { c.slave, c.slave, err[1] };
    bool ok = spawn(c.proc, argv, fds, controlling ? c.slave : -1);
    close(err[1]);
    c.pid = c.proc.pid;
    return ok;
}

void console_type(Console &c, const std::string &keys) { write_fd(c.master, keys); }

size_t console_paste(Console &c, const std::string &keys, double timeout_s)
{
    uint64_t deadline = deadline_in(timeout_s);
    size_t done = 0;
    while (done < keys.size() && now_ns() < deadline) {
        struct pollfd p = { c.master, POLLIN | POLLOUT, 0 };
        poll(&p, 1, ms_left(deadline));
        append_available(c.master, c.screen);
        append_available(c.err_fd, c.err);
        ssize_t w = write(c.master, keys.data() + done, keys.size() - done);
        if (w > 0)
            done += (size_t)w;
        else if (w < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return done;
}

int console_unread(const Console &c)
{
    int n = 0;
    if (ioctl(c.slave, FIONREAD, &n) != 0)
        return -1;
    return n;
}

static void console_collect_ms(Console &c, int wait_ms)
{
    struct pollfd p[2] = { { c.master, POLLIN, 0 }, { c.err_fd, POLLIN, 0 } };
    poll(p, 2, wait_ms);
    append_available(c.master, c.screen);
    append_available(c.err_fd, c.err);
}

void console_collect(Console &c, double wait_s) { console_collect_ms(c, (int)(wait_s * 1000)); }

// Collects the console's output until `needle` is in `where` (the screen or standard error).
static bool console_wait_in(Console &c, std::string Console::*where, const std::string &needle,
                            double timeout_s)
{
    uint64_t deadline = deadline_in(timeout_s);
    for (;;) {
        if ((c.*where).find(needle) != std::string::npos)
            return true;
        if (now_ns() >= deadline)
            return false;
        console_collect_ms(c, ms_left(deadline));
    }
}

bool console_wait_for(Console &c, const std::string &needle, double timeout_s)
{
    return console_wait_in(c, &Console::screen, needle, timeout_s);
}

bool console_wait_err(Console &c, const std::string &needle, double timeout_s)
{
    return console_wait_in(c, &Console::err, needle, timeout_s);
}

int console_finish(Console &c, double timeout_s)
{
    if (c.proc.pid <= 0)
        return -1;
    uint64_t deadline = deadline_in(timeout_s);
    for (;;) {
        struct pollfd p[3] = { { c.master, POLLIN, 0 }, { c.err_fd, POLLIN, 0 },
                               { c.proc.pidfd, POLLIN, 0 } };
        poll(p, 3, ms_left(deadline));
        append_available(c.master, c.screen);
        append_available(c.err_fd, c.err);
        if (child_wait(c.proc, 0))
            break;
        if (now_ns() >= deadline) {
            child_kill(c.proc);
            c.pid = -1;
            return -1;
        }
    }
    c.pid = -1;
    // What the program wrote last may still be on its way through the terminal: a read that
    // finds nothing waits for it (the kernel pushes pending input first), so read until empty.
    char buf[4096];
    ssize_t n;
    while ((n = read(c.master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            c.screen.append(buf, (size_t)n);
    append_available(c.err_fd, c.err);
    return c.proc.status;
}

unsigned console_lflag(const Console &c)
{
    struct termios t;
    if (tcgetattr(c.slave, &t) != 0)
        return 0;
    return (unsigned)t.c_lflag;
}

Console::~Console()
{
    child_kill(proc);
    close_fd(master);
    close_fd(slave);
    close_fd(err_fd);
}

// ---------------------------------------------------------------------------------------------
// Jobs of a stand-in shell.

bool job_spawn(Job &j, const std::vector<std::string> &argv, int flags)
{
    std::string dir = make_temp_dir("job");
    int err[2], out[2] = { -1, -1 }, in[2] = { -1, -1 };
    if (dir.empty() || !console_open(j.c, j.columns, err) || ((flags & JOB_STDOUT_PIPE) && !make_pipe(out)) ||
        ((flags & JOB_STDIN_PIPE) && !make_pipe(in)))
        return false;
    std::string pidfile = dir + "/pid";
    std::string mode = std::string("-") + ((flags & JOB_FOREGROUND) ? "f" : "") +
                       ((flags & JOB_SHELL_TAKES_BACK) ? "t" : "");
    std::vector<std::string> shell = { build_dir() + "/test-job-shell", mode, pidfile };
    shell.insert(shell.end(), argv.begin(), argv.end());
    const int fds[3] = { (flags & JOB_STDIN_PIPE) ? in[0] : j.c.slave,
                         (flags & JOB_STDOUT_PIPE) ? out[1] : j.c.slave,
                         (flags & JOB_STDERR_CONSOLE) ? j.c.slave : err[1] };
    bool ok = spawn(j.c.proc, shell, fds, j.c.slave);
    close(err[1]);
    close_fd(out[1]);
    close_fd(in[0]);
    j.c.pid = j.c.proc.pid;
    j.out_fd = out[0];
    j.in_fd = in[1];
    // The pid is whole once its line has ended.
    int pid = -1;
    char end = 0;
    ok = ok && wait_until([&] { return sscanf(read_file(pidfile).c_str(), "%d%c", &pid, &end) == 2 && end == '\n'; }, 20);
    j.program = ok ? pid : -1;
    if (!ok)
        ADD_FAILURE() << "the stand-in shell did not start its job";
    return ok;
}

int job_finish(Job &j, double timeout_s)
{
    int status = console_finish(j.c, timeout_s);
    if (status == -1 && j.program > 0)
        kill(j.program, SIGKILL);
    j.program = -1;
    return status;
}

Job::~Job()
{
    if (program > 0)
        kill(program, SIGKILL);
    close_fd(out_fd);
    close_fd(in_fd);
}
