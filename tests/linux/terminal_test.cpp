// serbolt's console terminal on a real pseudo-terminal: keys, echo, 'x', the user's terminal
// settings, signals, end of input and a device that never stops talking.
#include "common.h"

#include <csignal>
#include <termios.h>
#include <unistd.h>

static const unsigned CANON_ECHO = ICANON | ECHO;

TEST(Terminal, KeysAreEchoedAndSentAndXLeaves)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(console_start(t, { serbolt_path(), "-d", g.sim.link }));
    ASSERT_TRUE(console_wait_for(t, "connected.", 10));
    EXPECT_TRUE(wait_raw(t)) << "keys are raw while the terminal runs";

    console_type(t, "ab");
    EXPECT_TRUE(sim_wait_received(g.sim, "ab", 5));
    console_type(t, std::string("X\0", 2));   // capital X is a key; a zero byte is dropped
    console_type(t, "\r");                     // Enter reaches the device as a line feed
    EXPECT_TRUE(sim_wait_received(g.sim, "abX\n", 5)) << sim_received(g.sim, false);
    // The device's answer to the line shows on the screen.
    EXPECT_TRUE(console_wait_for(t, "abX", 5));
    EXPECT_TRUE(console_wait_for(t, "Unknown command", 5)) << t.screen;

    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 10), 0);
    EXPECT_EQ(sim_received(g.sim), "abX\n") << "'x' is not sent";
    EXPECT_EQ(t.screen.substr(t.screen.size() - 2), "\r\n") << "one closing newline";
    EXPECT_EQ(console_lflag(t) & CANON_ECHO, CANON_ECHO) << "canonical mode and echo back on";
}

TEST(Terminal, PastedTextIsHandledWithoutWaitingForAnotherKey)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(console_start(t, { serbolt_path(), "-d", g.sim.link }));
    ASSERT_TRUE(console_wait_for(t, "connected.", 10));
    console_type(t, "version\n");   // arrives as one read, like a paste
    EXPECT_TRUE(sim_wait_received(g.sim, "version\n", 5)) << sim_received(g.sim, false);
    EXPECT_TRUE(console_wait_for(t, "Korvan", 5)) << t.screen;
    uint64_t typed = now_ns();
    console_type(t, "k");
    EXPECT_TRUE(sim_wait_received(g.sim, "version\nk", 5));
    EXPECT_LT(now_ns() - typed, 2000000000u) << "a key on a quiet line reaches the device promptly";
    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 10), 0);
}

TEST(Terminal, XLeavesPromptlyWhileTheDeviceStreams)
{
    SimGuard g({ "--stream", "0" });
    Console t;
    ASSERT_TRUE(console_start(t, { serbolt_path(), "-d", g.sim.link }));
    ASSERT_TRUE(console_wait_for(t, "stream 000100", 20));
    console_type(t, "q");
    // A user's terminal keeps taking the screen while the key travels; so does the test, or
    // serbolt would sit in a write to a full screen and could not read the key at all.
    bool got = false;
    for (uint64_t end = now_ns() + 20000000000u; !got && now_ns() < end;) {
        console_wait_for(t, "\x01", 0.05);
        t.screen.clear();
        got = sim_wait_received(g.sim, "q", 0.05);
    }
    EXPECT_TRUE(got) << "keys are taken while the device streams";
    uint64_t typed = now_ns();
    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 10), 0);
    EXPECT_LT(now_ns() - typed, 3000000000u);
    EXPECT_EQ(console_lflag(t) & CANON_ECHO, CANON_ECHO);
}

TEST(Terminal, TimedDisplayEndsOnTimeWhileTheDeviceStreams)
{
    SimGuard g({ "--stream", "0" });
    // The upload fails at once (no such file), so the run is the 0.3 s display and nothing else.
    Outcome r = upload(g.sim, "/nonexistent", "x", {}, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("stream 0"), std::string::npos) << "the display shows what the device sends";
    EXPECT_LT(r.seconds, 3.0) << "the 0.3 s display must not be stretched by a busy line";
}

TEST(Terminal, EndOfInputShowsTheRestAndLeavesLikeX)
{
    SimGuard g({ "--say", "hello from korvan\r\n" });
    Outcome r = serbolt({ "-d", g.sim.link }, 30, Input::Pipe, "ver");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(sim_received(g.sim), "ver") << "no end-of-file value is sent as a key";
    EXPECT_NE(r.out.find("hello from korvan\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
}

TEST(Terminal, SignalsGiveTheShellItsSettingsBack)
{
    SimGuard g;
    for (int sig : { SIGTERM, SIGHUP, SIGINT, SIGQUIT }) {
        Console t;
        ASSERT_TRUE(console_start(t, { serbolt_path(), "-d", g.sim.link }));
        ASSERT_TRUE(console_wait_for(t, "connected.", 10));
        ASSERT_TRUE(wait_raw(t));
        if (sig == SIGINT)
            console_type(t, "\003");   // the interrupt key, as the user would press it
        else if (sig == SIGQUIT)
            console_type(t, "\034");   // the quit key (Ctrl-backslash)
        else
            kill(t.pid, sig);
        EXPECT_EQ(console_finish(t, 10), 128 + sig) << "ends by the signal";
        EXPECT_TRUE(console_settings_untouched(t)) << "signal " << sig;
    }
    EXPECT_EQ(sim_received(g.sim), "") << "the interrupt and quit keys never reach the device";
}

TEST(Terminal, StayAfterUploadRunsTheTerminal)
{
    SimGuard g;
    std::string file = make_file(make_temp_dir("stay"), "f", 500);
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv(upload_args(g.sim, file, "f", { "-t", "-b" }))));
    ASSERT_TRUE(console_wait_for(t, "Reboot sent...", 20)) << t.screen;
    console_type(t, "ls\r");
    EXPECT_TRUE(console_wait_for(t, "500", 5)) << "the device lists the stored file: " << t.screen;
    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 10), 0);
    std::string wire = sim_received(g.sim);
    EXPECT_EQ(wire.substr(wire.size() - 10), "reboot\nls\n");
}
