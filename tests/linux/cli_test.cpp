// serbolt's command line, device search and exit statuses.
#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

// -h wins over everything else and writes the usage text only; a rejected option gets the
// parser's own diagnostic and no usage text, as do the long words among other words. None of
// them opens the line.
TEST(CommandLine, HelpAndRejectedOptionsEndBeforeTheLineIsOpened)
{
    const std::string ANY = "", LONG_WORD = "invalid option -- '-'";
    const struct {
        std::vector<std::string> args;
        std::string err;   // USAGE (status 0): all of it; else part of it (status 1)
    } runs[] = {
        { { "-h" }, USAGE }, { { "-r", "-a", "1", "-h" }, USAGE }, { { "-h", "-z" }, USAGE }, { { "-bh" }, USAGE },
        { { "-d", "/nonexistent", "-h", "stray" }, USAGE },
        { { "-z" }, ANY }, { { "-z", "-h" }, ANY }, { { "-a" }, ANY }, { { "-i" }, ANY }, { { "-o" }, ANY },
        { { "-d" }, ANY }, { { "-r", "-q" }, ANY },
        { { "--help", "-d", "/nonexistent" }, LONG_WORD }, { { "-d", "/nonexistent", "--version" }, LONG_WORD },
        { { "--version", "--version" }, LONG_WORD },
    };
    for (const auto &c : runs) {
        Outcome r = serbolt(c.args);
        EXPECT_EQ(r.out, "") << "the line must not be opened: " << c.args[0];
        if (c.err == USAGE) {
            EXPECT_EQ(r.status, 0) << c.args[0];
            EXPECT_EQ(r.err, USAGE) << c.args[0];
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_NE(r.err, "") << "the parser's own diagnostic";
        EXPECT_TRUE(has(r.err, c.err));
        EXPECT_FALSE(has(r.err, "-i FILE_IN")) << "no usage text";
    }
}

// An action other than the terminal's and the transfer's, or a transfer without both files, is
// refused after the line opened, and nothing goes to the device. The later -a counts; "1x" and
// " 1" read as 1, like atoi.
TEST(CommandLine, OtherActionsAndTransfersWithoutBothFilesAreRefusedAfterOpening)
{
    SimGuard g;
    const std::string UNKNOWN = "Unkown action command\n", BOTH = "Both FILE_IN and FILE_OUT must be given!\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } refused[] = {
        { { "-a", "x" }, UNKNOWN }, { { "-a", "0" }, UNKNOWN }, { { "-a", "2" }, UNKNOWN }, { { "-a", "12" }, UNKNOWN },
        { { "-a", "-2" }, UNKNOWN }, { { "-a", "99999999999999999999" }, UNKNOWN },
        { { "-a", "-99999999999999999999" }, UNKNOWN }, { { "-a", "1", "-a", "2", "-i", "f", "-o", "g" }, UNKNOWN },
        { { "-a", "2", "-b" }, UNKNOWN },   // a refused action says only that
        { { "-a", "1", "-i", "in" }, BOTH }, { { "-a", "1x", "-o", "out" }, BOTH }, { { "-a", " 1" }, BOTH },
    };
    for (const auto &c : refused) {
        Outcome r = serbolt_on(g.sim, c.args);
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_EQ(r.out, connected(g.sim)) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
    EXPECT_EQ(sim_received(g.sim), "") << "nothing goes to the device";
}

// Without -d serbolt tries /dev/ttyUSB0, then /dev/ttyUSB1; a -d device that fails to open is
// passed over the same way (with its reason on standard error), one that opens is the only one
// tried, even when it then cannot be used. Each case runs in a private /dev whose ttyUSB0 and
// ttyUSB1 are the sim's terminal or absent ("-").
TEST(DeviceSearch, TheDefaultDevicesAreTriedInTurnAfterAGivenOneThatFailsToOpen)
{
    SimGuard g;
    const std::string dir = make_temp_dir("search"), file = make_file(dir, "plain", 10), sim = g.sim.slave;
    const std::string none = "Serial device (none) - failed to connect.\n";
    const std::string usb0_failed = "Serial device /dev/ttyUSB0 - failed to connect.\n";
    const std::string usb1_failed = "Serial device /dev/ttyUSB1 - failed to connect.\n";
    const struct {
        std::string usb0, usb1;
        std::vector<std::string> args;
        std::string out, err;   // err: all of it, or with a '*' in front, part of its one line
    } searches[] = {
        // Nothing opens: three lines, one hint on standard error that suggests -d.
        { "-", "-", {}, none + usb0_failed + usb1_failed, "*-d" },
        { "-", "-", { "-d", "/dev/ttyACM7", "-a", "1" },
          "Serial device /dev/ttyACM7 - failed to connect.\n" + usb0_failed + usb1_failed, "*-d" },
        { "-", "-", { "-d", dir }, "Serial device " + dir + " - failed to connect.\n" + usb0_failed + usb1_failed,
          "serbolt: " + dir + ": Is a directory\n" },
        // The action is refused, but only after the line opened.
        { sim, "-", { "-a", "2" }, none + "Serial device /dev/ttyUSB0 - connected.\n", "Unkown action command\n" },
        // No hint once a device opened, but a warning that the given one was not used.
        { "-", sim, { "-d", "/dev/nothing", "-a", "2" },
          "Serial device /dev/nothing - failed to connect.\n" + usb0_failed + "Serial device /dev/ttyUSB1 - connected.\n",
          "serbolt: warning: /dev/nothing could not be opened; using /dev/ttyUSB1 instead\nUnkown action command\n" },
        { sim, sim, { "-d", sim, "-a", "2" }, "Serial device " + sim + " - connected.\n", "Unkown action command\n" },
        // /dev/ttyUSB0 must not be tried after a device opened.
        { sim, "-", { "-d", file },
          "Error from tcgetattr: Inappropriate ioctl for device\nSerial device " + file + " - failed to connect [attributes].\n",
          "" },
    };
    for (const auto &c : searches) {
        Outcome r = serbolt_private_dev(c.usb0, c.usb1, c.args);
        SKIP_WITHOUT_NAMESPACE(r);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        if (c.err[0] == '*') {
            EXPECT_TRUE(has(r.err, c.err.substr(1)));
            EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        } else {
            EXPECT_EQ(r.err, c.err);
        }
    }
}

// Runs serbolt as an unprivileged user against `device` (mode and group as given), in a private
// /dev without default devices.
static Outcome serbolt_unprivileged(const std::string &device, mode_t mode, gid_t gid)
{
    EXPECT_EQ(chmod(device.c_str(), mode), 0);
    EXPECT_EQ(chown(device.c_str(), 0, gid), 0);
    std::vector<std::string> argv = { SERBOLT_PRIVATE_DEV, "-", "-", "/usr/bin/setpriv", "--reuid=65534",
                                      "--regid=65534", "--clear-groups", serbolt_path(), "-d", device };
    return run_program(argv, 30);
}

TEST(DeviceSearch, PermissionDeniedNamesAGroupOnlyWhenTheGroupMayUseTheDevice)
{
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run serbolt as an unprivileged user";
    SimGuard g;
    // The group may read and write: join it (20 is dialout on Debian).
    Outcome r = serbolt_unprivileged(g.sim.slave, 0660, 20);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("Serial device " + g.sim.slave + " - failed to connect.\n", 0), 0u) << r.out;
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_TRUE(has(r.err, "serbolt: " + g.sim.slave + ": Permission denied"));
    EXPECT_TRUE(has(r.err, "usermod -aG dialout"));
    EXPECT_FALSE(has(r.err, "only the device's owner"));

    // Only the owner may: no group to join; the usual fix is named instead.
    for (std::pair<mode_t, gid_t> owner_only : { std::make_pair(0600, 20), std::make_pair(0660, 0) }) {
        Outcome o = serbolt_unprivileged(g.sim.slave, owner_only.first, owner_only.second);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(count_of(o.err, "\n"), 1u) << o.err;
        EXPECT_TRUE(has(o.err, "only the device's owner may open it"));
        EXPECT_TRUE(has(o.err, "udev rule"));
        EXPECT_FALSE(has(o.err, "usermod -aG root"));
    }
}

// The terminal serbolt runs in is not taken as the line, whichever name reaches it: refused with
// the reason before anything is changed on it, and no other device is tried.
TEST(DeviceSearch, SerboltsOwnTerminalIsRefusedAndLeftAsItWas)
{
    Console c;
    ASSERT_TRUE(console_start(c, { SERBOLT_PRIVATE_DEV, "-", "-", serbolt_path(), "-d", "/dev/tty" }));
    int status = console_finish(c, 30);
    if (status == 99)
        GTEST_SKIP() << "private mount namespace not permitted: " << c.err;
    EXPECT_EQ(status, 1);
    EXPECT_EQ(c.screen, "Serial device /dev/tty - failed to connect.\r\n");
    EXPECT_EQ(c.err, "serbolt: /dev/tty: this is serbolt's own terminal, not the Korvan's serial line\n");
    EXPECT_TRUE(console_settings_untouched(c));

    // A terminal on standard error that is not the controlling terminal, named by another path.
    std::vector<std::string> argv = { SERBOLT_PRIVATE_DEV, "-", "-", serbolt_path(), "-d", "/proc/self/fd/2" };
    Outcome r = run_program(argv, 30, Input::Null, "", {}, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Serial device /proc/self/fd/2 - failed to connect.\n");
    EXPECT_EQ(r.err, "serbolt: /proc/self/fd/2: this is serbolt's own terminal, not the Korvan's serial line\n");
}
