// Test harness: runs the device simulator and the programs under test as real
// processes over real pseudo-terminals, and collects what they did.
//
// Every helper that cannot do its job (a pipe, a pseudo-terminal, a folder, a file, a process)
// records a test failure saying why, so a broken set-up never passes as an empty result.
// Folders made by make_temp_dir() (the sims' included) are removed when the test ends; set
// SERBOLT_KEEP_SCRATCH=1 to keep them for a look.
#pragma once

#include "proc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Directory that holds the built programs (serbolt, korvan-sim, serbolt2.exe, ...).
std::string build_dir();
// Whether `text` holds `part`, for EXPECT_TRUE or EXPECT_FALSE: a failure either way shows both
// (a long text only in part).
testing::AssertionResult has(const std::string &text, const std::string &part);
// A fresh private directory under the build tree's scratch area, removed when the test ends.
// Empty (and a test failure) when it cannot be made.
std::string make_temp_dir(const char *tag);

// ---- the simulator ----

// One running korvan-sim. Stopped, and its folder removed, when it goes out of scope.
struct Sim {
    std::string dir;     // private directory of this sim
    std::string slave;   // the pty slave path the sim printed (the latest, after a replug)
    std::string link;    // dir + "/tty": symlink to the slave (give this to -d)
    std::string record;  // dir + "/record": every byte the sim received, time-stamped
    std::string store;   // dir + "/store": where uploads land
    std::string log;     // dir + "/sim.log": the sim's standard error
    int status = -1;     // exit status once it has ended
    Child proc;          // the sim's process (proc.pid while it runs)
    int out = -1;        // read end of the sim's standard output (terminal paths, one per line)
    int replugs_unseen = 0;  // terminal paths read while waiting for something else
    ~Sim();  // stops the sim (neither copied nor moved: it owns a process and a descriptor)
};

// Starts korvan-sim with --link, --store and --record inside a new private directory, plus
// `extra` (for example {"--silent"} or {"--junk", "xx"}). With `extra` beginning {"--port",
// DEVICE} it serves on that device instead of a link, and `link` is DEVICE. Waits until the
// sim printed its terminal's path. False (and a test failure naming the sim's log) when it
// does not come up.
bool sim_start(Sim &sim, const std::vector<std::string> &extra = {});
// A sim started with `extra` (sim_start) for a test that cannot go on without it: a failed
// start has been reported, and an exception then ends the test. Stopped when it goes out of scope.
struct SimGuard {
    Sim sim;
    explicit SimGuard(const std::vector<std::string> &extra = {});
};
// Ends the sim (SIGTERM: it first reads what is still pending on the line) and reaps it.
// Returns its exit status (-1 when it had to be killed). Safe to call twice.
int sim_stop(Sim &sim);
// Waits up to `timeout_s` for the sim to end by itself; returns its exit status, -1 on time-out.
int sim_wait_exit(Sim &sim, double timeout_s);
// True while the sim process is still running.
bool sim_alive(Sim &sim);
// Waits until the sim has printed its next terminal path (a replug: a terminal of another name)
// and takes it as sim.slave. False on time-out.
bool sim_wait_replug(Sim &sim, double timeout_s);

// What the sim received: one chunk per read, with its CLOCK_MONOTONIC time in nanoseconds.
struct Chunk {
    uint64_t t_ns;
    std::string bytes;
};
// With `settle` (the default) a running sim is first made to read everything the host has
// written so far (SIGUSR1; it answers "synced"), so the record holds all of it; use it once the
// program under test is done writing. The sim goes on running. settle = false reads a snapshot
// (see sim_wait_received to wait for bytes while a program runs).
std::vector<Chunk> sim_chunks(const Sim &sim, bool settle = true);
std::string sim_received(const Sim &sim, bool settle = true);
// Waits until the sim has received `expected` (or, with `prefix`, something that starts with it).
bool sim_wait_received(const Sim &sim, const std::string &expected, double timeout_s,
                       bool prefix = false);
// Time (CLOCK_MONOTONIC, ns) at which received byte number `index` arrived; 0 when out of range.
uint64_t sim_byte_time(const std::vector<Chunk> &chunks, size_t index);

// ---- programs under test ----

// Standard input of a program run by run_program. Closed: no descriptor 0 at all.
enum class Input { Null, Pipe, Pty, Closed };

struct Outcome {
    int status = -1;         // exit status, or 128+signal when killed by a signal
    bool timed_out = false;  // killed by the harness after the time limit
    std::string out, err;    // standard output and standard error
    double seconds = 0;      // wall time
};

// Runs argv[0] (a path) with argv, standard output and error on pipes, standard input as
// `input` (Pipe: `stdin_data` is written then closed; Pty: a pseudo-terminal whose master is
// kept open and silent for the whole run). Kills the program after `timeout_s`. `env` holds
// extra "NAME=value" entries. With `stderr_tty`, standard error is a pseudo-terminal (as at a
// console) and what the program writes there is collected in Outcome::err. With `close_out`,
// the program starts with standard output and error closed (Outcome::out and err stay empty).
Outcome run_program(const std::vector<std::string> &argv, double timeout_s,
                    Input input = Input::Null, const std::string &stdin_data = "",
                    const std::vector<std::string> &env = {}, bool stderr_tty = false,
                    bool close_out = false);

// An interactive run: standard input and standard output on one pseudo-terminal (a console),
// standard error on a pipe. The test types by writing to `master` and reads the screen from it.
// Going out of scope kills and reaps the program and closes the console.
struct Console {
    pid_t pid = -1;   // the program, while it runs (proc.pid)
    int master = -1;  // pty master: keys go in here, the screen comes out here
    int slave = -1;   // kept open by the harness so the console outlives the program
    int err_fd = -1;  // read end of the program's standard error
    std::string screen, err;
    Child proc;
    ~Console();
};
// Starts the program on a fresh console. `lflag_off`: local-mode flags (such as ECHO) switched
// off before it starts, as a user's `stty -echo` would. `controlling`: the console becomes the
// program's controlling terminal; without it the program gets the console as a terminal that is
// not its own (as `setsid -w` at a prompt hands it one).
bool console_start(Console &c, const std::vector<std::string> &argv, unsigned lflag_off = 0,
                   bool controlling = true);
void console_type(Console &c, const std::string &keys);
// Pastes `keys` as a terminal emulator does: written as fast as the console takes them, never
// one dropped, while the screen is collected. Returns how many were written before `timeout_s`.
size_t console_paste(Console &c, const std::string &keys, double timeout_s);
// Bytes typed on the console that no program has read: what a shell would read next (in
// canonical mode, complete lines only).
int console_unread(const Console &c);
// Collects the screen and standard error, waiting up to `wait_s` for something to come.
void console_collect(Console &c, double wait_s);
// Reads the screen until `needle` has appeared (true) or `timeout_s` passed (false).
bool console_wait_for(Console &c, const std::string &needle, double timeout_s);
// The same for the program's standard error.
bool console_wait_err(Console &c, const std::string &needle, double timeout_s);
// Waits for the program to end; returns its status as Outcome::status does (-1 on time-out, after a kill).
int console_finish(Console &c, double timeout_s);
// Local-mode flags of the console, as the program left them.
unsigned console_lflag(const Console &c);

// A program started on a console the way a job-control shell starts a job: a small stand-in
// shell (tests/job_shell.cpp) leads the console's session, and the program runs in a process
// group of its own, in the console's foreground or in the background. Unlike a program that
// leads its own session, such a job is really stopped by Ctrl-Z and by SIGTTOU/SIGTTIN. `c.pid`
// is the stand-in shell, which ends with the program's status (128 + signal when a signal ended
// it). With JOB_SHELL_TAKES_BACK it takes the console back when the program stops, as bash does
// at Ctrl-Z. Standard error goes to a pipe (c.err), or with JOB_STDERR_CONSOLE to the console.
enum {
    JOB_FOREGROUND = 1,
    JOB_STDOUT_PIPE = 2,
    JOB_STDIN_PIPE = 4,
    JOB_SHELL_TAKES_BACK = 8,
    JOB_STDERR_CONSOLE = 16,
};
struct Job {
    Console c;
    pid_t program = -1;           // the program itself
    int out_fd = -1;              // JOB_STDOUT_PIPE: read end of the program's standard output
    int in_fd = -1;               // JOB_STDIN_PIPE: write end of the program's standard input
    unsigned short columns = 0;   // when set before job_spawn: the console's width
    ~Job();
};
// Starts argv[0] (a path) with argv as such a job. False (and a test failure) when it cannot.
bool job_spawn(Job &j, const std::vector<std::string> &argv, int flags);
// Waits for the job's program to end for good (the stand-in shell ends with it); its status as
// console_finish gives it. After a time-out the program is killed.
int job_finish(Job &j, double timeout_s);
