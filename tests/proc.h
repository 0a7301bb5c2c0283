// Files, descriptors, pseudo-terminals, child processes and waits with a limit: the part of the
// test harness (harness.h) that needs no GoogleTest, so that the USB lab's helper in its VM
// (tests/usb/labtool.cpp) is built on the same code. A helper here that cannot do its job says
// why through proc_failed (in the harness: a test failure) and returns its failure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

// Told why a helper failed. By default the reason goes to standard error.
extern void (*proc_failed)(const std::string &why);

uint64_t now_ns();
// The now_ns() time `seconds` from now, and the milliseconds left until such a time, for poll()
// (0 once it has passed).
uint64_t deadline_in(double seconds);
int ms_left(uint64_t deadline);
void close_fd(int &fd);   // closes it, if open, and sets it to -1

// ---- files and descriptors ----

// Write a file of exactly `size` bytes (deterministic, all 256 byte values) and return its path.
std::string make_file(const std::string &dir, const std::string &name, size_t size);
// The whole file; empty when it cannot be read (a missing file is no failure: tests check absence).
std::string read_file(const std::string &path);
// Writes the file whole; false (and the reason told) when it cannot.
bool write_file(const std::string &path, const std::string &bytes);

// ---- waiting with a limit ----

// Asks `cond` every few milliseconds until it holds (true) or `limit_s` has passed (false).
bool wait_until(const std::function<bool()> &cond, double limit_s);
// Reads `fd` until `text` has come (or, with `count`, that many bytes), the descriptor ends or
// `limit_s` has passed; returns what came. With `text` empty and no `count`: for the whole time.
std::string read_until(int fd, const std::string &text, double limit_s, size_t count = 0);
// Writes all of `bytes` to `fd`, waiting while it is full. False (and the reason told) when it cannot.
bool write_fd(int fd, const std::string &bytes);
// Writes `bytes` to `fd` without blocking, as far as the reader takes them: until all are
// written, or until nothing more fits for `stall_s`. Returns how much was written.
size_t write_until_stalled(int fd, const std::string &bytes, double stall_s);
// Every byte value 0 to 255 in order, `repeat` times: bytes that a cooked line would mangle.
std::string all_byte_values(size_t repeat);
// Appends what `fd` holds now, without waiting. False at end of file or on an error.
bool append_available(int fd, std::string &to);

// ---- child processes ----

// A process started by spawn(), in a session of its own. It owns a pidfd, so its end can be
// waited for with poll() beside other descriptors. Going out of scope kills (SIGKILL, whole
// process group) and reaps whatever is still running.
struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    int status = -1;  // once ended: exit status, or 128+signal
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();
};

// Starts argv[0] (a path) with argv. `fds` become its standard input, output and error; -1
// leaves that stream closed. `ctty`, when not -1, is a terminal slave that becomes the child's
// controlling terminal. `env` holds extra "NAME=value" entries. Every other descriptor is closed
// in the child. False (and the reason told) when it cannot be started.
bool spawn(Child &c, const std::vector<std::string> &argv, const int fds[3], int ctty = -1,
           const std::vector<std::string> &env = {});
// Waits for the child to end, at most `timeout_s`. True when it has (c.status holds its status).
bool child_wait(Child &c, double timeout_s);
// Kills the child's process group and reaps it. Safe to call on an ended child.
void child_kill(Child &c);

// A pseudo-terminal pair. Its termios are as the kernel makes them; with `exact_output` the
// slave's output processing is off, so that the master reads exactly the bytes written to it
// (a program's standard error collected as it wrote it). False (and the reason told) when it
// cannot be made.
bool make_pty(int *master, int *slave, bool exact_output = false);
