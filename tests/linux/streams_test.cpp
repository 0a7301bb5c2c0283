// serbolt at the edges of its surroundings: started with its standard streams closed, and a
// device that stops reading in the middle of an upload.
#include "common.h"

#include <algorithm>

TEST(Surroundings, ClosedStandardStreamsDoNotBecomeTheLine)
{
    // Without care, the device would open as descriptor 0, 1 or 2 and every message would go
    // down the line to the device.
    SimGuard g;
    std::string dir = make_temp_dir("streams");
    std::string file = make_file(dir, "app.bin", 300);
    Outcome r = run_program(serbolt_argv(upload_args(g.sim, file, "fw/app.bin", { "-b" })), 60,
                            Input::Closed, "", {}, false, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(g.sim.store + "/fw/app.bin"), read_file(file));
    EXPECT_EQ(sim_received(g.sim), "filecopy\n300\nfw/app.bin\n" + read_file(file) + "reboot\n")
        << "nothing but the exchange on the wire";

    // Standard output that takes nothing (a full disk): said once, status 1, the upload done.
    r = run_program({ "/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", serbolt_path(), "-d", g.sim.link,
                      "-a", "1", "-i", file, "-o", "full" }, 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "serbolt: cannot write to standard output: No space left on device\n");
    EXPECT_TRUE(read_file(g.sim.store + "/full") == read_file(file)) << "stored copy differs";
}

// The device takes the frame's lines and 1000 payload bytes, then reads nothing more: the rest of
// a 300 kB payload cannot go out. The write gives up 10 s after the line last took a byte, not
// later (a pseudo-terminal can find a little room when the time is up, and that room must not
// start the time again), and reboot and reset are not tried on the dead line. Meanwhile the
// progress line is redrawn on the clock, never backwards. serbolt stopped for 12 s in the
// middle of an upload on a line that works is no stall: the upload goes on when continued.
TEST(Surroundings, DeviceThatStopsReadingFailsTheUploadAtTheStallLimit)
{
    const std::string head = "filecopy\n300000\nx\n";
    SimGuard g({ "--stall-after", std::to_string(head.size() + 1000) });
    std::string dir = make_temp_dir("stall");
    std::string file = make_file(dir, "big.bin", 300000);
    Outcome r = run_program(serbolt_argv(upload_args(g.sim, file, "x", { "-b", "-r" })), 120, Input::Null, "", {}, true);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "takes no input; skipped: reboot, reset\n"));
    EXPECT_TRUE(has(r.out, "Error from write: Connection timed out\n"));
    EXPECT_FALSE(has(r.out, "Data sent."));
    EXPECT_GE(r.seconds, 9.5) << "gives up only after the stall limit";
    EXPECT_LT(r.seconds, 17.0) << "the stall limit is counted once, from the last byte taken";
    EXPECT_EQ(sim_received(g.sim), head + read_file(file).substr(0, 1000));
    EXPECT_FALSE(read_file(g.sim.store + "/x").size() > 0) << "no partial file stored";

    std::vector<std::string> forms = progress_forms(r.err);
    EXPECT_GE(forms.size(), 20u) << "redrawn while the line stands still: " << r.err.substr(0, 300);
    long shown = 0;
    for (const std::string &form : forms) {
        EXPECT_GE(progress_count(form), shown) << "the count went back: " << form;
        shown = std::max(shown, progress_count(form));
    }

    SimGuard slow({ "--rate", "92160" });
    Job j;
    ASSERT_TRUE(job_start(j, upload_args(slow.sim, file, "x"), JOB_FOREGROUND | JOB_STDOUT_PIPE));
    ASSERT_TRUE(sim_wait_received(slow.sim, head + read_file(file).substr(0, 50000), 20, true));
    kill(j.program, SIGSTOP);
    usleep(12000000);   // the pause itself
    kill(j.program, SIGCONT);
    EXPECT_EQ(job_finish(j, 60), 0) << j.c.err;
    EXPECT_TRUE(read_file(slow.sim.store + "/x") == read_file(file)) << "stored copy differs";
}
