// serbolt's command line, device search and exit statuses.
#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

TEST(CommandLine, HelpWritesUsageOnlyAndNeverOpensTheLine)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{ { "-h" }, { "-r", "-a", "1", "-h" }, { "-h", "-z" },
                                                { "-bh" }, { "-d", "/nonexistent", "-h", "stray" } }) {
        Outcome r = serbolt(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.out, "") << "the line must not be opened";
    }
}

TEST(CommandLine, RejectedOptionsEndWithStatusOneBeforeTheLineIsOpened)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{ { "-z" }, { "-z", "-h" }, { "-a" }, { "-i" }, { "-o" },
                                                { "-d" }, { "-r", "-q" } }) {
        Outcome r = serbolt(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err, "") << "the parser's own diagnostic";
        EXPECT_EQ(r.err.find("-i FILE_IN"), std::string::npos) << "no usage text";
    }
}

TEST(CommandLine, ActionsOtherThanTerminalAndTransferAreRefusedAfterOpening)
{
    SimGuard g;
    for (const char *a : { "x", "0", "2", "12", "-2", "99999999999999999999", "-99999999999999999999" }) {
        Outcome r = serbolt({ "-d", g.sim.link, "-a", a });
        EXPECT_EQ(r.status, 1) << a;
        EXPECT_EQ(r.out, connected(g.sim)) << a;
        EXPECT_EQ(r.err, "Unkown action command\n") << a;
    }
    Outcome twice = serbolt({ "-d", g.sim.link, "-a", "1", "-a", "2", "-i", "f", "-o", "g" });
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "Unkown action command\n") << "the later -a counts";
    EXPECT_EQ(sim_received(g.sim), "") << "nothing goes to the device";
}

TEST(CommandLine, TransferNeedsBothFiles)
{
    SimGuard g;
    // "1x" and " 1" read as 1, like atoi.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             { "-a", "1", "-i", "in" }, { "-a", "1x", "-o", "out" }, { "-a", " 1" } }) {
        Outcome r = serbolt_on(g.sim, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, connected(g.sim));
        EXPECT_EQ(r.err, "Both FILE_IN and FILE_OUT must be given!\n");
    }
    EXPECT_EQ(sim_received(g.sim), "");
}

TEST(DeviceSearch, NoCandidateOpensGivesThreeLinesAHintAndStatusOne)
{
    Outcome r = serbolt_private_dev("-", "-", {});
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Serial device (none) - failed to connect.\n"
                     "Serial device /dev/ttyUSB0 - failed to connect.\n"
                     "Serial device /dev/ttyUSB1 - failed to connect.\n");
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("-d"), std::string::npos) << "the hint suggests -d: " << r.err;

    Outcome given = serbolt_private_dev("-", "-", { "-d", "/dev/ttyACM7", "-a", "1" });
    EXPECT_EQ(given.status, 1);
    EXPECT_EQ(given.out, "Serial device /dev/ttyACM7 - failed to connect.\n"
                         "Serial device /dev/ttyUSB0 - failed to connect.\n"
                         "Serial device /dev/ttyUSB1 - failed to connect.\n");
}

TEST(DeviceSearch, FallsBackToTtyUSB0ThenTtyUSB1)
{
    SimGuard g;
    Outcome usb0 = serbolt_private_dev(g.sim.slave, "-", { "-a", "2" });
    SKIP_WITHOUT_NAMESPACE(usb0);
    EXPECT_EQ(usb0.out, "Serial device (none) - failed to connect.\n"
                        "Serial device /dev/ttyUSB0 - connected.\n");
    EXPECT_EQ(usb0.status, 1);   // the action is refused, but only after the line opened

    Outcome usb1 = serbolt_private_dev("-", g.sim.slave, { "-d", "/dev/nothing", "-a", "2" });
    EXPECT_EQ(usb1.out, "Serial device /dev/nothing - failed to connect.\n"
                        "Serial device /dev/ttyUSB0 - failed to connect.\n"
                        "Serial device /dev/ttyUSB1 - connected.\n");
    EXPECT_EQ(usb1.err, "serbolt: warning: /dev/nothing could not be opened; using /dev/ttyUSB1 instead\n"
                        "Unkown action command\n")
        << "no hint once a device opened, but a warning that the given one was not used";

    // A given device that opens is the only one tried.
    Outcome given = serbolt_private_dev(g.sim.slave, g.sim.slave, { "-d", g.sim.slave, "-a", "2" });
    EXPECT_EQ(given.out, "Serial device " + g.sim.slave + " - connected.\n");
}

TEST(DeviceSearch, ADeviceThatIsNotATerminalEndsTheSearch)
{
    SimGuard g;
    std::string dir = make_temp_dir("notatty");
    std::string file = make_file(dir, "plain", 10);
    Outcome r = serbolt_private_dev(g.sim.slave, "-", { "-d", file });
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error from tcgetattr: Inappropriate ioctl for device\n"
                     "Serial device " + file + " - failed to connect [attributes].\n")
        << "/dev/ttyUSB0 must not be tried after a device opened";
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
    EXPECT_NE(r.err.find("serbolt: " + g.sim.slave + ": Permission denied"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usermod -aG dialout"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("only the device's owner"), std::string::npos) << r.err;

    // Only the owner may: no group to join; the usual fix is named instead.
    for (std::pair<mode_t, gid_t> owner_only : { std::make_pair(0600, 20), std::make_pair(0660, 0) }) {
        Outcome o = serbolt_unprivileged(g.sim.slave, owner_only.first, owner_only.second);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(count_of(o.err, "\n"), 1u) << o.err;
        EXPECT_NE(o.err.find("only the device's owner may open it"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("udev rule"), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("usermod -aG root"), std::string::npos) << o.err;
    }
}

// A candidate that is there but will not open says why, one line on standard error each.
TEST(DeviceSearch, ACandidateThatFailsToOpenSaysWhy)
{
    std::string dir = make_temp_dir("notadevice");
    Outcome r = serbolt_private_dev("-", "-", { "-d", dir });
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Serial device " + dir + " - failed to connect.\n"
                     "Serial device /dev/ttyUSB0 - failed to connect.\n"
                     "Serial device /dev/ttyUSB1 - failed to connect.\n");
    EXPECT_EQ(r.err, "serbolt: " + dir + ": Is a directory\n");
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
