// serbolt2.exe under Wine: --help and --version, and the warnings about
// command lines that run but do less than their user may think.
#include "wine_common.h"

#include <string>

namespace {

const char kConnected[] = "Serial device COM7 - connected.\n";
const char kTerminal[] = "Entering terminal mode. Press 'x' to exit.\n\nExiting terminal mode.\n";

TEST(WineVersion, HelpAndVersionAsTheOnlyArgument)
{
    Outcome version = serbolt2({"--version"});
    EXPECT_FALSE(version.timed_out);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("serbolt2 ") + SERBOLT_VERSION + "\n");
    EXPECT_EQ(version.err, "");

    Outcome help = serbolt2({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, kUsage) << "the same text as -h";
    EXPECT_EQ(help.out, "") << "no port is opened";

    // Not alone, --version ends the parse like any word with two hyphens: the
    // -h after it is never seen and the terminal runs on COM1, which in the
    // test prefix is no port.
    Outcome late = serbolt2({"--version", "-h"});
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.err, "serbolt2: ignoring '--version' and what follows it\n"
                        "Error setting COM port parameters\n");
    EXPECT_EQ(late.out, "");
}

TEST(WineVersion, WarningsNameWhatIsLeftOutAndTheTerminalRuns)
{
    const struct {
        std::vector<std::string> args;
        std::string err;
    } lines[] = {
        // The parse ends at --help and the terminal runs, as before; now it says so.
        {{"-d", kPort, "--help"}, "serbolt2: ignoring '--help' and what follows it\n"},
        // A port named without -d: COM7 is still opened through -d.
        {{"-d", kPort, "COM3", "-b"}, "serbolt2: ignoring 'COM3' and what follows it\n"},
        {{"-d", kPort, "-", "-a", "1"}, "serbolt2: ignoring '-' and what follows it\n"},
        // A closing "--" leaves nothing out.
        {{"-d", kPort, "--"}, ""},
        // Upload options that an upload alone would use, and a word as well.
        {{"-d", kPort, "-i", "in.bin", "-o", "out.bin", "stray"},
         "serbolt2: ignoring 'stray' and what follows it\n"
         "serbolt2: -i, -o, -b, -r and -t take effect only with -a 1\n"},
    };
    for (const auto &line : lines) {
        std::string label = "args:";
        for (const std::string &a : line.args)
            label += " " + a;
        SCOPED_TRACE(label);
        Device dev;
        ASSERT_TRUE(dev.start());
        Outcome run = serbolt2_keys("x", line.args);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, line.err);
        EXPECT_EQ(run.out, std::string(kConnected) + kTerminal);
        EXPECT_EQ(dev.received(), "");
    }
}

TEST(WineVersion, NoWarningWhenTheOptionsTakeEffect)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    // A refused action says only that.
    Outcome refused = serbolt2({"-d", kPort, "-a", "2", "-t"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Unknown action: 2\n");
    // An upload with -b: nothing on standard error.
    std::string file = make_file(dev.sim.dir, "in.bin", 200);
    Outcome upload = serbolt2({"-d", kPort, "-a", "1", "-i", win_path(file), "-o", "dst/v.bin", "-b"});
    EXPECT_EQ(upload.status, 0) << upload.err;
    EXPECT_EQ(upload.err, "");
    EXPECT_NE(upload.out.find("Reboot sent..."), std::string::npos) << upload.out;
}

}  // namespace
