// Test harness: runs the device simulator and the programs under test as real
// processes over real pseudo-terminals, and collects what they did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <sys/types.h>

// Directory that holds the built programs (serbolt, korvan-sim, serbolt2.exe, ...).
std::string build_dir();
// A fresh private directory under the build tree's scratch area; removed by the caller if it likes.
std::string make_temp_dir(const char *tag);
// Write a file of exactly `size` bytes (deterministic, all 256 byte values) and return its path.
std::string make_file(const std::string &dir, const std::string &name, size_t size);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// One running korvan-sim.
struct Sim {
    pid_t pid = -1;
    std::string dir;     // private directory of this sim
    std::string slave;   // the pty slave path the sim printed
    std::string link;    // dir + "/tty": symlink to the slave (give this to -d)
    std::string record;  // dir + "/record": every byte the sim received, time-stamped
    std::string store;   // dir + "/store": where uploads land
};

// Starts korvan-sim with --link, --store and --record inside a new private directory, plus
// `extra` (for example {"--silent"} or {"--junk", "xx"}). Waits until the sim printed its slave path.
bool sim_start(Sim &sim, const std::vector<std::string> &extra = {});
// Ends the sim (SIGTERM) and reaps it. Safe to call twice.
void sim_stop(Sim &sim);
// True while the sim process is still running.
bool sim_alive(Sim &sim);

// What the sim received: one chunk per read, with its CLOCK_MONOTONIC time in nanoseconds.
struct Chunk {
    uint64_t t_ns;
    std::string bytes;
};
// Both first wait until the record has stopped growing (the sim may still be reading what a
// program wrote just before it ended); pass settle = false for a snapshot while polling.
std::vector<Chunk> sim_chunks(const Sim &sim, bool settle = true);
std::string sim_received(const Sim &sim, bool settle = true);
// Time (CLOCK_MONOTONIC, ns) at which received byte number `index` arrived; 0 when out of range.
uint64_t sim_byte_time(const std::vector<Chunk> &chunks, size_t index);
uint64_t now_ns();

// Standard input of a program run by run_program.
enum class Input { Null, Pipe, Pty };

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
// console) and what the program writes there is collected in Outcome::err.
Outcome run_program(const std::vector<std::string> &argv, double timeout_s,
                Input input = Input::Null, const std::string &stdin_data = "",
                const std::vector<std::string> &env = {}, bool stderr_tty = false);

// An interactive run: standard input and standard output on one pseudo-terminal (a console),
// standard error on a pipe. The test types by writing to `master` and reads the screen from it.
struct Console {
    pid_t pid = -1;
    int master = -1;  // pty master: keys go in here, the screen comes out here
    int slave = -1;   // kept open by the harness so the console outlives the program
    int err_fd = -1;  // read end of the program's standard error
    std::string screen, err;
};
bool console_start(Console &c, const std::vector<std::string> &argv);
void console_type(Console &c, const std::string &keys);
// Reads the screen until `needle` has appeared (true) or `timeout_s` passed (false).
bool console_wait_for(Console &c, const std::string &needle, double timeout_s);
// Waits for the program to end; returns its status as Outcome::status does (-1 on time-out, after a kill).
int console_finish(Console &c, double timeout_s);
// Local-mode flags of the console, as the program left them.
unsigned console_lflag(const Console &c);
void console_close(Console &c);
