// serbolt2.exe under Wine: the upload exchange with korvan-sim, byte for byte.
#include "wine_common.h"

#include <regex>
#include <sstream>
#include <thread>
#include <string>

namespace {

const size_t kBufferSize = 10485760;
const char kFilecopy[] = "filecopy\n";

TEST(WineUpload, FrameByteForByteThenRebootAndReset)
{
    Device dev;
    std::string file = make_file(dev.sim.dir, "in.bin", 1000);
    std::string payload = read_file(file);

    Outcome run = serbolt2(upload_args(file, "dst/frame.bin", {"-r", "-b"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, connected() +
                       "File size: 1000 bytes\n"
                       "Ko:Ready\n"
                       "\r\nKo:Data received\n"   // the line end after Ko:Ready waited in the queue
                       "Data sent successfully.\n"
                       "Reboot sent...\n"
                       "Reset sent...\n");

    std::string expected = std::string(kFilecopy) + "1000\ndst/frame.bin\n" + payload + "reboot\nreset\n";
    std::string got = dev.received();  // and nothing more
    EXPECT_TRUE(got == expected) << "received " << got.size() << " bytes, expected " << expected.size();
    EXPECT_EQ(read_file(dev.sim.store + "/dst/frame.bin"), payload);
}

// One write as Wine's own trace of the program shows it: the program's clock
// in milliseconds, the handle, the byte count.
struct Write {
    double ms;
    std::string handle;
    unsigned long count;
};

// The NtWriteFile calls in a Wine trace (WINEDEBUG=+timestamp,trace+file).
std::vector<Write> traced_writes(const std::string &trace)
{
    // The line's clock, then the handle and the count: the first and the seventh argument.
    static const std::regex call(R"(^([0-9.]+):.*:trace:file:NtWriteFile \(([^,]*),(?:[^,]*,){5}([^,]*),)");
    std::vector<Write> writes;
    std::istringstream lines(trace);
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_search(line, m, call))
            writes.push_back({std::stod(m[1]) * 1000, m[2], std::stoul(m[3], nullptr, 16)});
    return writes;
}

// The pacing is checked in the program's own record of its writes, which no
// busy machine can bunch: "filecopy\n" is nine one-byte writes with a pause
// behind each; "reboot\n" and "reset\n" are one write each.
TEST(WineUpload, CommandPacedByteByByteOtherWritesWhole)
{
    Device dev;
    std::string file = make_file(dev.sim.dir, "in.bin", 1000);
    Outcome run = serbolt2_input(upload_args(file, "dst/p.bin", {"-b", "-r"}), "", 30, "+timestamp,trace+file");
    EXPECT_EQ(run.status, 0);
    std::vector<Write> writes = traced_writes(run.err);
    size_t first = 0;
    while (first < writes.size() && writes[first].count != 1)
        first++;
    ASSERT_LE(first + 9, writes.size()) << "no one-byte writes in the trace";
    const std::string port = writes[first].handle;
    for (size_t i = first; i < first + 9; i++) {
        EXPECT_EQ(writes[i].handle, port);
        EXPECT_EQ(writes[i].count, 1u) << "write " << i - first << " of the command";
    }
    // Eight pauses of 1 ms lie between the first and the last byte; the trace
    // has whole milliseconds, so half of that is asserted.
    EXPECT_GE(writes[first + 8].ms - writes[first].ms, 4.0);
    // After the command: the size line, the destination, its line feed, the
    // payload in writes of 256 bytes at most (a stalled line is noticed within
    // seconds), then the two commands, each one write on the port.
    std::vector<unsigned long> rest;
    for (size_t i = first + 9; i < writes.size(); i++)
        if (writes[i].handle == port)
            rest.push_back(writes[i].count);
    EXPECT_EQ(rest, (std::vector<unsigned long>{5, 9, 1, 256, 256, 256, 232, 7, 6}));
    EXPECT_EQ(dev.received(), std::string(kFilecopy) + "1000\ndst/p.bin\n" + read_file(file) +
                                              "reboot\nreset\n");
}

TEST(WineUpload, ReplyFoundAnywhereInTheFirst255Characters)
{
    const struct {
        std::vector<std::string> sim;
        std::string shown;  // part of the Ready wait's success line
    } devices[] = {
        {{"--echo"}, "filecopy\nKo:Ready\n"},           // the command echoed in front
        {{"--junk", "Korvan> "}, "Korvan> Ko:Ready\n"},  // a prompt in front of every reply
        {{"--gap-ms", "30"}, "Ko:Ready\n"},              // replies in pieces
        // A zero byte in front, as an adapter may give when it opens: noise.
        {{"--ready", "\\x00Ko:Ready"}, std::string("\0Ko:Ready\n", 10)},
        // The reply's last character is the 255th of the wait.
        {{"--ready", std::string(247, '.') + "Ko:Ready"}, "....Ko:Ready\n"},
    };
    for (const auto &d : devices) {
        SCOPED_TRACE(d.sim.back().substr(0, 20));
        Device dev(d.sim);
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b"}));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");   // -b with an upload: no warning
        EXPECT_TRUE(has(run.out, d.shown));
        EXPECT_TRUE(has(run.out, "Data sent successfully.\nReboot sent...\n"));
        EXPECT_EQ(read_file(dev.sim.store + "/dst/x.bin"), read_file(file));
    }
}

TEST(WineUpload, FailedWaitsSendNothingMore)
{
    const struct {
        std::vector<std::string> sim;
        std::string err;
        bool frameSent;  // the Data received wait failed: the frame went out in full
    } cases[] = {
        // 256 characters without the reply complete: the Ready wait overflows; what came
        // instead of the reply is shown, its first 255 characters.
        {{"--ready", std::string(248, '.') + "Ko:Ready"},
         "Buffer overflow while waiting for string\nserbolt2: the device answered: '" + std::string(248, '.') +
             "Ko:Read'\n",
         false},
        // A device that never answers: the Ready wait gives up after 2 s.
        {{"--silent"}, "Timeout waiting for string 'Ko:Ready'\n", false},
        // The Data received wait overflows; the line end after Ko:Ready began it and is left out.
        {{"--done", std::string(255, '.')},
         "Buffer overflow while waiting for string\nserbolt2: the device answered: '" + std::string(253, '.') +
             "'\n",
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sim[0]);
        Device dev(c.sim);
        std::string file = make_file(dev.sim.dir, "in.bin", 100);
        // No reboot, no reset, no terminal after a failed wait.
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b", "-r", "-t"}));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_GE(run.seconds, c.sim[0] == "--silent" ? 2.0 : 0.0);
        EXPECT_LT(run.seconds, 15.0);
        EXPECT_EQ(dev.received(), kFilecopy + (c.frameSent ? "100\ndst/x.bin\n" + read_file(file) : ""));
        EXPECT_TRUE(c.frameSent || run.out == connected() + "File size: 100 bytes\n") << run.out;
    }
}

// Files and destinations refused before anything is sent: the fixed line,
// and the system's reason on a line of its own where there is one.
TEST(WineUpload, FilesRefusedBeforeAnythingIsSent)
{
    Device dev;
    const std::string file = win_path(make_file(dev.sim.dir, "in.bin", 10));
    const std::string empty = win_path(make_file(dev.sim.dir, "empty.bin", 0));
    // One byte more than the upload buffer holds: refused, not cut short.
    const std::string big = win_path(make_file(dev.sim.dir, "big.bin", kBufferSize + 1));
    const std::string missing = win_path(dev.sim.dir + "/missing.bin"), folder = win_path(dev.sim.dir);
    const std::string cyrillic = win_path(dev.sim.dir + "/\xD0\xBD\xD0\xB5\xD1\x82.bin");  // нет.bin
    const char kEmpty[] = "Error reading file or file is empty\n";
    const struct {
        std::string in, dst;
        std::string err;  // all of standard error, or the line in front of the reason
        bool reason;
    } cases[] = {
        {empty, "dst/e.bin", kEmpty, false},
        {missing, "dst/m.bin", "Error opening file: " + missing + "\n", true},
        {folder, "dst/m.bin", "Error opening file: " + folder + "\n", true},
        {"", "dst/m.bin", "Error opening file: \n", true},  // an empty FILE_IN counts as given
        {"Z:\\proc\\self\\mem", "dst/m.bin", kEmpty, true},   // a read that fails
        // A line feed in the destination would end the destination line early.
        {file, "dst/a\nb.bin", "Invalid destination path\n", false},
        {file, "dst/" + std::string(4093, 'p'),
         "Invalid destination path\nserbolt2: the destination is longer than 4096 bytes\n", false},
        {cyrillic, "dst/m.bin", "Error opening file: " + cyrillic + "\n", true},   // named as given
        {big, "dst/big.bin", "File too large (more than 10485760 bytes): " + big + "\n", false},
    };
    std::vector<std::string> reasons;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in.substr(0, 40) + " " + c.dst.substr(0, 20));
        Outcome run = serbolt2({"-d", kPort, "-a", "1", "-i", c.in, "-o", c.dst, "-b", "-r", "-t"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, connected());
        if (c.reason)
            reasons.push_back(reason_after(run.err, c.err, c.in));
        EXPECT_TRUE(c.reason ? reasons.back() != "" : run.err == c.err) << run.err;
    }
    // Not found, not a file, and a read that failed: each says so in its own words.
    EXPECT_NE(reasons[0], reasons[1]);
    EXPECT_NE(reasons[0], reasons[3]);
    EXPECT_EQ(dev.received(), "");
}

// A line that does not take the payload ends the upload with the system's reason: one
// that fails (hung up) at once, not 20 s later with a time-out; one that stops reading once
// nothing has gone out for 10 s, not after the 41 s that one write of 4096 bytes could take.
TEST(WineUpload, LineThatTakesNoMoreEndsTheUpload)
{
    const struct {
        std::vector<std::string> sim;
        size_t size;
        double least, most;  // seconds
    } cases[] = {
        {{"--hangup-after", "1000"}, 2000000, 0, 15},
        {{"--stall-after", "1000"}, 1000000, 10, 35},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sim[0]);
        Device dev(c.sim);
        std::string file = make_file(dev.sim.dir, "in.bin", c.size);
        Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b", "-r", "-t"}), 90);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 1);
        const std::string head = "Error writing to COM port: ";
        EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
        EXPECT_GT(run.err.size(), head.size() + 1) << "no reason given";
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_GE(run.seconds, c.least);
        EXPECT_LT(run.seconds, c.most);
        EXPECT_FALSE(has(run.out, "Reboot sent"));
    }
}

// A port that fails while a reply is awaited ends the wait at once with the
// reason, not with a time-out.
TEST(WineUpload, PortLostDuringAReplyWait)
{
    Device dev({"--no-ready"});
    std::string file = make_file(dev.sim.dir, "in.bin", 100);
    std::thread unplug([&dev] {
        if (dev.wait_for(kFilecopy))
            dev.unplug();
    });
    Outcome run = serbolt2(upload_args(file, "dst/x.bin", {"-b"}));
    unplug.join();
    EXPECT_EQ(run.status, 1);
    const std::string head = "Error reading from COM port: ";
    EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_EQ(run.out, connected() + "File size: 100 bytes\n");
}

// A device that refuses the upload with a line of its own: the wait runs its
// course, and then what the device said is shown.
TEST(WineUpload, RefusalIsShown)
{
    Device dev;
    std::string file = make_file(dev.sim.dir, "in.bin", 100);
    Outcome run = serbolt2(upload_args(file, "../outside.bin", {"-b"}), 60);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Timeout waiting for string 'Ko:Data received'\n"
                       "serbolt2: the device answered: 'Ko:Error invalid path'\n");
    EXPECT_EQ(run.out, connected() + "File size: 100 bytes\nKo:Ready\n");
    EXPECT_EQ(dev.received(), std::string(kFilecopy) + "100\n../outside.bin\n" + read_file(file));
}

// Names in any script: a Cyrillic FILE_IN is read, a destination in CJK
// letters reaches the device as UTF-8 (as serbolt sends it). (A name in a
// message comes out as it was given: FilesRefusedBeforeAnythingIsSent.)
TEST(WineUpload, NamesInAnyScript)
{
    Device dev;
    std::string file = make_file(dev.sim.dir, "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.bin", 300);  // файл.bin
    const std::string dst = "fw/\xE6\x97\xA5\xE6\x9C\xAC.bin";                                // fw/日本.bin
    Outcome run = serbolt2(upload_args(file, dst));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dev.received(), std::string(kFilecopy) + "300\n" + dst + "\n" + read_file(file));
    EXPECT_EQ(read_file(dev.sim.store + "/" + dst), read_file(file));
}

// Progress while the payload goes out: on a console only, redrawn in place and
// gone at the end; never in a pipe.
TEST(WineUpload, ProgressOnAConsoleOnly)
{
    const size_t size = 300000;  // more than 3 s at the real line rate
    // Left alone the upload ends well; Ctrl-C while the line shows ends it
    // with the line wiped out, nothing stored and a status that is no success.
    for (const std::string keys : {"", "{?s left}{^C}"}) {
        SCOPED_TRACE(keys);
        const bool interrupted = !keys.empty();
        Device dev({"--rate", "92160"});
        std::string file = make_file(dev.sim.dir, "in.bin", size);
        // The line as first seen with its time left, its last part.
        Outcome run = serbolt2_keys(keys, upload_args(file, "dst/c.bin"), 60, {"-screen", " s left"});
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, interrupted ? kInterruptedStatus : 0) << run.out;
        const std::string saw = "keys: saw ";
        size_t end = run.out.compare(0, saw.size(), saw) == 0 ? run.out.find('\n') : 0;
        ASSERT_TRUE(end > 0 || interrupted) << run.out;
        std::string line = run.out.substr(saw.size(), end - saw.size());
        EXPECT_TRUE(end == 0 || std::regex_match(line, std::regex("[0-9]+ of 300000 bytes \\([0-9]+%\\), "
                                                                  "[0-9.]+ KiB/s, [0-9]+ s left")))
            << line;
        std::string screen = run.out.substr(end + 1);
        EXPECT_EQ(screen.find("Data sent successfully.\n") == std::string::npos, interrupted) << screen;
        EXPECT_FALSE(has(screen, " bytes (")) << "not erased: " << screen;
        EXPECT_EQ(read_file(dev.sim.store + "/dst/c.bin") == read_file(file), !interrupted);
    }
}

// Uploads with standard output in a pipe: no progress line on standard error (not even over
// more than 3 s at the real line rate), and a file that fills the upload buffer is sent whole.
TEST(WineUpload, InAPipeWithoutProgressAndAFullBuffer)
{
    const struct {
        std::vector<std::string> sim;
        size_t size;
    } cases[] = {{{"--rate", "92160"}, 300000}, {{}, kBufferSize}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        Device dev(c.sim);
        std::string file = make_file(dev.sim.dir, "in.bin", c.size);
        Outcome run = serbolt2(upload_args(file, "dst/p.bin"), 90);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(has(run.out, "File size: " + std::to_string(c.size) + " bytes\n"));
        EXPECT_TRUE(has(run.out, "Data sent successfully.\n"));
        EXPECT_TRUE(read_file(dev.sim.store + "/dst/p.bin") == read_file(file));
    }
}

}  // namespace
