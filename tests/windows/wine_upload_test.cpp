// serbolt2.exe under Wine: the upload exchange with korvan-sim, byte for byte.
#include "wine_common.h"

#include <string>

namespace {

const size_t kBufferSize = 10485760;
const char kFilecopy[] = "filecopy\n";

std::vector<std::string> upload_args(const std::string &file, const std::string &dst,
                                     const std::vector<std::string> &more = {})
{
    std::vector<std::string> args = {"-d", kPort, "-a", "1", "-i", win_path(file), "-o", dst};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(WineUpload, FrameByteForByteThenRebootAndReset)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    std::string file = make_file(dev.sim.dir, "in.bin", 1000);
    std::string payload = read_file(file);

    Outcome run = serbolt2(upload_args(file, "dst/frame.bin", {"-r", "-b"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Serial device COM7 - connected.\n"
                       "File size: 1000 bytes\n"
                       "Ko:Ready\n"
                       "\r\nKo:Data received\n"   // the line end after Ko:Ready waited in the queue
                       "Data sent successfully.\n"
                       "Reboot sent...\n"
                       "Reset sent...\n");

    std::string expected = std::string(kFilecopy) + "1000\ndst/frame.bin\n" + payload + "reboot\nreset\n";
    std::string got = dev.received(expected.size() + 1, 0.5);  // and nothing more
    EXPECT_TRUE(got == expected) << "received " << got.size() << " bytes, expected " << expected.size();
    EXPECT_EQ(read_file(dev.sim.store + "/dst/frame.bin"), payload);

    // The command goes out one byte per millisecond (or slower): nine writes,
    // eight pauses between the first and the last byte.
    std::vector<Chunk> chunks = sim_chunks(dev.sim);
    uint64_t first = sim_byte_time(chunks, 0), last = sim_byte_time(chunks, 8);
    EXPECT_GE(last - first, 8 * 1000000ull * 9 / 10);
    // The two commands are not paced: each is one write, so it arrives whole.
    bool rebootWhole = false, resetWhole = false;
    for (const Chunk &c : chunks) {
        rebootWhole |= c.bytes.find("reboot\n") != std::string::npos;
        resetWhole |= c.bytes.find("reset\n") != std::string::npos;
    }
    EXPECT_TRUE(rebootWhole && resetWhole);
}

TEST(WineUpload, ReplyFoundAnywhereInTheFirst255Characters)
{
    const struct {
        std::vector<std::string> sim;
        const char *shown;  // part of the Ready wait's success line
    } devices[] = {
        {{"--echo"}, "filecopy\nKo:Ready\n"},           // the command echoed in front
        {{"--junk", "Korvan> "}, "Korvan> Ko:Ready\n"},  // a prompt in front of every reply
        {{"--gap-ms", "30"}, "Ko:Ready\n"},              // replies in pieces
        // The reply's last character is the 255th of the wait.
        {{"--ready", std::string(247, '.') + "Ko:Ready"}, "....Ko:Ready\n"},
    };
    for (const auto &d : devices) {
        SCOPED_TRACE(d.sim[0]);
        Device dev;
        ASSERT_TRUE(dev.start(d.sim));
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b"}));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(d.shown), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Data sent successfully.\nReboot sent...\n"), std::string::npos);
        EXPECT_EQ(read_file(dev.sim.store + "/dst/x.bin"), read_file(file));
    }
}

TEST(WineUpload, FailedWaitsSendNothingMore)
{
    // 256 characters without the reply complete: the Ready wait overflows.
    {
        Device dev;
        ASSERT_TRUE(dev.start({"--ready", std::string(248, '.') + "Ko:Ready"}));
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b", "-r", "-t"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Buffer overflow while waiting for string\n");
        EXPECT_EQ(run.out, "Serial device COM7 - connected.\nFile size: 100 bytes\n");
        EXPECT_EQ(dev.received(), kFilecopy);
    }
    // A device that never answers: the Ready wait gives up after 2 s; no
    // reboot, no reset, no terminal.
    {
        Device dev;
        ASSERT_TRUE(dev.start({"--silent"}));
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b", "-r", "-t"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Timeout waiting for string 'Ko:Ready'\n");
        EXPECT_EQ(run.out, "Serial device COM7 - connected.\nFile size: 100 bytes\n");
        EXPECT_GE(run.seconds, 2.0);
        EXPECT_LT(run.seconds, 15.0);
        EXPECT_EQ(dev.received(), kFilecopy);
    }
    // The Data received wait overflows: the frame went out in full, the
    // commands asked for do not follow.
    {
        Device dev;
        ASSERT_TRUE(dev.start({"--done", std::string(255, '.')}));
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b", "-r"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Buffer overflow while waiting for string\n");
        std::string frame = std::string(kFilecopy) + "100\ndst/x.bin\n" + read_file(file);
        EXPECT_EQ(dev.received(frame.size() + 1, 1), frame);
    }
}

TEST(WineUpload, FilesRefusedBeforeAnythingIsSent)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    const std::string connected = "Serial device COM7 - connected.\n";

    std::string empty = make_file(dev.sim.dir, "empty.bin", 0);
    Outcome run = serbolt2(upload_args(empty, "dst/e.bin", {"-b"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error reading file or file is empty\n");
    EXPECT_EQ(run.out, connected);

    std::string missing = win_path(dev.sim.dir + "/missing.bin");
    run = serbolt2({"-d", kPort, "-a", "1", "-i", missing, "-o", "dst/m.bin", "-b", "-r", "-t"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error opening file: " + missing + "\n");
    EXPECT_EQ(run.out, connected);

    // An empty FILE_IN counts as given; it cannot be opened.
    run = serbolt2({"-d", kPort, "-a", "1", "-i", "", "-o", "dst/m.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error opening file: \n");

    // A line feed in the destination would end the destination line early.
    std::string file = make_file(dev.sim.dir, "in.bin", 10);
    run = serbolt2(upload_args(file, "dst/a\nb.bin", {"-b"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Invalid destination path\n");
    EXPECT_EQ(run.out, connected);

    // One byte more than the upload buffer holds: refused, not cut short.
    std::string big = make_file(dev.sim.dir, "big.bin", kBufferSize + 1);
    run = serbolt2(upload_args(big, "dst/big.bin", {"-b"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "File too large (more than 10485760 bytes): " + win_path(big) + "\n");
    EXPECT_EQ(run.out, connected);

    EXPECT_EQ(dev.received(), "");
}

TEST(WineUpload, FileThatFillsTheBufferIsSentWhole)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    std::string file = make_file(dev.sim.dir, "full.bin", kBufferSize);
    Outcome run = serbolt2(upload_args(file, "dst/full.bin"), 90);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("File size: 10485760 bytes\n"), std::string::npos);
    EXPECT_NE(run.out.find("Data sent successfully.\n"), std::string::npos);
    EXPECT_TRUE(read_file(dev.sim.store + "/dst/full.bin") == read_file(file));
}

}  // namespace
