// Every way out of serbolt's terminal leaves the user's console as it was: signals, Ctrl-Z and
// fg, a background job, a paste that holds an 'x', and input that ended before the terminal.
#include "common.h"

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
    std::string out = read_until(j.out_fd, "connected.", 10);
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

// Ctrl-Z, then kill %1: the shell takes the console back at the stop, then sends the stopped
// job SIGTERM and SIGCONT. serbolt, no longer in front, must not touch the console (that would
// stop it again, holding the device): it ends of the signal at once.
TEST(Exits, KillAfterCtrlZEndsTheStoppedJob)
{
    SimGuard g;
    Job j;
    ASSERT_TRUE(job_start(j, { "-d", g.sim.link }, JOB_FOREGROUND | JOB_SHELL_TAKES_BACK));
    ASSERT_TRUE(console_wait_for(j.c, "connected.", 10));
    ASSERT_TRUE(wait_raw(j.c));
    console_type(j.c, "\032");   // Ctrl-Z
    ASSERT_TRUE(wait_state(j.program, 'T', 10)) << "serbolt stops";
    ASSERT_TRUE(wait_until([&] { return tcgetpgrp(j.c.master) == j.c.pid; }, 10)) << "the shell has taken the console back";

    kill(j.program, SIGTERM);
    kill(j.program, SIGCONT);
    EXPECT_EQ(job_finish(j, 10), 128 + SIGTERM);
    EXPECT_TRUE(console_settings_untouched(j.c));
}

// A paste that holds an 'x', in one write or far larger than the console's buffer: serbolt
// leaves at the 'x' and swallows the rest while the terminal emulator goes on writing it, so
// none of it runs in the user's shell.
TEST(Exits, APasteAfterAnXNeverReachesTheShell)
{
    std::string long_paste = "ab x";
    while (long_paste.size() < 100000)
        long_paste += "touch this-line-must-not-run-in-the-shell\n";
    for (const std::string &paste : { std::string("abcdxrm -rf tmp\n"), long_paste }) {
        SimGuard g;
        Console t;
        ASSERT_TRUE(terminal_ready(t, g.sim));
        EXPECT_EQ(console_paste(t, paste, 30), paste.size()) << "the whole paste was taken";
        EXPECT_EQ(console_finish(t, 10), 0);
        EXPECT_EQ(console_unread(t), 0) << "left for the shell";
        EXPECT_EQ(sim_received(g.sim), paste.substr(0, paste.find('x')));
        EXPECT_TRUE(console_settings_untouched(t));
    }
}

// Keys typed while an upload runs wait in the console. An 'x' among them ends the display after
// the upload, and what was typed after it is thrown away instead of running in the shell.
TEST(Exits, AnXTypedDuringAnUploadTakesWhatFollowsItAlong)
{
    SimGuard g({ "--rate", "92160" });
    std::string file = make_file(make_temp_dir("typed"), "f", 200000);   // 2 s on the line
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv(upload_args(g.sim, file, "f"))));
    ASSERT_TRUE(console_wait_for(t, "Ko:Ready", 20)) << t.screen;
    console_type(t, "xtouch gotcha\n");
    EXPECT_EQ(console_finish(t, 60), 0) << t.screen;
    EXPECT_NE(t.screen.find("Data sent."), std::string::npos) << t.screen;
    EXPECT_EQ(console_unread(t), 0) << "left for the shell";
    EXPECT_TRUE(console_settings_untouched(t));
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
}
