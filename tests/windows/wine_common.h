// Running serbolt2.exe under Wine against korvan-sim, for the Wine tests.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The status that Wine gives a run that Ctrl-C ended: STATUS_CONTROL_C_EXIT
// (0xC000013A) cut to its low byte.
const int kInterruptedStatus = 0x3A;

// The COM port that the test prefix maps to SERBOLT2_COM7_LINK.
extern const char kPort[];

// A korvan-sim behind COM7 for the length of one test. COM7 never dangles:
// Wine would open /dev/ttyS6 in its place. Between tests it leads to an empty
// file that opens but cannot be configured.
struct Device {
    Sim sim;
    // Started with `extra` (start()) for a test that cannot go on without it: a failed start has
    // been reported, and an exception then ends the test.
    explicit Device(const std::vector<std::string> &extra = {});
    bool start(const std::vector<std::string> &extra = {});
    // Everything the sim has received (it first reads what is still pending).
    std::string received() { return sim_received(sim); }
    // Waits until what the sim has received begins with `bytes` (true) or `timeout_s` passed.
    bool wait_for(const std::string &bytes, double timeout_s = 30)
    { return sim_wait_received(sim, bytes, timeout_s, true); }
    // The device goes away: COM7 leads to a file that is no port, the sim ends.
    // start() brings a new one back behind COM7.
    void unplug();
    // For a sim that unplugs and replugs by itself (--unplug-on-reboot, --replug-after-ms): once
    // the program holds the port, and before the sim can go, park() leads COM7 to the file that is
    // no port, so that COM7 never leads to a vanished terminal; replugged() waits until the sim is
    // back on a new terminal and leads COM7 there. (--unplug-after-ms would race the program's
    // first open.)
    void park();
    bool replugged(double timeout_s = 30);
    ~Device() { unplug(); }
};

// Runs serbolt2.exe with `args` under Wine, standard input on a null device. Standard output comes
// back byte for byte; standard error (CR LF line ends) with each "\r\n" as "\n".
Outcome serbolt2(const std::vector<std::string> &args, double timeout_s = 20);
// The same with `input` on a pipe as standard input (written, then closed),
// and Wine's debug channels set to `winedebug` (its traces go to standard error).
Outcome serbolt2_input(const std::vector<std::string> &args, const std::string &input,
                       double timeout_s = 20, const char *winedebug = "-all");

// The line serbolt2 prints once it has opened COM7.
inline std::string connected() { return std::string("Serial device ") + kPort + " - connected.\n"; }
// The arguments of an upload of the Unix file `file` to `dst` through COM7, followed by `more`.
std::vector<std::string> upload_args(const std::string &file, const std::string &dst,
                                     const std::vector<std::string> &more = {});

// Runs serbolt2.exe in a console of its own and types `keys` into it (the helper's script:
// characters, \r for Enter, \uHHHH a UTF-16 unit, {^C} Ctrl-C, {p}...{/p} a paste, {w} wait for the
// input to be taken, {?TEXT} wait for TEXT on the screen, {vk:HH} a key without a character).
// `helper` holds the helper's own options (-left, -screen TEXT); `winedebug` as for serbolt2_input.
Outcome serbolt2_keys(const std::string &keys, const std::vector<std::string> &args,
                      double timeout_s = 30, const std::vector<std::string> &helper = {},
                      const char *winedebug = "-all");

// A Unix path as a Windows program under Wine names it.
std::string win_path(const std::string &unix_path);

// When `err` is exactly the line `first` and then "serbolt2: NAME: REASON\n",
// the system's REASON; otherwise "".
std::string reason_after(const std::string &err, const std::string &first, const std::string &name);

// The exact usage text (of -h), and what --help and /? print.
extern const char kUsage[];
extern const std::string kHelp;
