// Shared bits of the serbolt end-to-end tests.
#pragma once
#include "harness.h"
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// serbolt's usage text (-h), byte for byte.
inline const char USAGE[] =
    "-i FILE_IN\n"
    "-o FILE_OUT\n"
    "-a ACTION (1=Filetransfer)\n"
    "-r send reset\n"
    "-b send reboot\n"
    "-t stay in terminal mode\n"
    "-d DEVICE (default: '/dev/ttyUSB0')\n"
    "If no parameter given, then terminal display\n";

inline std::string serbolt_path() { return build_dir() + "/serbolt"; }

// serbolt's command line: the program's path, then `args`.
inline std::vector<std::string> serbolt_argv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = { serbolt_path() };
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Runs serbolt with `args` (the program path is added in front).
inline Outcome serbolt(const std::vector<std::string> &args, double timeout_s = 30,
                   Input input = Input::Null, const std::string &stdin_data = "")
{
    return run_program(serbolt_argv(args), timeout_s, input, stdin_data);
}

// Runs serbolt with `args` on the sim's line (-d first).
inline Outcome serbolt_on(const Sim &sim, std::vector<std::string> args, Input input = Input::Null,
                          const std::string &stdin_data = "")
{
    args.insert(args.begin(), { "-d", sim.link });
    return serbolt(args, 30, input, stdin_data);
}

// The arguments of an upload of `file` to `dest` on the sim's line, followed by `extra`.
inline std::vector<std::string> upload_args(const Sim &sim, const std::string &file,
                                            const std::string &dest,
                                            const std::vector<std::string> &extra = {})
{
    std::vector<std::string> args = { "-d", sim.link, "-a", "1", "-i", file, "-o", dest };
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// Runs that upload (stdin on /dev/null) and returns what serbolt did.
inline Outcome upload(const Sim &sim, const std::string &file, const std::string &dest,
                      const std::vector<std::string> &extra = {}, double timeout_s = 60)
{
    return serbolt(upload_args(sim, file, dest, extra), timeout_s);
}

// The line serbolt prints once it has opened the sim's link.
inline std::string connected(const Sim &sim) { return "Serial device " + sim.link + " - connected.\n"; }

// Runs serbolt inside a private /dev where ttyUSB0/ttyUSB1 link to the given paths ("-": absent).
inline Outcome serbolt_private_dev(const std::string &usb0, const std::string &usb1,
                                   const std::vector<std::string> &args)
{
    std::vector<std::string> argv = { SERBOLT_PRIVATE_DEV, usb0, usb1, serbolt_path() };
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, 60);
}

// private-dev.sh ends with status 99 where no private mount namespace can be made.
#define SKIP_WITHOUT_NAMESPACE(run)                                                          \
    if ((run).status == 99)                                                                  \
    GTEST_SKIP() << "no private /dev here: " << (run).err

inline size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

// The forms of the upload's progress line drawn on a terminal: the text after each "\r" up to
// the erase that ends it ("\033[K"). Erasures alone are left out.
inline std::vector<std::string> progress_forms(const std::string &screen)
{
    std::vector<std::string> forms;
    for (size_t at = screen.find('\r'); at != std::string::npos; at = screen.find('\r', at + 1)) {
        size_t end = screen.find("\033[K", at + 1);
        if (end == std::string::npos)
            break;
        std::string form = screen.substr(at + 1, end - at - 1);
        if (!form.empty() && form.find_first_of("\r\n") == std::string::npos)
            forms.push_back(form);
    }
    return forms;
}

// The byte count a progress form begins with ("1234 of 5678 bytes ..."); -1 for a form without.
inline long progress_count(const std::string &form)
{
    long count = -1;
    return sscanf(form.c_str(), "%ld of ", &count) == 1 ? count : -1;
}

// The settings of a console that no program has touched.
inline struct termios fresh_console_settings()
{
    struct termios t = {};
    int master, slave;
    if (make_pty(&master, &slave)) {
        tcgetattr(slave, &t);
        close(slave);
        close(master);
    }
    return t;
}

// The console's settings equal those of an untouched console (what the user had before), whose
// local-mode flags `lflag_off` the user had switched off (as console_start's).
inline ::testing::AssertionResult console_settings_untouched(const Console &c, unsigned lflag_off = 0)
{
    struct termios now, before = fresh_console_settings();
    before.c_lflag &= ~(tcflag_t)lflag_off;
    if (tcgetattr(c.slave, &now) != 0)
        return ::testing::AssertionFailure() << "cannot read the console's settings";
    if (now.c_lflag != before.c_lflag || now.c_iflag != before.c_iflag ||
        now.c_oflag != before.c_oflag || now.c_cflag != before.c_cflag)
        return ::testing::AssertionFailure() << std::hex << "lflag " << now.c_lflag << " (was "
                                             << before.c_lflag << "), iflag " << now.c_iflag
                                             << " (was " << before.c_iflag << ")";
    return ::testing::AssertionSuccess();
}

// Waits until serbolt has switched the console's canonical mode and echo off.
inline bool wait_raw(const Console &c, double timeout_s = 10)
{
    return wait_until([&] { return (console_lflag(c) & (ICANON | ECHO)) == 0; }, timeout_s);
}

// serbolt's terminal on the sim's line at the console `t` (with `lflag_off` as console_start's):
// started, connected, keys raw.
inline ::testing::AssertionResult terminal_ready(Console &t, const Sim &sim, unsigned lflag_off = 0)
{
    if (!console_start(t, serbolt_argv({ "-d", sim.link }), lflag_off))
        return ::testing::AssertionFailure() << "serbolt did not start";
    if (!console_wait_for(t, "connected.", 10))
        return ::testing::AssertionFailure() << "no connected line: " << t.screen << t.err;
    if (!wait_raw(t))
        return ::testing::AssertionFailure() << "keys never went raw";
    return ::testing::AssertionSuccess();
}

// Types 'x' at serbolt's terminal and waits for serbolt to end; its status as console_finish's.
inline int quit_with_x(Console &t, double timeout_s = 10)
{
    console_type(t, "x");
    return console_finish(t, timeout_s);
}

// Process state letter from /proc/PID/stat ('S' sleeping, 'T' stopped, ...); 0 when gone.
inline char process_state(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

// Processor time (user + system) a process has used so far, in seconds, from the clock ticks
// of /proc/PID/stat; -1 when gone.
inline double process_cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state(3) ... utime(14) stime(15).
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos ||
        sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

inline bool wait_state(pid_t pid, char state, double timeout_s)
{
    return wait_until([&] { return process_state(pid) == state; }, timeout_s);
}

// serbolt with `args` started as a job of a stand-in shell on a console (job_spawn).
inline bool job_start(Job &j, const std::vector<std::string> &args, int flags)
{
    return job_spawn(j, serbolt_argv(args), flags);
}
