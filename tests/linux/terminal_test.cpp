// serbolt's console terminal on a real pseudo-terminal: keys, echo, 'x', the user's terminal
// settings, signals, end of input and a device that never stops talking.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

static const unsigned CANON_ECHO = ICANON | ECHO;

TEST(Terminal, KeysAreEchoedAndSentAndXLeaves)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(terminal_ready(t, g.sim)) << "keys are raw while the terminal runs";

    console_type(t, "ab");
    EXPECT_TRUE(sim_wait_received(g.sim, "ab", 5));
    console_type(t, std::string("X\0", 2));   // capital X is a key; a zero byte is dropped
    console_type(t, "\r");                     // Enter reaches the device as a line feed
    EXPECT_TRUE(sim_wait_received(g.sim, "abX\n", 5)) << sim_received(g.sim, false);
    // The device's answer to the line shows on the screen.
    EXPECT_TRUE(console_wait_for(t, "abX", 5));
    EXPECT_TRUE(console_wait_for(t, "Unknown command", 5)) << t.screen;

    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_EQ(sim_received(g.sim), "abX\n") << "'x' is not sent";
    EXPECT_EQ(t.screen.substr(t.screen.size() - 2), "\r\n") << "one closing newline";
    EXPECT_EQ(console_lflag(t) & CANON_ECHO, CANON_ECHO) << "canonical mode and echo back on";
}

TEST(Terminal, PastedTextIsHandledWithoutWaitingForAnotherKey)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(terminal_ready(t, g.sim));
    console_type(t, "version\n");   // arrives as one read, like a paste
    EXPECT_TRUE(sim_wait_received(g.sim, "version\n", 5)) << sim_received(g.sim, false);
    EXPECT_TRUE(console_wait_for(t, "Korvan", 5)) << t.screen;
    uint64_t typed = now_ns();
    console_type(t, "k");
    EXPECT_TRUE(sim_wait_received(g.sim, "version\nk", 5));
    EXPECT_LT(now_ns() - typed, 2000000000u) << "a key on a quiet line reaches the device promptly";
    EXPECT_EQ(quit_with_x(t), 0);
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
    EXPECT_TRUE(wait_until([&] {
        console_collect(t, 0.05);
        t.screen.clear();
        return sim_wait_received(g.sim, "q", 0.05);
    }, 20)) << "keys are taken while the device streams";
    uint64_t typed = now_ns();
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_LT(now_ns() - typed, 3000000000u);
    EXPECT_EQ(console_lflag(t) & CANON_ECHO, CANON_ECHO);
}

TEST(Terminal, TimedDisplayEndsOnTimeWhileTheDeviceStreams)
{
    SimGuard g({ "--stream", "0" });
    // The upload fails at once (no such file), so the run is the 0.3 s display and nothing else.
    Outcome r = upload(g.sim, "/nonexistent", "x", {}, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "stream 0")) << "the display shows what the device sends";
    EXPECT_LT(r.seconds, 3.0) << "the 0.3 s display must not be stretched by a busy line";
}

// Every way out leaves the console exactly as the user had it, echo on or off (stty -echo): 'x',
// the interrupt and quit keys (serbolt ends by their signals), and SIGTERM and SIGHUP from outside.
TEST(Terminal, EveryWayOutGivesTheSettingsBackAsTheyWere)
{
    const struct {
        const char *key;   // typed; without one, the signal is sent
        int sig;           // ends serbolt (0: status 0)
    } ways_out[] = { { "x", 0 }, { "\003", SIGINT }, { "\034", SIGQUIT }, { nullptr, SIGTERM }, { nullptr, SIGHUP } };
    SimGuard g;
    for (unsigned lflag_off : { 0u, (unsigned)ECHO })
        for (const auto &way : ways_out) {
            Console t;
            ASSERT_TRUE(terminal_ready(t, g.sim, lflag_off));
            if (way.key != nullptr)
                console_type(t, way.key);
            else
                kill(t.pid, way.sig);
            EXPECT_EQ(console_finish(t, 10), way.sig == 0 ? 0 : 128 + way.sig) << "signal " << way.sig;
            EXPECT_TRUE(console_settings_untouched(t, lflag_off)) << "signal " << way.sig << ", echo off " << lflag_off;
        }
    EXPECT_EQ(sim_received(g.sim), "") << "'x', the interrupt and quit keys never reach the device";
}

// A console handed over without becoming the controlling terminal (setsid -w at a prompt) has
// no job control: its keys are serbolt's to read, and 'x' leaves.
TEST(Terminal, AConsoleThatIsNotTheControllingTerminalIsRead)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv({ "-d", g.sim.link }), 0, false));
    ASSERT_TRUE(console_wait_for(t, "connected.", 10));
    console_type(t, "ab");
    EXPECT_TRUE(sim_wait_received(g.sim, "ab", 10)) << "keys reach the device";
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_TRUE(console_settings_untouched(t));

    // setsid -w serbolt, then Ctrl-C: setsid ends, and serbolt with it, giving the settings back
    // instead of reading the keys meant for the shell.
    Console s;
    ASSERT_TRUE(console_start(s, { "/usr/bin/setsid", "-w", serbolt_path(), "-d", g.sim.link }, 0, false));
    ASSERT_TRUE(console_wait_for(s, "connected.", 10));
    ASSERT_TRUE(wait_raw(s));
    kill(s.pid, SIGINT);
    EXPECT_TRUE(wait_until([&] { return console_settings_untouched(s); }, 10));
    console_type(s, "ls\n");
    EXPECT_FALSE(sim_wait_received(g.sim, "abls", 1)) << "the shell's keys went to the device";
}

// Keys from a script: at their end serbolt leaves as at 'x' (no end-of-file value is sent as a
// key), after showing what the device says until it has been quiet for half a second, so an
// answer that takes a moment is shown, and for 5 s at most, so a device that never falls quiet
// cannot hold the script.
TEST(Terminal, AScriptShowsTheRestAndALateAnswerAndAlwaysEnds)
{
    const struct {
        std::vector<std::string> sim;
        std::string keys, shown;
    } scripts[] = { { { "--say", "hello from korvan\r\n" }, "ver", "hello from korvan\r\n" },
                    { { "--answer-delay-ms", "200" }, "version\n", "Korvan simulator 1.0" },
                    { { "--stream", "0", "--rate", "92160" }, "version\n", "Korvan simulator 1.0" } };
    for (const auto &c : scripts) {
        SimGuard g(c.sim);
        Outcome r = serbolt({ "-d", g.sim.link }, 30, Input::Pipe, c.keys);
        EXPECT_FALSE(r.timed_out) << "the script was held: " << c.sim[0];
        EXPECT_EQ(r.status, 0) << c.sim[0];
        EXPECT_LT(r.seconds, 20.0) << c.sim[0];
        EXPECT_TRUE(has(r.out, c.shown));
        EXPECT_EQ(r.out.back(), '\n') << c.sim[0];
        EXPECT_EQ(sim_received(g.sim), c.keys) << "no end-of-file value is sent as a key";
    }
}

// A paste while the device streams: device output shows between the keys as they go out, not
// after the last of them, and none of it is lost.
TEST(Terminal, DeviceOutputShowsBetweenPastedKeys)
{
    SimGuard g({ "--stream", "0", "--rate", "92160" });
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv({ "-d", g.sim.link })));
    ASSERT_TRUE(console_wait_for(t, "stream 000010", 20));
    const std::string keys(3000, 'K');   // not in the stream's text; no line end, no answers
    ASSERT_EQ(console_paste(t, keys, 30), keys.size());
    EXPECT_TRUE(wait_until([&] {
        console_collect(t, 0.1);
        return std::count(t.screen.begin(), t.screen.end(), 'K') >= (long)keys.size();
    }, 60)) << "every key is echoed";
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_EQ(sim_received(g.sim), keys);

    size_t first = t.screen.find('K'), last = t.screen.rfind('K');
    ASSERT_NE(first, std::string::npos);
    EXPECT_GE(count_of(t.screen.substr(first, last - first), "stream "), 100u)
        << "the device's lines show while the keys go out";
    // Without the echoes, the stream is whole: its numbered lines follow one another, each
    // complete but the last, which serbolt may have left in the middle of.
    std::string shown = t.screen;
    shown.erase(std::remove(shown.begin(), shown.end(), 'K'), shown.end());
    const std::string text = " abcdefghijklmnopqrstuvwxyz0123456789";
    long previous = 0;
    for (size_t at = shown.find("stream "); at != std::string::npos;) {
        size_t next = shown.find("stream ", at + 1);
        long number = strtol(shown.c_str() + at + 7, nullptr, 10);
        bool whole = shown.size() >= at + 13 + text.size() && shown.compare(at + 13, text.size(), text) == 0;
        if (next == std::string::npos && !whole)
            break;
        if (!whole || (previous != 0 && number != previous + 1)) {
            ADD_FAILURE() << "after line " << previous << ": " << shown.substr(at, 60);
            break;
        }
        previous = number;
        at = next;
    }
}

// 200,000 pasted keys take minutes to go out at a key a millisecond. The keyboard is read on
// behind them, so an 'x' typed behind them leaves at once; what was not sent yet is dropped,
// and serbolt says so.
TEST(Terminal, XBehindABacklogOfKeysLeavesAtOnce)
{
    SimGuard g;
    Console t;
    ASSERT_TRUE(terminal_ready(t, g.sim));
    const std::string keys(200000, 'k');
    ASSERT_EQ(console_paste(t, keys, 30), keys.size());
    uint64_t typed = now_ns();
    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 60), 0);
    EXPECT_LT(now_ns() - typed, 5000000000u) << "'x' waited for the keys in front of it";
    std::string sent = sim_received(g.sim);
    EXPECT_LT(sent.size(), keys.size());
    EXPECT_EQ(sent, keys.substr(0, sent.size())) << "the keys that went out, in order";
    EXPECT_TRUE(has(t.err, std::to_string(keys.size() - sent.size()) + 
                           " keys typed before the 'x' were not sent"));
}

// A device that takes nothing (its input full, as a stuck USB device's): keys wait, the stall
// is told once after 10 s however many keys wait, and 'x' still leaves at once.
TEST(Terminal, AStalledDeviceIsToldOnceAndXStillLeaves)
{
    SimGuard g({ "--stall-after", "0" });
    int line = open(g.sim.slave.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0) << strerror(errno);
    // Fill the device's input until it takes nothing more: the kernel moves bytes on behind
    // the writes for a moment, so a full line is one that stays full.
    write_until_stalled(line, std::string(1u << 20, 'f'), 0.5);
    close(line);

    Console t;
    ASSERT_TRUE(terminal_ready(t, g.sim));
    console_type(t, "abc");
    ASSERT_TRUE(console_wait_err(t, "takes no input", 30)) << t.err << t.screen;
    console_type(t, "def");
    uint64_t typed = now_ns();
    console_type(t, "x");
    EXPECT_EQ(console_finish(t, 30), 0);
    EXPECT_LT(now_ns() - typed, 3000000000u) << "'x' waited for the stalled device";
    EXPECT_EQ(count_of(t.err, "takes no input"), 1u) << t.err;
    EXPECT_FALSE(has(t.screen, "Error from write"));
}

// A device asks the user's terminal for its version (ESC [ > q). The terminal's answer holds an
// 'x' ("tmux"), and so do a title report, Alt-x, a keypad key in application mode and a
// DECREQTPARM report: each goes to the device whole. Only an 'x' of its own leaves, also one
// typed a moment after the Esc key.
TEST(Terminal, AnXInsideAnEscapeSequenceIsNotTheQuitKey)
{
    SimGuard g({ "--say", "\\x1b[>q" });
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv({ "-d", g.sim.link })));
    ASSERT_TRUE(console_wait_for(t, "\x1b[>q", 10));
    ASSERT_TRUE(wait_raw(t));
    const std::string answers[] = { "\x1bP>|tmux 3.3a\x1b\\", "\x1b]lxterm\x1b\\", "\x1bx",
                                    "\x1bOx", "\x1b[2;1;1;112;112;1;0x", "\x1b[M x!", "ok" };
    std::string typed;
    for (const std::string &a : answers) {
        console_type(t, a);   // each as its terminal writes it
        typed += a;
    }
    EXPECT_TRUE(sim_wait_received(g.sim, typed, 10)) << sim_received(g.sim, false);
    console_type(t, "\x1bX");   // Alt-Shift-X begins a string, but the user types on
    ASSERT_TRUE(sim_wait_received(g.sim, typed + "\x1bX", 10));
    usleep(300000);   // the user's pause: no terminal's reply leaves such a gap
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_EQ(sim_received(g.sim), typed + "\x1bX");
}
