// serbolt on a line whose driver behaves as real ones do, where a pseudo-terminal would be kinder:
// driver_shim.cpp, preloaded into serbolt, makes the sim's terminal keep output in its queue
// (a device behind cdc_acm that stopped reading) or refuse a speed (a 16550 at 921600 baud).
#include "common.h"

#include <algorithm>

// The environment that makes serbolt's driver for `device` behave as `settings` say.
static std::vector<std::string> driver_env(const std::string &device,
                                           const std::vector<std::string> &settings)
{
    const char *asan = getenv("ASAN_OPTIONS");
    std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    std::vector<std::string> env = {
        std::string("LD_PRELOAD=") + SERBOLT_DRIVER_SHIM, "SERBOLT_SHIM_DEVICE=" + device,
        // The shim is loaded before the sanitizers' runtime, which would otherwise refuse to run.
        "ASAN_OPTIONS=" + asan_options + "verify_asan_link_order=0"
    };
    env.insert(env.end(), settings.begin(), settings.end());
    return env;
}

static std::string stuck_after(size_t bytes)
{
    return "SERBOLT_SHIM_STUCK_AFTER=" + std::to_string(bytes);
}

// The device stops reading after 400,000 payload bytes while the driver has taken the rest of
// the file too: no write ever waits, and only the drain can notice. It gives up 10 s after the
// queue last moved; the progress line goes on being drawn meanwhile, counting what left and not
// what sits in the queue; and the exit follows at once, although the driver would hold close()
// for its 30 s closing wait.
TEST(Driver, AQueueThatStopsMovingFailsTheUploadAndTheExitFollows)
{
    const long taken = 400000, size = taken + 45536;
    const std::string head = "filecopy\n" + std::to_string(size) + "\nf\n";
    std::string file = make_file(make_temp_dir("stuck"), "f", (size_t)size);
    SimGuard g;
    Outcome r = run_program(serbolt_argv(upload_args(g.sim, file, "f")), 90, Input::Null, "",
                            driver_env(g.sim.slave, { stuck_after(head.size() + (size_t)taken) }), true);
    EXPECT_FALSE(r.timed_out) << "the drain waited for ever";
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Error from write: Connection timed out\n"));
    EXPECT_FALSE(has(r.out, "Data sent."));
    EXPECT_GE(r.seconds, 9.5) << "the queue is given the whole stall limit";
    EXPECT_LT(r.seconds, 25.0) << "the closing wait held the exit";
    EXPECT_TRUE(sim_received(g.sim) == head + read_file(file).substr(0, (size_t)taken));

    // The driver tells what it holds, so the count is what left, shown as soon as it left: the
    // rate shown goes far above the line's 90 KiB/s, where a count held back to the line's rate,
    // as for a terminal that cannot tell, never would.
    std::vector<std::string> forms = progress_forms(r.err);
    ASSERT_GE(forms.size(), 20u) << "redrawn while the queue stands still: " << r.err.substr(0, 300);
    long shown = 0;
    double fastest = 0;
    for (const std::string &form : forms) {
        long count = progress_count(form);
        EXPECT_GE(count, shown) << "the count went back: " << form;
        EXPECT_LE(count, taken) << "what is stuck in the queue is not counted: " << form;
        shown = std::max(shown, count);
        double rate = 0;
        if (sscanf(form.c_str(), "%*d of %*d bytes (%*d%%), %lf KiB/s", &rate) == 1)
            fastest = std::max(fastest, rate);
    }
    EXPECT_EQ(shown, taken);
    EXPECT_GT(fastest, 100.0) << "the count was held back to the line's rate";
}

// A paced command into the same queue: each byte's drain is bounded too.
TEST(Driver, APacedCommandIntoAQueueThatStopsMovingFails)
{
    std::string file = make_file(make_temp_dir("stuck-cmd"), "f", 10);
    SimGuard g;
    Outcome r = run_program(serbolt_argv(upload_args(g.sim, file, "f")), 90, Input::Null, "",
                            driver_env(g.sim.slave, { stuck_after(4) }));
    EXPECT_FALSE(r.timed_out) << "the drain waited for ever";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, connected(g.sim) + "romsize: 10\n"
                     "Error from write: Connection timed out\n\n");
    EXPECT_GE(r.seconds, 9.5);
    EXPECT_LT(r.seconds, 25.0);
    EXPECT_EQ(sim_received(g.sim), "file");
}

// A driver that takes tcsetattr but keeps the line at 9600 baud (a 16550 whose clock cannot
// make 921600): the device is refused with the reason, and the search ends there, as for any
// device that opened but cannot be used; the board on /dev/ttyUSB0 is not used instead.
TEST(Driver, ALineTheDriverDoesNotSetTo921600IsRefusedWithTheReason)
{
    SimGuard g, usb0;
    std::string file = make_file(make_temp_dir("speed"), "f", 10);
    std::vector<std::string> argv = { SERBOLT_PRIVATE_DEV, usb0.sim.slave, "-", serbolt_path(), "-d",
                                      g.sim.slave, "-a", "1", "-i", file, "-o", "f" };
    Outcome r = run_program(argv, 60, Input::Null, "",
                            driver_env(g.sim.slave, { "SERBOLT_SHIM_MAX_BAUD=115200" }));
    if (r.status == 99)
        GTEST_SKIP() << "private mount namespace not permitted: " << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Serial device " + g.sim.slave + " - failed to connect [attributes].\n");
    EXPECT_EQ(r.err, "serbolt: " + g.sim.slave + ": the driver set 9600 baud, not 921600\n");
    EXPECT_EQ(sim_received(g.sim), "");
    EXPECT_EQ(sim_received(usb0.sim), "") << "no other board is used instead";
}

// At a keyboard, the device stops reading while the driver still holds a key: 'x' leaves at
// once, although the driver would hold close() for 30 s to send that key.
TEST(Driver, XLeavesAtOnceWhileTheDriverHoldsAKey)
{
    SimGuard g;
    std::vector<std::string> argv = driver_env(g.sim.slave, { stuck_after(2) });
    argv.insert(argv.begin(), "/usr/bin/env");
    argv.insert(argv.end(), { serbolt_path(), "-d", g.sim.link });
    Console c;
    ASSERT_TRUE(console_start(c, argv));
    ASSERT_TRUE(wait_raw(c));
    console_type(c, "abc");
    ASSERT_TRUE(console_wait_for(c, "abc", 30)) << "the driver took the third key: " << c.screen;
    uint64_t start = now_ns();
    console_type(c, "x");
    EXPECT_EQ(console_finish(c, 60), 0);
    EXPECT_LT((double)(now_ns() - start) / 1e9, 10.0) << "the closing wait held the exit";
    EXPECT_EQ(sim_received(g.sim), "ab");
}
