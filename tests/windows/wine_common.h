// Running serbolt2.exe under Wine against korvan-sim, for the Wine tests.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The COM port that the test prefix maps to SERBOLT2_COM7_LINK.
extern const char kPort[];

// A korvan-sim behind COM7 for the length of one test. COM7 never dangles:
// Wine would open /dev/ttyS6 in its place. Between tests it leads to an empty
// file that opens but cannot be configured.
struct Device {
    Sim sim;
    bool start(const std::vector<std::string> &extra = {});
    // What the sim has received once `count` bytes are in, or after `timeout_s`.
    std::string received(size_t count = 0, double timeout_s = 2);
    // Waits until the sim has received `bytes` somewhere (true) or `timeout_s` passed.
    bool wait_for(const std::string &bytes, double timeout_s = 30);
    // The device goes away: COM7 leads to a file that is no port, the sim ends.
    // start() brings a new one back behind COM7.
    void unplug();
    // For a sim that unplugs and replugs by itself (--unplug-on-reboot,
    // --replug-after-ms): once the program holds the port, and before the sim
    // can go, park() leads COM7 to the file that is no port, so that COM7 never
    // leads to a vanished terminal; replugged() waits until the sim is back on
    // a new terminal and leads COM7 there. (--unplug-after-ms would race the
    // program's first open.)
    void park();
    bool replugged(double timeout_s = 30);
    ~Device();
};

// Runs serbolt2.exe with `args` under Wine, standard input on a null device.
// Standard output and error come back with the runtime's "\r\n" turned into "\n".
Outcome serbolt2(const std::vector<std::string> &args, double timeout_s = 20);
// The same with `input` on a pipe as standard input (written, then closed),
// and Wine's debug channels set to `winedebug` (its traces go to standard error).
Outcome serbolt2_input(const std::vector<std::string> &args, const std::string &input,
                       double timeout_s = 20, const char *winedebug = "-all");

// Runs serbolt2.exe in a console of its own and types `keys` into it (the
// helper's script: characters, \r for Enter, {N} for a pause of N ms, {p}...{/p}
// a paste, {w} wait for the input to be taken, {?TEXT} wait for TEXT on the
// screen). `helper` holds the helper's own options (-left, -screen TEXT).
Outcome serbolt2_keys(const std::string &keys, const std::vector<std::string> &args,
                      double timeout_s = 30, const std::vector<std::string> &helper = {});

// A Unix path as a Windows program under Wine names it.
std::string win_path(const std::string &unix_path);

// When `err` is exactly the line `first` and then "serbolt2: NAME: REASON\n",
// the system's REASON; otherwise "".
std::string reason_after(const std::string &err, const std::string &first, const std::string &name);

// The exact usage text.
extern const char kUsage[];
