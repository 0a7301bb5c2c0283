// Drives the real korvan-sim binary over its pseudo-terminal, as a host would.
#include "harness.h"
#include "record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

static double now_s() { return (double)now_ns() / 1e9; }

// A running sim and our end of its line: the slave, opened raw as a host opens it. When the test
// is done with it the sim must end cleanly: status 0 on SIGTERM, or by itself.
struct SimRun {
    Sim sim;
    int tty = -1;
    // Started with `extra` (see start()) unless `started` is false; a test cannot go on without
    // it: a failed start has been reported, and an exception then ends the test.
    explicit SimRun(const std::vector<std::string> &extra = {}, bool started = true);
    ~SimRun()
    {
        EXPECT_EQ(sim_stop(sim), 0) << "korvan-sim's exit status";
        close_fd(tty);
    }
};

// Opens the sim's link raw as our end of the line.
static void open_line(SimRun &s)
{
    close_fd(s.tty);
    ASSERT_EQ(s.sim.slave.rfind("/dev/pts/", 0), 0u) << s.sim.slave;
    ASSERT_EQ(fs::read_symlink(s.sim.link).string(), s.sim.slave);
    s.tty = open(s.sim.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(s.tty, 0) << strerror(errno);
    struct termios t;
    ASSERT_EQ(tcgetattr(s.tty, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(s.tty, TCSANOW, &t), 0);
}

// Starts korvan-sim with a private store, record and link, plus `extra`; opens the line.
static void start(SimRun &s, const std::vector<std::string> &extra = {})
{
    close_fd(s.tty);
    ASSERT_TRUE(sim_start(s.sim, extra));
    ASSERT_NO_FATAL_FAILURE(open_line(s));
}

SimRun::SimRun(const std::vector<std::string> &extra, bool started)
{
    if (started && (start(*this, extra), testing::Test::HasFatalFailure())) {
        close_fd(tty);
        throw std::runtime_error("korvan-sim's line did not open");
    }
}

// Writes `sent` on our end, then reads until `needle` has arrived or `timeout_s` passed (needle
// empty: reads for the whole time).
static std::string ask(SimRun &s, const std::string &sent, const std::string &needle, double timeout_s = 15)
{
    write_fd(s.tty, sent);
    return read_until(s.tty, needle, timeout_s);
}

// Waits until the line hangs up under our open slave: poll reports POLLHUP or a read ends.
static bool wait_hangup(SimRun &s, double timeout_s)
{
    return wait_until([&] {
        struct pollfd p = {s.tty, POLLIN, 0};
        char buf[256];
        return poll(&p, 1, 0) == 1 && ((p.revents & POLLHUP) || read(s.tty, buf, sizeof buf) <= 0);
    }, timeout_s);
}

static std::string frame(const std::string &dest, const std::string &payload)
{
    return std::to_string(payload.size()) + "\n" + dest + "\n" + payload;
}

static const std::string READY = "Ko:Ready\r\n";
static const std::string DONE = "Ko:Data received\r\n";
static const std::string INVALID = "Ko:Error invalid path\r\n";

TEST(Upload, StoresEveryByteValueAndEmptyFiles)
{
    SimRun s;
    const std::string data = all_byte_values(64);  // 16 KiB, bytes that a cooked line would mangle
    EXPECT_EQ(ask(s, "filecopy\n", READY), READY);  // first and only thing sent: no echo, no prompt
    EXPECT_EQ(ask(s, frame("sub/dir/all.bin", data), DONE), DONE);
    EXPECT_EQ(read_file(s.sim.store + "/sub/dir/all.bin"), data);

    EXPECT_EQ(ask(s, "filecopy\n" + frame("empty", ""), READY + DONE), READY + DONE);
    ASSERT_TRUE(fs::is_regular_file(s.sim.store + "/empty"));
    EXPECT_EQ(fs::file_size(s.sim.store + "/empty"), 0u);

    // No temporary file left behind; "version" marks the end.
    std::string ls = ask(s, "ls\nversion\n", "Korvan simulator 1.0\r\n");
    EXPECT_TRUE(has(ls, "sub/dir/all.bin 16384\r\n"));
    EXPECT_TRUE(has(ls, "empty 0\r\n"));
    EXPECT_FALSE(has(ls, "tmp"));
}

TEST(Upload, RefusedDestinationsStoreNothing)
{
    SimRun s;
    std::string outside = s.sim.dir + "/outside";
    fs::create_directory(outside);
    fs::create_directory_symlink(outside, s.sim.store + "/evil");
    const std::vector<std::string> bad = {"../x", outside + "/abs", "evil/x", "evil",
                                          "a/../../x", "", std::string("nu\0l", 4)};
    for (const auto &dest : bad) {
        EXPECT_EQ(ask(s, "filecopy\n" + frame(dest, "XXXX"), READY + INVALID), READY + INVALID) << dest;
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(s.sim.dir + "/x"));
    EXPECT_FALSE(fs::exists(s.sim.store + "/a"));
    // The refused payloads were consumed: the line is in step for the next upload.
    EXPECT_EQ(ask(s, "filecopy\n" + frame("good", "data"), READY + DONE), READY + DONE);
    EXPECT_EQ(read_file(s.sim.store + "/good"), "data");
}

TEST(Console, AnswersCommandsAndRejectsBadSizes)
{
    SimRun s;
    EXPECT_EQ(ask(s, "version\r\n\nreboot\nreset\rfoo bar\n", "foo bar\r\n"),
              "Korvan simulator 1.0\r\nRebooting...\r\nResetting...\r\nUnknown command: foo bar\r\n");
    for (const char *size : {"abc", "12x", "16777217", "-1", ""}) {
        std::string sent = std::string("filecopy\n") + size + "\n";
        EXPECT_EQ(ask(s, sent, "bad size\r\n"), READY + "Ko:Error bad size\r\n") << size;
    }
    EXPECT_TRUE(has(ask(s, "help\n", "\r\n"), "filecopy"));
}

// --echo echoes the command and the frame's lines, not the payload; --junk, --ready, --done and
// --eol change the texts; --no-ready stays silent; --no-done stores with no reply, before the
// listing that follows.
TEST(Options, EchoJunkCustomTextsAndSilentReplies)
{
    const std::string upload = "filecopy\n" + frame("f", "abc");
    const struct {
        std::vector<std::string> options;
        std::string sent, until, got;
        double wait_s;
        std::string stored;   // in the store as f
    } runs[] = {
        {{"--echo"}, "filecopy\n" + frame("f", "\r\n\x11"), DONE, "filecopy\n" + READY + "3\nf\n" + DONE, 15, "\r\n\x11"},
        {{"--junk", "j\\x00\\t", "--ready", "R\\\\", "--done", "D", "--eol", "\\n"}, upload, "D\n",
         std::string("j\0\tR\\\nj\0\tD\n", 11), 15, "abc"},
        {{"--no-ready"}, "filecopy\n", "", "", 0.4, ""},
        {{"--no-done"}, upload + "ls\n", "f 3\r\n", READY + "f 3\r\n", 15, "abc"},
    };
    for (const auto &r : runs) {
        SimRun s(r.options);
        EXPECT_EQ(ask(s, r.sent, r.until, r.wait_s), r.got) << r.options[0];
        EXPECT_EQ(read_file(s.sim.store + "/f"), r.stored) << r.options[0];
    }
}

TEST(Options, SinkSwallowsEverythingAndAnswersNothing)
{
    SimRun s({"--sink"});
    // Far more than the pseudo-terminal buffers: it all goes through only if the sim reads it.
    const std::string sent = "version\nfilecopy\n" + frame("f", all_byte_values(4096));
    ASSERT_EQ(write_until_stalled(s.tty, sent, 20), sent.size());
    EXPECT_EQ(ask(s, "", "", 0.4), "");  // no reply, no console answer
    EXPECT_EQ(sim_received(s.sim).size(), sent.size());
    EXPECT_FALSE(fs::exists(s.sim.store + "/f"));
}

TEST(Options, DelayAndGapPaceRepliesAndAnswers)
{
    const struct {
        std::vector<std::string> options;
        std::string command, answer;
    } late[] = {
        {{"--delay-ms", "300"}, "filecopy\n", READY},
        {{"--gap-ms", "30"}, "filecopy\n", READY},  // 9 gaps of 30 ms
        {{"--answer-delay-ms", "300"}, "version\n", "Korvan simulator 1.0\r\n"},  // a console answer
    };
    for (const auto &l : late) {
        SimRun s(l.options);
        double t0 = now_s();
        EXPECT_EQ(ask(s, l.command, l.answer), l.answer) << l.options[0];
        EXPECT_GE(now_s() - t0, 0.25) << l.options[0];
    }
}

TEST(Options, SayAndStreamCutExactly)
{
    SimRun s({"--say", "hello\\r\\n", "--stream", "1000"});
    std::string got = read_until(s.tty, "", 15, 7 + 1000);
    got += ask(s, "", "", 0.3);  // and then nothing more
    ASSERT_EQ(got.size(), 7u + 1000u);
    EXPECT_EQ(got.substr(0, 59), "hello\r\nstream 000001 abcdefghijklmnopqrstuvwxyz0123456789\r\n");
    EXPECT_EQ(got.substr(got.size() - 12), "stream 00002");  // 19 lines of 52 bytes, then 12
    EXPECT_EQ(ask(s, "version\n", "\r\n"), "Korvan simulator 1.0\r\n");  // the console still answers
}

TEST(Record, HoldsEveryReceivedByteInOrderWithTimes)
{
    SimRun s;
    const std::vector<std::string> parts = {"ver", "sion\n", std::string("\0\xff\r", 3), "x\n"};
    uint64_t t0 = now_ns();
    std::string sent;
    for (const auto &p : parts) {
        write_fd(s.tty, p);
        sent += p;
        ASSERT_TRUE(sim_wait_received(s.sim, sent, 10));  // read before the next part goes out
    }
    uint64_t t1 = now_ns();
    std::vector<RecordChunk> chunks;
    ASSERT_TRUE(record_load(s.sim.record.c_str(), chunks));
    std::string joined;
    uint64_t last = t0;
    for (const auto &c : chunks) {
        joined += c.bytes;
        EXPECT_GE(c.t_ns, last);
        last = c.t_ns;
    }
    EXPECT_EQ(joined, sent);
    EXPECT_LE(last, t1);
    EXPECT_GE(chunks.size(), parts.size());  // one read each at least
    EXPECT_FALSE(record_load((s.sim.dir + "/missing").c_str(), chunks));
}

// A hang-up in an upload's payload, or an unplug on the clock, with no replug: the line closes
// under the host, the link goes and the sim ends; the broken upload is not stored.
TEST(Lifecycle, HangupAfterAndUnplugAfterMsCloseTheLineAndEnd)
{
    const struct {
        std::vector<std::string> options;
        std::string sent;
        double min_seconds;
    } ends[] = {
        {{"--hangup-after", "10"}, "filecopy\n" + frame("h", std::string(100, 'q')), 0},
        {{"--unplug-after-ms", "300"}, "", 0.29},
    };
    for (const auto &e : ends) {
        SimRun s({}, false);
        double t0 = now_s();
        ASSERT_NO_FATAL_FAILURE(start(s, e.options));
        write_fd(s.tty, e.sent);
        ASSERT_TRUE(wait_hangup(s, 10)) << e.options[0];
        EXPECT_GE(now_s() - t0, e.min_seconds) << e.options[0];
        EXPECT_EQ(sim_wait_exit(s.sim, 20), 0) << e.options[0];
        EXPECT_FALSE(fs::exists(fs::symlink_status(s.sim.link))) << e.options[0];
        EXPECT_FALSE(fs::exists(s.sim.store + "/h"));
    }
}

TEST(Lifecycle, OnceExitStatusAndSignals)
{
    SimRun s({}, false);
    // The last reply is not lost to the hang-up; a refused upload ends with status 1.
    for (const std::string dest : {"ok", "../no"}) {
        ASSERT_NO_FATAL_FAILURE(start(s, {"--once"}));
        const std::string reply = READY + (dest == "ok" ? DONE : INVALID);
        EXPECT_EQ(ask(s, "filecopy\n" + frame(dest, "1"), reply), reply);
        EXPECT_EQ(sim_wait_exit(s.sim, 20), dest == "ok" ? 0 : 1);
        sim_stop(s.sim);
    }

    ASSERT_NO_FATAL_FAILURE(start(s));
    std::string link = s.sim.link;
    kill(s.sim.proc.pid, SIGINT);
    EXPECT_EQ(sim_wait_exit(s.sim, 20), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    const std::string sim = build_dir() + "/korvan-sim";
    Outcome bad = run_program({sim, "--no-such-option"}, 30);
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "korvan-sim: unknown option: --no-such-option\n");
    EXPECT_EQ(run_program({sim, "--help"}, 30).status, 0);
    Outcome no_value = run_program({sim, "--unplug-after-ms"}, 30);
    EXPECT_EQ(no_value.status, 2);
    EXPECT_EQ(no_value.err, "korvan-sim: option needs a value: --unplug-after-ms\n");
}

TEST(Rate, ModelsTheLineSpeedBothWays)
{
    SimRun s({"--rate", "92160"});
    // The last 64 KiB of a payload are taken at once (what a pty still buffers when the host's
    // drain returns); the 135,936 bytes before them cross at the line's pace, about 1.5 s.
    const std::string upload(200000, 'r');
    ask(s, "filecopy\n", READY);
    double t0 = now_s();
    EXPECT_EQ(ask(s, frame("big", upload), DONE, 20), DONE);
    double took = now_s() - t0;
    EXPECT_GT(took, 1.0);
    EXPECT_LT(took, 30.0);  // only a gross fault: a busy machine may starve the sim
    const std::string data(46080, 'r');

    ASSERT_NO_FATAL_FAILURE(start(s, {"--rate", "92160", "--stream", "46080"}));
    t0 = now_s();
    std::string got = read_until(s.tty, "", 10, data.size());
    took = now_s() - t0;
    EXPECT_EQ(got.size(), data.size());
    EXPECT_GT(took, 0.3);
    EXPECT_LT(took, 15.0);
}

// Waits until the sim has come back on a new terminal, then opens it raw as our line.
static bool reopen_link(SimRun &s, double timeout_s)
{
    // Closed first, as a host does on a hang-up: the new terminal may then get the same number.
    close_fd(s.tty);
    if (!sim_wait_replug(s.sim, timeout_s)) return false;
    open_line(s);
    return s.tty >= 0 && !testing::Test::HasFatalFailure();
}

TEST(Lifecycle, UnplugAfterMsAndReplugGreetWithABanner)
{
    SimRun s({"--unplug-after-ms", "200", "--replug-after-ms", "300"});
    const std::string first = s.sim.slave;
    ASSERT_TRUE(wait_hangup(s, 10));
    double t_gone = now_s();
    ASSERT_TRUE(reopen_link(s, 10)) << "the link comes back to a new terminal";
    EXPECT_NE(s.sim.slave, first) << "under a new name, though the old number was free again";
    EXPECT_GE(now_s() - t_gone, 0.2);
    EXPECT_EQ(ask(s, "", "\r\n"), "Korvan simulator 1.0 booted\r\n");
    EXPECT_EQ(ask(s, "version\n", "\r\n"), "Korvan simulator 1.0\r\n");
    // It unplugs once only: the new line stays up.
    EXPECT_EQ(ask(s, "", "", 0.5), "");
}

TEST(Lifecycle, UnplugOnRebootAnswersThenComesBackWithTheStore)
{
    SimRun s({"--unplug-on-reboot", "--replug-after-ms", "100"});
    EXPECT_EQ(ask(s, "filecopy\n" + frame("fw/app.bin", "firmware"), DONE), READY + DONE);
    EXPECT_EQ(ask(s, "reboot\n", "\r\n"), "Rebooting...\r\n") << "the answer comes before the hang-up";
    ASSERT_TRUE(wait_hangup(s, 10));
    EXPECT_FALSE(fs::exists(fs::symlink_status(s.sim.link)) && fs::read_symlink(s.sim.link) == s.sim.slave);
    ASSERT_TRUE(reopen_link(s, 10));
    EXPECT_EQ(ask(s, "", "\r\n"), "Korvan simulator 1.0 booted\r\n");
    EXPECT_EQ(ask(s, "ls\n", "\r\n"), "fw/app.bin 8\r\n") << "the store is kept";
    EXPECT_EQ(ask(s, "reboot\n", "\r\n"), "Rebooting...\r\n");  // and again: every reboot re-enumerates
    ASSERT_TRUE(wait_hangup(s, 10));
    EXPECT_EQ(sim_stop(s.sim), 0);
    // Without the option a reboot keeps the line.
    ASSERT_NO_FATAL_FAILURE(start(s));
    EXPECT_EQ(ask(s, "reboot\nversion\n", "1.0\r\n"), "Rebooting...\r\nKorvan simulator 1.0\r\n");
}

TEST(Lifecycle, HangupAfterWithReplugComesBack)
{
    SimRun s({"--hangup-after", "10", "--replug-after-ms", "50"});
    write_fd(s.tty, "filecopy\n" + frame("h", std::string(100, 'q')));
    ASSERT_TRUE(wait_hangup(s, 10));
    ASSERT_TRUE(reopen_link(s, 10));
    EXPECT_EQ(ask(s, "", "\r\n"), "Korvan simulator 1.0 booted\r\n");
    EXPECT_FALSE(fs::exists(s.sim.store + "/h")) << "the broken upload is dropped";
    EXPECT_EQ(ask(s, "ls\n", "\r\n"), "(no files)\r\n");  // no temporary file either
}

TEST(Lifecycle, StallAfterStopsReadingAndSigtermReadsThePending)
{
    SimRun s({"--stall-after", "10"});
    // The writer fills the terminal's buffers and then is refused: nothing drains the line
    // (half a second without room: stalled).
    size_t written = write_until_stalled(s.tty, std::string(1u << 20, 's'), 0.5);
    EXPECT_GT(written, 10u);
    EXPECT_LT(written, 1u << 20) << "a stalled device does not take everything";
    EXPECT_EQ(sim_stop(s.sim), 0);
    EXPECT_EQ(sim_received(s.sim).size(), 10u);
}

TEST(Lifecycle, SyncAndSigtermRecordWhatIsStillPending)
{
    SimRun s({}, false);
    // A slow line: the sim reads some 1000 bytes a second, so most of what we write is still
    // pending in the terminal when a sync (SIGUSR1, which sim_received sends) or SIGTERM comes.
    // A sync reads it all at once and the sim serves on; SIGTERM reads it all, then ends.
    ASSERT_NO_FATAL_FAILURE(start(s, {"--rate", "1000", "--silent"}));
    std::string sent;
    for (int i = 0; i < 800; i++) sent += "line " + std::to_string(i) + "\n";
    write_fd(s.tty, sent);
    EXPECT_EQ(sim_received(s.sim), sent);
    EXPECT_TRUE(sim_alive(s.sim));
    write_fd(s.tty, "more\n");
    EXPECT_TRUE(sim_wait_received(s.sim, sent + "more\n", 20));
    write_fd(s.tty, sent);
    EXPECT_EQ(sim_stop(s.sim), 0);
    EXPECT_EQ(sim_received(s.sim), sent + "more\n" + sent);
}
