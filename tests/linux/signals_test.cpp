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
    // A stop that is not Ctrl-Z (SIGSTOP), meanwhile the shell puts its settings back: the same.
    kill(j.program, SIGSTOP);
    ASSERT_TRUE(wait_state(j.program, 'T', 10));
    struct termios shell = fresh_console_settings();
    tcsetattr(j.c.slave, TCSANOW, &shell);
    kill(j.program, SIGCONT);
    EXPECT_TRUE(wait_raw(j.c)) << "raw again after SIGSTOP and fg";
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
    ASSERT_TRUE(has(out, "connected."));
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
    EXPECT_TRUE(has(sim_received(g.sim), "reboot\n"));
}

// Standard input already at its end when the terminal after an upload begins (a script, or
// </dev/null): the terminal shows what the device still says and leaves, as with 'x'. With the
// line lost as well nothing can ever wake the terminal, so it leaves (and says the session
// broke) instead of spinning.
TEST(Exits, TerminalBegunAfterInputEndedLeaves)
{
    for (bool lost : { false, true }) {
        SimGuard g(lost ? std::vector<std::string>{ "--hangup-after", "1000" } : std::vector<std::string>{});
        std::string file = make_file(make_temp_dir("eof"), "f", lost ? 200000 : 1000);
        Outcome r = upload(g.sim, file, "f", lost ? std::vector<std::string>{ "-t" } : std::vector<std::string>{ "-b", "-t" });
        EXPECT_FALSE(r.timed_out) << "the terminal must leave";
        EXPECT_EQ(r.status, lost ? 1 : 0) << r.out;
        EXPECT_EQ(count_of(r.out, " - connection lost.\n"), lost ? 1u : 0u) << r.out;
        EXPECT_EQ(count_of(r.out, "Data sent.\n"), lost ? 0u : 1u) << r.out;
        EXPECT_EQ(count_of(r.out, "Reboot sent...\n"), lost ? 0u : 1u) << r.out;
        EXPECT_EQ(read_file(g.sim.store + "/f"), lost ? "" : read_file(file));
    }
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
    // The keys before the 'x' go out while the device takes them, for a second after the 'x'.
    const std::string short_paste = "ab" + std::string(150, 'c') + "xrm -rf tmp\n";
    for (const std::string &paste : { short_paste, long_paste }) {
        SimGuard g;
        Console t;
        ASSERT_TRUE(terminal_ready(t, g.sim));
        uint64_t pasted = now_ns();
        EXPECT_EQ(console_paste(t, paste, 30), paste.size()) << "the whole paste was taken";
        EXPECT_EQ(console_finish(t, 10), 0);
        EXPECT_EQ(console_unread(t), 0) << "left for the shell";
        const std::string before_x = paste.substr(0, paste.find('x')), got = sim_received(g.sim);
        std::vector<Chunk> chunks = sim_chunks(g.sim);
        EXPECT_EQ(before_x.compare(0, got.size(), got), 0) << "not the keys before the 'x'";
        EXPECT_TRUE(got == before_x || (!chunks.empty() && chunks.back().t_ns - pasted > 900000000u))
            << "keys before the 'x' were cut short: " << got.size();
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
    EXPECT_FALSE(has(t.screen, "gotcha")) << "keys echoed into the upload";
    EXPECT_TRUE(has(t.screen, "Data sent."));
    EXPECT_EQ(console_unread(t), 0) << "left for the shell";
    EXPECT_TRUE(console_settings_untouched(t));
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
}
