// serbolt holds its line exclusively (flock, as other serial terminals do): a second program
// on the same device is refused instead of mixing its bytes into an upload. The refused one
// runs in a private /dev with no default devices, so a refused -d ends its search.
#include "common.h"

#include <sys/file.h>
#include <thread>

// Two uploads to one device at once: the second is refused while the first is in its
// payload, and the first's stored copy is whole.
TEST(Exclusive, ASecondUploadIsRefusedAndTheFirstArrivesWhole)
{
    std::string dir = make_temp_dir("excl");
    std::string first = make_file(dir, "first", 400000);   // about 4 s at the line rate
    std::string second = make_file(dir, "second", 5000);
    SimGuard g({ "--rate", "92160" });
    Outcome one;
    std::thread runner([&] {
        one = upload(g.sim, first, "first.bin", {}, 120);
    });
    ASSERT_TRUE(sim_wait_received(g.sim, "filecopy\n400000\nfirst.bin\n", 60, true)) << "first upload begins";
    Outcome two = serbolt_private_dev("-", "-", upload_args(g.sim, second, "second.bin"));
    runner.join();
    SKIP_WITHOUT_NAMESPACE(two);

    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.out.rfind("Serial device " + g.sim.link + " - failed to connect.\n", 0), 0u) << two.out;
    EXPECT_NE(two.err.find("serbolt: " + g.sim.link + ": in use by another program, held by process "),
              std::string::npos) << two.err;
    EXPECT_NE(two.err.find("(serbolt)"), std::string::npos) << "the holder is named: " << two.err;

    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_NE(one.out.find("Data sent.\n"), std::string::npos);
    EXPECT_TRUE(read_file(g.sim.store + "/first.bin") == read_file(first)) << "stored copy differs";
    std::string wire = sim_received(g.sim);
    EXPECT_EQ(wire.find("second"), std::string::npos);
    EXPECT_EQ(count_of(wire, "filecopy\n"), 1u) << "nothing of the second upload on the wire";
}

// The flock command (util-linux) holds the device: serbolt names it and keeps off; once the
// lock is given up the device is serbolt's again.
TEST(Exclusive, ALockHeldByAnotherProgramIsRespected)
{
    if (access("/usr/bin/flock", X_OK) != 0)
        GTEST_SKIP() << "the flock command (util-linux) is not installed";
    std::string file = make_file(make_temp_dir("flock"), "f", 1000);
    SimGuard g;
    // -o: the lock stays with flock itself, not with the sleep it runs. Ended (with its sleep, in
    // its process group) however the test ends.
    Child held;
    const int fds[3] = { -1, -1, -1 };
    ASSERT_TRUE(spawn(held, { "/usr/bin/flock", "-n", "-o", g.sim.link, "sleep", "120" }, fds));
    pid_t holder = held.pid;
    // The lock is in place once /proc/locks lists it for the holder.
    std::string entry = " " + std::to_string(holder) + " ";
    ASSERT_TRUE(wait_until([&] { return read_file("/proc/locks").find(entry) != std::string::npos; }, 20))
        << "flock did not take the lock";

    Outcome refused = serbolt_private_dev("-", "-", upload_args(g.sim, file, "f"));
    child_kill(held);
    SKIP_WITHOUT_NAMESPACE(refused);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("in use by another program, held by process " + std::to_string(holder) +
                               " (flock)"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(sim_received(g.sim, false), "") << "nothing sent to a device another program holds";

    Outcome after = serbolt_private_dev("-", "-", upload_args(g.sim, file, "f"));
    EXPECT_EQ(after.status, 0) << after.out << after.err;
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));
}

// A board named with -d that another program holds is not swapped for the board on the default
// device: the search ends there, with the reason. A busy default device is still passed over.
TEST(Exclusive, ABusyNamedDeviceEndsTheSearchAndABusyDefaultIsPassedOver)
{
    SimGuard named, usb0, usb1;
    std::string file = make_file(make_temp_dir("busy"), "f", 100);
    int holder = open(named.sim.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Outcome r = serbolt_private_dev(usb0.sim.slave, usb1.sim.slave, upload_args(named.sim, file, "f", { "-b" }));
    close(holder);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Serial device " + named.sim.link + " - failed to connect.\n");
    EXPECT_NE(r.err.find("serbolt: " + named.sim.link + ": in use by another program, held by process " +
                         std::to_string(getpid())),
              std::string::npos)
        << r.err;
    EXPECT_EQ(sim_received(usb0.sim), "") << "the upload went to another board";
    EXPECT_EQ(sim_received(named.sim), "");

    holder = open(usb0.sim.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Outcome fallback = serbolt_private_dev(usb0.sim.slave, usb1.sim.slave, { "-a", "2" });
    close(holder);
    EXPECT_EQ(fallback.out, "Serial device (none) - failed to connect.\n"
                            "Serial device /dev/ttyUSB0 - failed to connect.\n"
                            "Serial device /dev/ttyUSB1 - connected.\n");
    EXPECT_NE(fallback.err.find("serbolt: /dev/ttyUSB0: in use by another program"), std::string::npos)
        << fallback.err;
}
