// Every way out of serbolt's terminal leaves the user's console as it was: signals, Ctrl-Z and
// fg, a background job, a paste that holds an 'x', and input that ended before the terminal.
#include "common.h"

#include <poll.h>

// Ctrl-Z puts the console back and stops serbolt; fg (SIGCONT while in the foreground) makes
// keys raw again and the terminal goes on.
TEST(Exits, CtrlZRestoresTheConsoleAndFgResumesTheTerminal)
{
    SimGuard g;
    Job j;
    ASSERT_TRUE(job_start(j, { "-d", g.sim.link }, JOB_FOREGROUND));
    ASSERT_TRUE(console_wait_for(j.c, "connected.", 10));
    ASSERT_TRUE(wait_raw(j.c));

    console_type(j.c, "\032");   // Ctrl-Z
    ASSERT_TRUE(wait_state(j.program, 'T', 10)) << "serbolt stops";
    EXPECT_TRUE(console_settings_untouched(j.c)) << "the stopped job leaves the shell's settings";

    kill(j.program, SIGCONT);
    EXPECT_TRUE(wait_raw(j.c)) << "back in the foreground, keys are raw again";
    console_type(j.c, "ab");
    EXPECT_TRUE(sim_wait_received(g.sim, "ab", 10)) << "keys reach the device after fg";
    console_type(j.c, "x");
    EXPECT_EQ(job_finish(j, 10), 0);
    EXPECT_TRUE(console_settings_untouched(j.c));
}

// Device output into a pipe that was closed (serbolt | head, and head ended): the console gets
// its settings back before serbolt ends by SIGPIPE.
TEST(Exits, OutputIntoAClosedPipeRestoresTheConsole)
{
    SimGuard g;
    Job j;
    ASSERT_TRUE(job_start(j, { "-d", g.sim.link }, JOB_FOREGROUND | JOB_STDOUT_PIPE));
    std::string out;
    uint64_t deadline = now_ns() + 10000000000ull;
    while (out.find("connected.") == std::string::npos && now_ns() < deadline) {
        struct pollfd p = { j.out_fd, POLLIN, 0 };
        char buf[256];
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(j.out_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, (size_t)n);
        }
    }
    ASSERT_NE(out.find("connected."), std::string::npos) << out;
    ASSERT_TRUE(wait_raw(j.c));
    close(j.out_fd);
    j.out_fd = -1;
    console_type(j.c, "v");   // its echo goes into the closed pipe
    EXPECT_EQ(job_finish(j, 10), 128 + SIGPIPE);
    EXPECT_TRUE(console_settings_untouched(j.c));
}

// A background job (serbolt ... > log &) must neither stop on SIGTTOU nor touch the console.
TEST(Exits, BackgroundUploadLeavesTheConsoleAloneAndFinishes)
{
    SimGuard g;
    std::string file = make_file(make_temp_dir("bg"), "f", 2000);
    Job j;
    ASSERT_TRUE(job_start(j, upload_args(g.sim, file, "bg.bin", { "-b" }), JOB_STDOUT_PIPE));
    EXPECT_EQ(job_finish(j, 60), 0) << "state " << process_state(j.program);
    EXPECT_TRUE(console_settings_untouched(j.c));
    EXPECT_EQ(read_file(g.sim.store + "/bg.bin"), read_file(file));
    EXPECT_NE(sim_received(g.sim).find("reboot\n"), std::string::npos);
}

// A paste that holds an 'x': serbolt leaves at the 'x', and the rest of the paste is thrown
// away instead of running in the user's shell.
TEST(Exits, ThePasteAfterAnXIsDiscarded)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(console_start(t, { serbolt_path(), "-d", g.sim.link }));
    ASSERT_TRUE(console_wait_for(t, "connected.", 10));
    ASSERT_TRUE(wait_raw(t));
    console_type(t, "ab");
    ASSERT_TRUE(sim_wait_received(g.sim, "ab", 10));
    console_type(t, "cdxrm -rf tmp\n");   // one write: a paste
    EXPECT_EQ(console_finish(t, 10), 0);
    EXPECT_EQ(sim_received(g.sim), "abcd");
    // What the shell would read next: nothing.
    fcntl(t.slave, F_SETFL, fcntl(t.slave, F_GETFL) | O_NONBLOCK);
    char buf[64];
    ssize_t n = read(t.slave, buf, sizeof buf);
    EXPECT_LE(n, 0) << "left for the shell: '" << std::string(buf, n > 0 ? (size_t)n : 0) << "'";
}

// Standard input already at its end when the terminal after an upload begins (a script, or
// </dev/null): the terminal shows what the device still says and leaves, as with 'x'.
TEST(Exits, TerminalBegunAfterInputEndedLeaves)
{
    SimGuard g;
    std::string file = make_file(make_temp_dir("eof"), "f", 1000);
    Outcome r = upload(g.sim, file, "f", { "-b", "-t" });
    EXPECT_FALSE(r.timed_out) << "the terminal must leave";
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Data sent.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Reboot sent...\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
}

// The same with the line lost as well: nothing can ever wake the terminal, so it leaves (and
// says the session broke) instead of spinning.
TEST(Exits, NothingLeftToWaitOnLeavesWithoutSpinning)
{
    std::string file = make_file(make_temp_dir("eoflost"), "f", 200000);
    SimGuard g({ "--hangup-after", "1000" });
    Outcome r = upload(g.sim, file, "f", { "-t" });
    EXPECT_FALSE(r.timed_out) << "the terminal must leave";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.out, " - connection lost.\n"), 1u) << r.out;
}
