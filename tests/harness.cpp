// Test harness: real processes, real pseudo-terminals, no mocks.
#include "harness.h"
#include "record.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

std::string build_dir() { return SERBOLT_BUILD_DIR; }

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

std::string make_temp_dir(const char *tag)
{
    std::string base = build_dir() + "/test-scratch";
    mkdir(base.c_str(), 0755);
    std::string tmpl = base + "/" + tag + "-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        return "";
    return tmpl;
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
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(fd);
    return out;
}

void write_file(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    close(fd);
}

static int exit_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

static std::vector<char *> c_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> out;
    for (const std::string &a : argv)
        out.push_back(const_cast<char *>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The simulator.

bool sim_start(Sim &sim, const std::vector<std::string> &extra)
{
    sim.dir = make_temp_dir("sim");
    sim.link = sim.dir + "/tty";
    sim.record = sim.dir + "/record";
    sim.store = sim.dir + "/store";
    std::vector<std::string> argv = { build_dir() + "/korvan-sim", "--link", sim.link, "--store",
                                      sim.store, "--record", sim.record };
    argv.insert(argv.end(), extra.begin(), extra.end());

    int out[2];
    if (pipe(out) != 0)
        return false;
    std::string log = sim.dir + "/sim.log";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(out[1], 1);
        int lf = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (lf >= 0)
            dup2(lf, 2);
        int nf = open("/dev/null", O_RDONLY);
        if (nf >= 0)
            dup2(nf, 0);
        close(out[0]);
        std::vector<char *> args = c_argv(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    sim.pid = pid;

    // The first line of its output is the slave's path.
    std::string line;
    uint64_t deadline = now_ns() + 10000000000ull;
    while (line.find('\n') == std::string::npos && now_ns() < deadline) {
        struct pollfd p = { out[0], POLLIN, 0 };
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, (size_t)n);
    }
    close(out[0]);
    size_t nl = line.find('\n');
    if (nl == std::string::npos) {
        sim_stop(sim);
        return false;
    }
    sim.slave = line.substr(0, nl);
    return true;
}

bool sim_alive(Sim &sim)
{
    if (sim.pid <= 0)
        return false;
    int st;
    pid_t r = waitpid(sim.pid, &st, WNOHANG);
    if (r == sim.pid) {
        sim.pid = -1;
        return false;
    }
    return true;
}

void sim_stop(Sim &sim)
{
    if (sim.pid <= 0)
        return;
    kill(sim.pid, SIGTERM);
    int st;
    for (int i = 0; i < 300; i++) {   // up to 3 s, then force
        if (waitpid(sim.pid, &st, WNOHANG) == sim.pid) {
            sim.pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(sim.pid, SIGKILL);
    waitpid(sim.pid, &st, 0);
    sim.pid = -1;
}

// Waits until the record file's size has held still for a while (at most a few seconds).
static void sim_settle(const Sim &sim)
{
    const uint64_t still_ns = 150000000ull, limit = now_ns() + 5000000000ull;
    off_t last = -1;
    uint64_t since = now_ns();
    while (now_ns() < limit) {
        struct stat st;
        off_t size = stat(sim.record.c_str(), &st) == 0 ? st.st_size : 0;
        if (size != last) {
            last = size;
            since = now_ns();
        } else if (now_ns() - since >= still_ns) {
            return;
        }
        usleep(10000);
    }
}

std::vector<Chunk> sim_chunks(const Sim &sim, bool settle)
{
    if (settle)
        sim_settle(sim);
    std::vector<RecordChunk> raw;
    std::vector<Chunk> out;
    if (!record_load(sim.record.c_str(), raw))
        return out;
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

static int open_pty(int *slave_out)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    *slave_out = open(ptsname(master), O_RDWR | O_NOCTTY);
    return master;
}

static void append_available(int fd, std::string &to)
{
    char buf[65536];
    for (;;) {
        struct pollfd p = { fd, POLLIN, 0 };
        if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
            return;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        to.append(buf, (size_t)n);
    }
}

Outcome run_program(const std::vector<std::string> &argv, double timeout_s, Input input,
                const std::string &stdin_data, const std::vector<std::string> &env, bool stderr_tty)
{
    Outcome run;
    int out[2], err[2], in[2] = { -1, -1 };
    int pty_master = -1, pty_slave = -1;
    if (pipe(out) != 0)
        return run;
    if (stderr_tty) {
        err[0] = open_pty(&err[1]);
        struct termios t;
        tcgetattr(err[1], &t);
        t.c_oflag &= ~OPOST;   // collect exactly the bytes the program wrote
        tcsetattr(err[1], TCSANOW, &t);
    } else if (pipe(err) != 0) {
        return run;
    }
    if (input == Input::Pipe && pipe(in) != 0)
        return run;
    if (input == Input::Pty)
        pty_master = open_pty(&pty_slave);

    uint64_t start = now_ns();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (input == Input::Pipe) {
            dup2(in[0], 0);
        } else if (input == Input::Pty) {
            int tty = open(ptsname(pty_master), O_RDWR);   // becomes the controlling terminal
            dup2(tty, 0);
        } else {
            int nf = open("/dev/null", O_RDONLY);
            dup2(nf, 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < 256; fd++)
            close(fd);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args = c_argv(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (input == Input::Pipe) {
        close(in[0]);
        signal(SIGPIPE, SIG_IGN);
        size_t done = 0;
        while (done < stdin_data.size()) {
            ssize_t n = write(in[1], stdin_data.data() + done, stdin_data.size() - done);
            if (n <= 0)
                break;
            done += (size_t)n;
        }
        close(in[1]);
    }

    uint64_t deadline = start + (uint64_t)(timeout_s * 1e9);
    int wstatus = 0;
    bool exited = false;
    while (!exited) {
        struct pollfd p[2] = { { out[0], POLLIN, 0 }, { err[0], POLLIN, 0 } };
        poll(p, 2, 20);
        append_available(out[0], run.out);
        append_available(err[0], run.err);
        if (pty_master >= 0) {
            std::string discard;
            append_available(pty_master, discard);
        }
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            exited = true;
        } else if (now_ns() > deadline) {
            run.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            exited = true;
        }
    }
    run.seconds = (double)(now_ns() - start) / 1e9;
    // Collect what is left in the pipes; a daemon the program left behind may hold them open,
    // so take only what is already there.
    usleep(20000);
    append_available(out[0], run.out);
    append_available(err[0], run.err);
    close(out[0]);
    close(err[0]);
    if (pty_master >= 0) {
        close(pty_master);
        close(pty_slave);
    }
    run.status = run.timed_out ? -1 : exit_status(wstatus);
    return run;
}

// ---------------------------------------------------------------------------------------------
// Interactive console on a pseudo-terminal.

bool console_start(Console &c, const std::vector<std::string> &argv)
{
    c.master = open_pty(&c.slave);
    if (c.master < 0 || c.slave < 0)
        return false;
    int err[2];
    if (pipe(err) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int tty = open(ptsname(c.master), O_RDWR);   // the controlling terminal, as at a console
        dup2(tty, 0);
        dup2(tty, 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < 256; fd++)
            close(fd);
        std::vector<char *> args = c_argv(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(err[1]);
    c.err_fd = err[0];
    c.pid = pid;
    return true;
}

void console_type(Console &c, const std::string &keys)
{
    size_t done = 0;
    while (done < keys.size()) {
        ssize_t n = write(c.master, keys.data() + done, keys.size() - done);
        if (n <= 0)
            break;
        done += (size_t)n;
    }
}

static void console_collect(Console &c, int wait_ms)
{
    struct pollfd p[2] = { { c.master, POLLIN, 0 }, { c.err_fd, POLLIN, 0 } };
    poll(p, 2, wait_ms);
    append_available(c.master, c.screen);
    append_available(c.err_fd, c.err);
}

bool console_wait_for(Console &c, const std::string &needle, double timeout_s)
{
    uint64_t deadline = now_ns() + (uint64_t)(timeout_s * 1e9);
    for (;;) {
        if (c.screen.find(needle) != std::string::npos)
            return true;
        if (now_ns() > deadline)
            return false;
        console_collect(c, 20);
    }
}

int console_finish(Console &c, double timeout_s)
{
    if (c.pid <= 0)
        return -1;
    uint64_t deadline = now_ns() + (uint64_t)(timeout_s * 1e9);
    int wstatus;
    for (;;) {
        console_collect(c, 20);
        if (waitpid(c.pid, &wstatus, WNOHANG) == c.pid)
            break;
        if (now_ns() > deadline) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &wstatus, 0);
            c.pid = -1;
            return -1;
        }
    }
    c.pid = -1;
    usleep(20000);
    append_available(c.master, c.screen);
    append_available(c.err_fd, c.err);
    return exit_status(wstatus);
}

unsigned console_lflag(const Console &c)
{
    struct termios t;
    if (tcgetattr(c.slave, &t) != 0)
        return 0;
    return (unsigned)t.c_lflag;
}

void console_close(Console &c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        int st;
        waitpid(c.pid, &st, 0);
        c.pid = -1;
    }
    if (c.master >= 0)
        close(c.master);
    if (c.slave >= 0)
        close(c.slave);
    if (c.err_fd >= 0)
        close(c.err_fd);
    c.master = c.slave = c.err_fd = -1;
}
