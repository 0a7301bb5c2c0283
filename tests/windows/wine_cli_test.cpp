// serbolt2.exe under Wine: the command line and every early end of the run.
#include "wine_common.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace {

// The line's speed in baud as the kernel keeps it (TCGETS2), however it was set: Wine 8 sets
// B921600, Wine 10 (Debian 13) the number itself (BOTHER), which cfgetospeed does not report. The
// kernel's struct termios2 (from <asm/termbits.h>, which cannot be included beside <termios.h>).
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

speed_t line_baud(int fd)
{
    KernelTermios2 t;
    return ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t) == 0 ? t.c_ospeed : 0;
}

struct Case {
    std::vector<std::string> args;
    int status;
    std::string meant = "";  // a Windows switch: the option it is taken for
};

TEST(WineCli, UsageEndsTheRunBeforeThePortIsOpened)
{
    Device dev;
    // A bare command line has no -d COM7, but it ends before any port is touched.
    const Case cases[] = {
        {{}, 1},
        // Windows' switch syntax would leave the options unread and the
        // terminal opening COM1 (which can reset the board behind it).
        {{"/d", kPort}, 1, "-d"},
        {{"/H"}, 1, "-h"},
        {{"/help"}, 1, "--help"},
        {{"/Version"}, 1, "--version"},
        {{"-d", kPort, "/t", "-b"}, 1, "-t"},
        {{"-d", kPort, "-h"}, 0},
        {{"-d", kPort, "-h", "-x"}, 0},   // nothing after -h is looked at
        {{"-d", kPort, "-x"}, 1},         // unknown letter: the usage text and nothing else
        {{"-d", kPort, "-x", "-h"}, 1},
        {{"-d", kPort, "-a"}, 1},         // missing argument
        {{"-d", kPort, "-ri"}, 1},
        {{"-d", kPort, "-a", "1", "-i"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Outcome run = serbolt2(c.args);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, (c.meant.empty() ? "" : "serbolt2: options start with '-': " + c.meant + "\n") + kUsage);
        EXPECT_EQ(run.out, "");   // no connected line: the port was never opened
    }
    EXPECT_EQ(dev.received(), "");
}

// Runs that end before anything is shown on standard output: help asked for
// with /? or --help, and ports that cannot be opened or set up.
TEST(WineCli, HelpAndPortsThatCannotBeOpened)
{
    // Not a COM name, so Wine has no /dev/ttyS fallback for it either; in
    // Cyrillic letters, which both lines give as they were typed.
    const std::string missing = "\\\\.\\\xD0\x9A\xD0\x9E\xD0\xA0\xD0\x92\xD0\x90\xD0\x9D" "9";  // \\.\КОРВАН9
    // A name longer than the 255-character conversion buffer: refused, and
    // the message names it in full.
    const std::string longName = std::string(kPort) + std::string(300, 'A');
    const char kCom1[] = "Error setting COM port parameters\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;    // all of standard error, or the lines in front of the reason
        std::string name;   // the name the system's reason is given for, if any
    } cases[] = {
        {{"/?"}, 0, kHelp, ""},
        {{"--help"}, 0, kHelp, ""},   // the text of -h, with the synopsis and the long options
        // Only as the one argument: elsewhere /?, --help and --version are plain words that end
        // the options (a later -h is never seen), and the terminal goes to the default port.
        // COM1 leads in the test prefix to a file that is not a port: it opens, but takes no
        // line settings, and the system says why.
        {{"/?", "-h"}, 1, "serbolt2: ignoring '/?' and what follows it\n" + std::string(kCom1), "COM1"},
        {{"--version", "-h"}, 1, "serbolt2: ignoring '--version' and what follows it\n" + std::string(kCom1),
         "COM1"},
        {{"-t"}, 1, "serbolt2: -i, -o, -b, -r and -t take effect only with -a 1\n" + std::string(kCom1),
         "COM1"},
        {{"-d", missing, "-a", "1"}, 1, "Error opening COM port: " + missing + "\n", missing},
        {{"-d", longName}, 1,
         "Error opening COM port: " + longName + "\nserbolt2: " + longName +
             ": the name is longer than 255 characters\n",
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back().substr(0, 20));
        Outcome run = serbolt2(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(c.name.empty() ? run.err == c.err : reason_after(run.err, c.err, c.name) != "")
            << run.err;
        EXPECT_EQ(run.out, "");
    }
    Outcome version = serbolt2({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("serbolt2 ") + SERBOLT_VERSION + "\n");
    EXPECT_EQ(version.err, "");
}

TEST(WineCli, ActionAndFilesCheckedAfterTheOpen)
{
    Device dev;
    struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"-d", kPort, "-a", "2", "-b"}, "Unknown action: 2\n"},   // and nothing about -b
        {{"-d", kPort, "-a", "2", "-t"}, "Unknown action: 2\n"},
        {{"-d", kPort, "-a", "x"}, "Unknown action: 0\n"},
        {{"-a", "-7", "-d", kPort}, "Unknown action: -7\n"},
        {{"-d", kPort, "-a", "99999999999"}, "Unknown action: 2147483647\n"},   // clamped, not undefined
        {{"-d", kPort, "-a", "1", "-i", "in.bin", "-b", "-r"},
         "Both FILE_IN and FILE_OUT must be specified!\n"},
        {{"-d", kPort, "-a1", "-o", "dst/x"}, "Both FILE_IN and FILE_OUT must be specified!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        Outcome run = serbolt2(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, connected());
        EXPECT_EQ(run.err, c.err);
    }
    // Nothing went to the device, and every run closed the port for the next.
    EXPECT_EQ(dev.received(), "");
}

// The line as serbolt2 leaves it: 921600 baud, 8N1, raw, no flow control of any kind, and distinct
// start and stop characters (Wine gives the pty the XON and XOFF characters of the port's settings;
// Windows refuses equal ones). COM12:, named without \\.\ and with the colon that `mode` shows,
// opens like COM7 (the test prefix maps both to the sim).
TEST(WineCli, LineSettingsThatWindowsAccepts)
{
    Device dev;
    Outcome run = serbolt2({"-d", "COM12:"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Serial device COM12: - connected.\n"
                       "Entering terminal mode. Press 'x' to exit.\n\nExiting terminal mode.\n");

    // The settings stay on the terminal after the program has closed it.
    int fd = open(dev.sim.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << dev.sim.slave;
    struct termios line;
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    speed_t baud = line_baud(fd);
    close(fd);
    EXPECT_EQ(baud, 921600u);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_NE(line.c_cc[VSTART], line.c_cc[VSTOP]);
}

}  // namespace
