// serbolt2.exe under Wine: the console terminal, with keys typed into the
// program's own console by the serbolt2_keys helper.
#include "wine_common.h"

#include <cstring>
#include <string>

namespace {

const char kConnected[] = "Serial device COM7 - connected.\n";
const char kEntering[] = "Entering terminal mode. Press 'x' to exit.\n";
const char kExiting[] = "\nExiting terminal mode.\n";

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(WineTerminal, KeysGoToTheDeviceAndItsBytesToTheScreen)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    // A command and Enter; the device's answer; a capital X; then x to leave.
    Outcome run = serbolt2_keys("version\\r{500}X{300}x", {"-d", kPort});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Enter goes out as a line feed; the x that ends the terminal is not sent.
    EXPECT_EQ(dev.received(10, 0.5), "version\nX");
    // Keys echoed, the device's bytes as they came (its "\r" stays). The X
    // belongs after the answer, but on a slow machine it may land inside it.
    std::string head = std::string(kConnected) + kEntering + "version\n";
    ASSERT_EQ(run.out.compare(0, head.size(), head), 0) << run.out;
    ASSERT_TRUE(ends_with(run.out, kExiting)) << run.out;
    std::string shown = run.out.substr(head.size(), run.out.size() - head.size() - strlen(kExiting));
    size_t x = shown.find('X');
    ASSERT_NE(x, std::string::npos) << run.out;
    EXPECT_EQ(shown.erase(x, 1), "Korvan simulator 1.0\r\n");
}

TEST(WineTerminal, TerminalActionWhateverElseTheCommandLineSays)
{
    const char kUploadOptions[] = "serbolt2: -i, -o, -b, -r and -t take effect only with -a 1\n";
    const struct {
        std::vector<std::string> args;
        std::string err;   // the run is the same; standard error says what was left out
    } lines[] = {
        {{"-d", kPort, "-t"}, kUploadOptions},  // -t alone: the terminal once, no "Staying" line
        // options after a plain word are not looked at
        {{"-d", kPort, "stray", "-a", "1"}, "serbolt2: ignoring 'stray' and what follows it\n"},
        {{"-d", kPort, "-a", "-1", "-b"}, kUploadOptions},
    };
    for (const auto &line : lines) {
        const std::vector<std::string> &args = line.args;
        SCOPED_TRACE(args[2]);
        Device dev;
        // Bytes waiting before the open are purged with the port's buffers.
        ASSERT_TRUE(dev.start({"--say", "stale\\r\\n"}));
        Outcome run = serbolt2_keys("x", args);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, std::string(kConnected) + kEntering + kExiting);
        EXPECT_EQ(run.err, line.err);
        EXPECT_EQ(dev.received(), "");
    }
}

TEST(WineTerminal, AfterUploadRebootResetThenTerminal)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    std::string file = make_file(dev.sim.dir, "in.bin", 300);
    // Options in the reverse order of what they do; keys typed early wait in the console.
    Outcome run = serbolt2_keys("q\\r{300}x", {"-d", kPort, "-t", "-r", "-b", "-a", "1", "-i",
                                            win_path(file), "-o", "dst/t.bin"});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Data sent successfully.\n"
                           "Reboot sent...\n"
                           "Reset sent...\n"
                           "Staying in terminal mode...\n" +
                           std::string(kEntering)),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(ends_with(run.out, kExiting)) << run.out;
    std::string expected = "filecopy\n300\ndst/t.bin\n" + read_file(file) + "reboot\nreset\nq\n";
    std::string got = dev.received(expected.size() + 1, 0.5);  // and nothing more
    EXPECT_TRUE(got == expected) << got.size() << " bytes: " << got.substr(got.size() > 40 ? got.size() - 40 : 0);
}

}  // namespace
