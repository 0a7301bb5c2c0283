#include "wine_common.h"

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <sys/personality.h>
#include <unistd.h>

const char kPort[] = "COM7";

const char kUsage[] =
    "Usage: -i FILE_IN\n"
    "-o FILE_OUT\n"
    "-a ACTION (1=Filetransfer)\n"
    "-r send reset\n"
    "-b send reboot\n"
    "-t stay in terminal mode\n"
    "-d DEVICE (default: 'COM1')\n"
    "If no parameter given, terminal display mode is used\n";

const std::string kHelp = std::string("usage: serbolt2 [-d COMPORT] [-a 1 -i FILE -o PATH [-b] [-r] [-t]]\n") +
                          kUsage +
                          "--help    this text (also /?)\n"
                          "--version the program's version\n"
                          "See serbolt2(1) for the whole manual.\n";

// Wine's environment for every run (tests/CMakeLists.txt says what and why),
// with the debug channels of this run last, so they win.
static std::vector<std::string> wine_env(const char *winedebug = "-all")
{
    static const char *const common[] = {SERBOLT2_WINE_ENV};
    std::vector<std::string> env(std::begin(common), std::end(common));
    env.push_back(std::string("WINEDEBUG=") + winedebug);
    return env;
}

// Debian's Wine starts without a preloader, so nothing holds the fixed low addresses of a Windows
// process before the kernel's address randomization may put a mapping there. About one start in a
// few thousand then ends at once with status 1 and no output ("failed to map the shared user data",
// shown only with err+virtual), before serbolt2 runs. The personality is inherited across fork and
// exec, so every Wine this test process starts gets the fixed layout.
static const bool kFixedLayout = [] {
    int current = personality(0xffffffff);
    if (current != -1 && personality((unsigned long)current | ADDR_NO_RANDOMIZE) != -1)
        return true;
    fprintf(stderr, "note: address randomization stays on; a rare Wine start may fail\n");
    return false;
}();

// Longest time a scripted console run may take inside the helper before it
// ends the program; the harness's own limit stays above it.
static const double kHelperMarginS = 5;

// Re-points the COM7 link in one step (a new link renamed over the old one).
static bool point_com7(const std::string &target)
{
    std::string fresh = std::string(SERBOLT2_COM7_LINK) + ".new";
    unlink(fresh.c_str());
    return symlink(target.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), SERBOLT2_COM7_LINK) == 0;
}

bool Device::start(const std::vector<std::string> &extra)
{
    return sim_start(sim, extra) && point_com7(sim.slave);
}

Device::Device(const std::vector<std::string> &extra)
{
    if (!start(extra)) {
        unplug();
        throw std::runtime_error("the device did not start behind COM7");
    }
}

void Device::unplug()
{
    // Never let COM7 dangle, not even for a moment: Wine would try /dev/ttyS6.
    point_com7(SERBOLT2_NOT_A_PORT);
    sim_stop(sim);
    close_fd(sim.out);
    // Its files run to tens of megabytes in the upload tests.
    std::error_code ignored;
    if (!sim.dir.empty())
        std::filesystem::remove_all(sim.dir, ignored);
    sim.dir.clear();
    sim.replugs_unseen = 0;
}

void Device::park()
{
    point_com7(SERBOLT2_NOT_A_PORT);
}

bool Device::replugged(double timeout_s)
{
    // The sim prints the path of each new terminal once its link is made: wait for that line rather
    // than for the link to go and come back, a gap that a starved test thread could miss. The new
    // terminal never has the old one's name, so COM7 cannot lead back to the vanished line.
    return sim_wait_replug(sim, timeout_s) && point_com7(sim.slave);
}

std::string win_path(const std::string &unix_path)
{
    std::string out = "Z:" + unix_path;
    for (char &c : out)
        if (c == '/')
            c = '\\';
    return out;
}

// Standard output stays as the program wrote it, byte for byte. Standard error is in text mode,
// every line end a CR LF: given back as "\n", and a bare LF marked, so that a comparison shows it.
// Wine's traces (any other `winedebug`) are left as they are.
static Outcome finish(Outcome run, const char *winedebug)
{
    if (std::string(winedebug) != "-all")
        return run;
    std::string err;
    for (size_t i = 0; i < run.err.size(); i++) {
        if (run.err[i] == '\r' && i + 1 < run.err.size() && run.err[i + 1] == '\n')
            continue;
        if (run.err[i] == '\n' && (i == 0 || run.err[i - 1] != '\r'))
            err += "<bare LF>";
        err += run.err[i];
    }
    run.err = err;
    return run;
}

static Outcome run_serbolt2(const std::vector<std::string> &args, Input input, const std::string &data,
                            double timeout_s, const char *winedebug)
{
    std::vector<std::string> argv = {SERBOLT2_WINE, build_dir() + "/serbolt2.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return finish(run_program(argv, timeout_s, input, data, wine_env(winedebug)), winedebug);
}

Outcome serbolt2(const std::vector<std::string> &args, double timeout_s)
{
    return run_serbolt2(args, Input::Null, "", timeout_s, "-all");
}

Outcome serbolt2_input(const std::vector<std::string> &args, const std::string &input, double timeout_s,
                       const char *winedebug)
{
    return run_serbolt2(args, Input::Pipe, input, timeout_s, winedebug);
}

std::vector<std::string> upload_args(const std::string &file, const std::string &dst,
                                     const std::vector<std::string> &more)
{
    std::vector<std::string> args = {"-d", kPort, "-a", "1", "-i", win_path(file), "-o", dst};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

Outcome serbolt2_keys(const std::string &keys, const std::vector<std::string> &args, double timeout_s,
                      const std::vector<std::string> &helper, const char *winedebug)
{
    int helper_ms = (int)((timeout_s - kHelperMarginS) * 1000);
    std::vector<std::string> argv = {SERBOLT2_WINE, build_dir() + "/serbolt2_keys.exe"};
    argv.insert(argv.end(), helper.begin(), helper.end());
    argv.insert(argv.end(), {std::to_string(helper_ms), keys, win_path(build_dir() + "/serbolt2.exe")});
    argv.insert(argv.end(), args.begin(), args.end());
    return finish(run_program(argv, timeout_s, Input::Pty, "", wine_env(winedebug)), winedebug);
}

std::string reason_after(const std::string &err, const std::string &first, const std::string &name)
{
    std::string head = first + "serbolt2: " + name + ": ";
    if (err.size() <= head.size() + 1 || err.compare(0, head.size(), head) != 0 || err.back() != '\n')
        return "";
    std::string reason = err.substr(head.size(), err.size() - head.size() - 1);
    return reason.find('\n') == std::string::npos ? reason : "";
}
