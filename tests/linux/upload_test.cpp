// serbolt's upload exchange against the simulated device: bytes on the wire, transcripts,
// failures and exit statuses.
#include "common.h"

#include <algorithm>

// Commands go out one byte per millisecond. What the sim reads can only bunch up, never spread
// out, when the machine is busy, so a span shorter than the pacing allows is retried a few
// times before it counts as a fault: an unpaced host fails every attempt.
TEST(Upload, CommandsArePacedOneBytePerMillisecond)
{
    std::string file = make_file(make_temp_dir("pace"), "f", 10);
    uint64_t best_filecopy = 0, best_commands = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        SimGuard g;
        Outcome r = upload(g.sim, file, "f", { "-b", "-r" });
        ASSERT_EQ(r.status, 0) << r.out;
        std::vector<Chunk> chunks = sim_chunks(g.sim);
        ASSERT_EQ(sim_received(g.sim), "filecopy\n10\nf\n" + read_file(file) + "reboot\nreset\n");
        size_t reboot_at = 9 + 3 + 2 + 10;
        uint64_t filecopy = sim_byte_time(chunks, 8) - sim_byte_time(chunks, 0);
        uint64_t commands = sim_byte_time(chunks, reboot_at + 12) - sim_byte_time(chunks, reboot_at);
        best_filecopy = std::max(best_filecopy, filecopy);
        best_commands = std::max(best_commands, commands);
        if (best_filecopy >= 8u * 900000u && best_commands >= 12u * 900000u)
            break;
    }
    EXPECT_GE(best_filecopy, 8u * 900000u) << "filecopy not paced";
    EXPECT_GE(best_commands, 12u * 900000u) << "reboot/reset not paced";
}

// What cannot be sent fails before anything of the upload goes out; the run goes on after the
// failure (-b, -r), but ends with status 1.
TEST(Upload, FilesThatCannotBeSentFailBeforeAnythingIsSent)
{
    std::string dir = make_temp_dir("bad");
    std::string file = make_file(dir, "ok", 5);
    std::string too_big = make_file(dir, "too-big", 10485759);
    const struct {
        std::string file, dest;
        std::vector<std::string> extra;
        std::string out, err, wire;   // after the connected line; on the line
    } refused[] = {
        { dir + "/missing", "x", { "-b", "-r" }, "ERROR: unable to open file..\n\nReboot sent...\nReset sent...\n",
          "serbolt: " + dir + "/missing: No such file or directory\n", "reboot\nreset\n" },
        { dir, "x", {}, "ERROR: unable to read file..\n\n", "serbolt: " + dir + ": Is a directory\n", "" },
        { file, "a\nb", {}, "ERROR: invalid destination path..\n\n", "", "" },
        { file, std::string(4097, 'p'), {}, "ERROR: invalid destination path..\n\n", "", "" },
        // No line end of its own: the display's closing newline ends that line.
        { too_big, "too-big.bin", { "-b" }, "error: File to large!\nReboot sent...\n", "", "reboot\n" },
    };
    for (const auto &c : refused) {
        SimGuard g;
        Outcome r = upload(g.sim, c.file, c.dest, c.extra);
        EXPECT_EQ(r.status, 1) << c.file << " to " << c.dest.substr(0, 20);
        EXPECT_EQ(r.out, connected(g.sim) + c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(sim_received(g.sim), c.wire) << "nothing of the upload may be sent";
    }
    // The longest accepted path goes on the wire whole.
    SimGuard g;
    std::string longest(4096, 'q');
    upload(g.sim, file, longest);
    EXPECT_EQ(sim_received(g.sim), "filecopy\n5\n" + longest + "\n" + read_file(file));
}

// The reply to "filecopy" must come first and whole, within 2 s and with no gap longer than a
// character window; anything else fails the upload with the reply's message, and no upload
// frame follows (a reboot asked for still goes out).
TEST(Upload, ReadyReplyMustComeFirstAndWhole)
{
    std::string file = make_file(make_temp_dir("ready"), "f", 10);
    const struct {
        std::vector<std::string> sim, extra;
        std::string out;     // in what serbolt prints
        bool whole;          // out is all it prints after the connected line
        double min_seconds;
    } waits[] = {
        // A device console that echoes the command.
        { { "--echo" }, { "-b" },
          "romsize: 10\nKorvan did not ackowledge command 'Ko:Ready' (char timeout) (got: 'filecopy\nKo:Ready\r\n').\n",
          false, 0 },
        // A silent device is given the reply's whole 2 s, then fails with the time-out message.
        { { "--silent" }, {}, "romsize: 10\nKorvan did not ackowledge command 'Ko:Ready'(timeout) (got: '').\n\n", true, 2.0 },
        // Overflow message, then the rest shown raw.
        { { "--junk", std::string(30, '#') }, {},
          "Receive buffer overflow in ACK (got: '" + std::string(29, '#') + "', 29, '#').\n#Ko:Ready\r\n", false, 0 },
        // A device that begins late and then trickles, never finishing the reply before the 2 s
        // limit (1.5 s, then 28 characters 30 ms apart): the limit ends the wait, with what came.
        { { "--ready", std::string(26, 'w'), "--delay-ms", "1500", "--gap-ms", "30" }, {},
          "Korvan did not ackowledge command 'Ko:Ready'(timeout) (got: 'w", false, 2.0 },
        // Pieces further apart than one character window.
        { { "--gap-ms", "300" }, {}, "(char timeout) (got: 'K').", false, 0 },
    };
    for (const auto &w : waits) {
        SimGuard g(w.sim);
        Outcome r = upload(g.sim, file, "f", w.extra);
        EXPECT_EQ(r.status, 1) << w.sim[0];
        if (w.whole)
            EXPECT_EQ(r.out, connected(g.sim) + w.out);
        else
            EXPECT_TRUE(has(r.out, w.out));
        EXPECT_GE(r.seconds, w.min_seconds) << "the wait lasts the reply's whole limit";
        bool reboot = !w.extra.empty();
        EXPECT_EQ(r.out.find("Reboot sent...\n") != std::string::npos, reboot) << r.out;
        EXPECT_EQ(sim_received(g.sim), reboot ? "filecopy\nreboot\n" : "filecopy\n") << "no upload frame after a failed wait";
    }
}

// Replies that come late or in pieces are each given their whole time: a device that begins
// each reply half a second late (busy with its flash) and sends it in pieces 10 ms apart (well
// inside one character window: a busy machine has 90 ms to run the simulator between two), with
// stale output of its own in front, which is discarded, not shown; a device slow to answer (0.3 s
// before each reply), also for an empty file, whose reply to the destination line is taken however
// late it comes; and a device that never says "Ko:Data received", given the reply's whole 20 s.
// The frame goes out whole, with no payload for an empty file, and so does the largest file;
// reboot and reset follow it, reboot first however they were asked for, with nothing on
// standard error.
TEST(Upload, FrameTranscriptAndLateAndPiecemealRepliesGivenTheirWholeTime)
{
    std::string dir = make_temp_dir("replies");
    const std::string received = "Ko:Ready\n\r\nKo:Data received\n\r\nData sent.\n\n";
    const struct {
        std::vector<std::string> sim;
        size_t size;
        std::vector<std::string> extra;
        int status;
        std::string out;   // after the connected line and the romsize line
        double min_seconds;
        std::string wire;  // after the frame
    } replies[] = {
        { {}, 3000, { "-r", "-b" }, 0, received + "Reboot sent...\nReset sent...\n", 0, "reboot\nreset\n" },
        { { "--gap-ms", "10", "--delay-ms", "500", "--say", "boot banner\r\n" }, 1000, {}, 0, received, 1.0, "" },
        { { "--delay-ms", "300" }, 3000, {}, 0, received, 0.6, "" },
        { { "--delay-ms", "300" }, 0, {}, 0, received, 0.6, "" },
        { {}, 10485758, {}, 0, received, 0, "" },
        { { "--no-done" }, 100, { "-r" }, 1,
          "Ko:Ready\n\r\nKorvan did not ackowledge command 'Ko:Data received'(timeout) (got: '').\n\nReset sent...\n", 20.0,
          "reset\n" },
    };
    for (const auto &c : replies) {
        SimGuard g(c.sim);
        std::string file = make_file(dir, std::to_string(c.size), c.size);
        Outcome r = upload(g.sim, file, "dir/f", c.extra, 120);
        EXPECT_EQ(r.status, c.status) << c.size;
        EXPECT_EQ(r.err, "") << c.size;
        EXPECT_EQ(r.out, connected(g.sim) + "romsize: " + std::to_string(c.size) + "\n" + c.out);
        EXPECT_GE(r.seconds, c.min_seconds) << c.size;
        EXPECT_TRUE(sim_received(g.sim) == "filecopy\n" + std::to_string(c.size) + "\ndir/f\n" + read_file(file) + c.wire)
            << "the frame differs: " << c.size;
        EXPECT_TRUE(read_file(g.sim.store + "/dir/f") == read_file(file)) << "stored copy differs: " << c.size;
        EXPECT_EQ(access((g.sim.store + "/dir/f").c_str(), F_OK), 0) << "stored, even when empty";
    }
}

TEST(Upload, DeviceHangingUpMidPayloadEndsWithAnErrorNotAHang)
{
    std::string file = make_file(make_temp_dir("hangup"), "f", 2000000);
    SimGuard g({ "--hangup-after", "1000", "--rate", "200000" });
    Outcome r = upload(g.sim, file, "f", { "-b" }, 60);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "Error from write: Input/output error\n"));
    EXPECT_TRUE(has(r.out, " - connection lost.\n"));
    EXPECT_FALSE(has(r.out, "Data sent."));
    EXPECT_FALSE(has(r.out, "Reboot sent...")) << "a reboot that could not be sent is not reported as sent";
}

// A device that never falls quiet (streaming text) cannot hold an upload forever: each showing
// of its output is bounded, and the upload ends with its usual message.
TEST(Upload, ADeviceThatNeverFallsQuietCannotHoldTheUpload)
{
    std::string file = make_file(make_temp_dir("stream"), "f", 100);
    SimGuard g({ "--stream", "0" });
    Outcome r = upload(g.sim, file, "f", {}, 90);
    EXPECT_FALSE(r.timed_out) << "the upload must end";
    EXPECT_EQ(r.status, 1) << r.out.substr(0, 300);
    EXPECT_TRUE(has(r.out, "romsize: 100\n")) << "the discard before the upload ends";
    EXPECT_TRUE(r.out.find("Receive buffer overflow in ACK") != std::string::npos ||
                r.out.find("Korvan did not ackowledge command 'Ko:Ready'") != std::string::npos)
        << r.out.substr(0, 300);
}

// The progress line shows only on a terminal, and standard output stays as it is without one.
// It follows the line: what it counts is what has left the host, so its rate never exceeds the
// line's 92,160 bytes/s (90 KiB/s), however the machine schedules us. The host waits for the line
// and does not outrun it: the simulated line takes the last 64 KiB at once, and the rest crosses
// at 92,160 bytes/s, in 2.5 s.
TEST(Upload, ProgressShowsOnATerminalAndNeverRunsAheadOfTheLine)
{
    std::string file = make_file(make_temp_dir("progress"), "f", 300000);
    SimGuard g({ "--rate", "92160" });
    std::vector<std::string> argv = serbolt_argv(upload_args(g.sim, file, "f"));
    Outcome piped = run_program(argv, 60);
    Outcome r = run_program(argv, 60, Input::Null, "", {}, true);
    EXPECT_EQ(piped.status, 0);
    EXPECT_GT(piped.seconds, 2.0) << "the host must wait for the line, not outrun it";
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(piped.out, r.out) << "standard output must not change";
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K") << "the line is erased at the end";
    int updates = 0, below_half = 0;
    for (const std::string &form : progress_forms(r.err)) {
        long done = 0, total = 0, percent = 0;
        double rate = 0;
        if (sscanf(form.c_str(), "%ld of %ld bytes (%ld%%), %lf KiB/s", &done, &total, &percent, &rate) != 4)
            continue;
        updates++;
        below_half += percent < 50;
        EXPECT_TRUE(done == total || rate <= 90.1) << "update " << updates << ": " << form;
    }
    EXPECT_GE(updates, 2) << r.err;
    EXPECT_GE(below_half, 1) << "the count climbs with the line instead of jumping ahead";
    EXPECT_TRUE(has(r.err, "300000 of 300000 bytes (100%)"));
}

// The upload as a job of a shell on a console 40 columns wide, its progress on the console:
// every form of the progress line fits the width (no redraw scrolls a new line). A message during
// the upload (here the device hanging up in the middle of the payload) starts on a line of its
// own, not on the end of the progress line.
TEST(Upload, ProgressFitsANarrowTerminalAndMessagesStartOnAFreshLine)
{
    std::string dir = make_temp_dir("narrow");
    const struct {
        size_t size;
        std::vector<std::string> sim;
        int status;
    } runs[] = { { 150000, { "--rate", "92160" }, 0 }, { 400000, { "--hangup-after", "100000", "--rate", "92160" }, 1 } };
    for (const auto &run : runs) {
        std::string file = make_file(dir, std::to_string(run.size), run.size);
        SimGuard g(run.sim);
        Job j;
        j.columns = 40;
        ASSERT_TRUE(job_start(j, upload_args(g.sim, file, "f"), JOB_FOREGROUND | JOB_STDERR_CONSOLE));
        EXPECT_EQ(job_finish(j, 60), run.status) << j.c.screen;
        std::vector<std::string> forms = progress_forms(j.c.screen);
        EXPECT_GE(forms.size(), 2u) << "the progress line was drawn: " << j.c.screen;
        for (const std::string &form : forms)
            EXPECT_LE(form.size(), 39u) << form;
        if (run.status == 0)
            continue;
        size_t at = j.c.screen.find("Error from write: ");
        ASSERT_NE(at, std::string::npos) << j.c.screen;
        size_t line = j.c.screen.find_last_of("\r\n", at - 1);
        std::string before = j.c.screen.substr(line + 1, at - line - 1);
        EXPECT_TRUE(before.empty() || before == "\033[K") << "on the progress line: " << before;
    }
}

// An upload started in the background of a shell draws no progress over the shell's prompt,
// and still uploads.
TEST(Upload, ABackgroundUploadDrawsNoProgress)
{
    std::string file = make_file(make_temp_dir("background"), "f", 100000);
    SimGuard g({ "--rate", "92160" });
    Job j;
    ASSERT_TRUE(job_start(j, upload_args(g.sim, file, "f"), JOB_STDERR_CONSOLE));
    EXPECT_EQ(job_finish(j, 60), 0) << j.c.screen;
    EXPECT_TRUE(has(j.c.screen, "Data sent."));
    EXPECT_FALSE(has(j.c.screen, " bytes ("));
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
}
