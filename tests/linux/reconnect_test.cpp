// The device gone and back: an unplug or a re-enumerating reboot. The interactive terminal waits
// for the same device name and goes on; a scripted terminal and an upload end with status 1.
#include "common.h"

static const std::string BANNER = "Korvan simulator 1.0 booted";

// The device is unplugged 3 s after it started and comes back 2 s later. Keys typed while it is
// gone are dropped without a word; keys after its return reach the new line; waiting for it
// costs next to no processor time.
TEST(Reconnect, InteractiveTerminalFollowsTheDeviceBack)
{
    SimGuard g({ "--unplug-after-ms", "3000", "--replug-after-ms", "2000" });
    Console t;
    ASSERT_TRUE(terminal_ready(t, g.sim));
    console_type(t, "ab");
    EXPECT_TRUE(sim_wait_received(g.sim, "ab", 10));

    ASSERT_TRUE(console_wait_for(t, "Serial device " + g.sim.link + " - connection lost.\r\n", 30))
        << t.screen;
    double cpu_gone = process_cpu_seconds(t.pid);
    uint64_t gone_at = now_ns();
    console_type(t, "cd");   // while the device is away

    std::string back = "Serial device " + g.sim.link + " - connected.\r\n";
    ASSERT_TRUE(console_wait_for(t, back + BANNER, 30)) << "back, with the boot banner: " << t.screen;
    double cpu_back = process_cpu_seconds(t.pid);
    EXPECT_LT(cpu_back - cpu_gone, 0.5) << "waiting " << (double)(now_ns() - gone_at) / 1e9
                                        << " s for the device must not spin";
    EXPECT_EQ(count_of(t.screen, " - connection lost."), 1u);

    console_type(t, "ef");
    EXPECT_TRUE(sim_wait_received(g.sim, "abef", 10)) << "keys after the return reach the new line: "
                                                 << sim_received(g.sim, false);
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_FALSE(has(t.screen, "Error from write"));
    EXPECT_FALSE(has(t.screen, "cd")) << "keys while the device is gone are not echoed";
    EXPECT_EQ(sim_received(g.sim), "abef");
    EXPECT_TRUE(console_settings_untouched(t));
}

// The commonest session: upload, reboot, watch the boot log. The device re-enumerates on
// "reboot" and the terminal of -t follows it back, the stored file still there; keys typed
// there reach the device behind the reboot.
TEST(Reconnect, UploadRebootAndTheTerminalFollowsTheReboot)
{
    std::string file = make_file(make_temp_dir("reboot"), "app.bin", 5000);
    SimGuard g({ "--unplug-on-reboot", "--replug-after-ms", "1000" });
    Console t;
    ASSERT_TRUE(console_start(t, serbolt_argv(upload_args(g.sim, file, "fw/app.bin", { "-b", "-t" }))));
    ASSERT_TRUE(console_wait_for(t, "Data sent.", 30)) << t.screen;
    ASSERT_TRUE(console_wait_for(t, "Reboot sent...", 30)) << t.screen;
    ASSERT_TRUE(console_wait_for(t, " - connection lost.", 30)) << t.screen;
    ASSERT_TRUE(console_wait_for(t, "Serial device " + g.sim.link + " - connected.\r\n" + BANNER, 30))
        << t.screen;
    console_type(t, "ls\r");
    EXPECT_TRUE(console_wait_for(t, "fw/app.bin 5000", 10)) << t.screen;
    EXPECT_EQ(quit_with_x(t), 0);
    EXPECT_EQ(read_file(g.sim.store + "/fw/app.bin"), read_file(file));
    std::string wire = sim_received(g.sim);
    EXPECT_EQ(wire.substr(wire.size() - 10), "reboot\nls\n");
}

// Keys from a pipe: a lost line ends the session with status 1, so the script learns it broke.
TEST(Reconnect, ScriptedTerminalEndsWithStatusOneWhenTheLineIsLost)
{
    SimGuard g({ "--unplug-after-ms", "3000" });
    Job j;
    ASSERT_TRUE(job_start(j, { "-d", g.sim.link }, JOB_FOREGROUND | JOB_STDIN_PIPE));
    ASSERT_TRUE(console_wait_for(j.c, "connected.", 10));
    ASSERT_EQ(write(j.in_fd, "ver", 3), 3);   // the pipe stays open: input has not ended
    EXPECT_TRUE(sim_wait_received(g.sim, "ver", 10));
    ASSERT_TRUE(console_wait_for(j.c, " - connection lost.", 30)) << j.c.screen;
    EXPECT_EQ(job_finish(j, 20), 1);
    EXPECT_EQ(count_of(j.c.screen, " - connection lost."), 1u);
    EXPECT_FALSE(has(j.c.screen, "Error from write"));
}

// An upload does not wait for the device: a line lost in the payload fails it at once with
// status 1, and it is not tried again when the device comes back.
TEST(Reconnect, AnUploadDoesNotWaitForTheDevice)
{
    std::string file = make_file(make_temp_dir("upunplug"), "f", 3000000);   // about 33 s at the line rate
    SimGuard g({ "--rate", "92160", "--unplug-after-ms", "2000", "--replug-after-ms", "200" });
    Outcome r = upload(g.sim, file, "f", { "-b" });
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(count_of(r.out, " - connection lost.\n"), 1u) << r.out;
    EXPECT_EQ(count_of(r.out, " - connected.\n"), 1u) << "no reconnect outside the terminal: " << r.out;
    EXPECT_FALSE(has(r.out, "Data sent."));
    EXPECT_FALSE(has(r.out, "Reboot sent..."));
    EXPECT_LT(r.seconds, 25.0) << "the upload ends when the line is lost, not after the payload's time";
    EXPECT_EQ(count_of(sim_received(g.sim), "filecopy\n"), 1u);
}
