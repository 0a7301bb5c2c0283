// serbolt holds its line exclusively (flock, lock file, exclusive mode): a second program
// on the same device is refused instead of mixing its bytes into an upload. The refused one
// runs in a private /dev with no default devices, so a refused -d ends its search.
#include "common.h"

#include <sys/file.h>
#include <sys/mount.h>
#include <sched.h>
#include <thread>

// serbolt writes its lock file (LCK..NAME) in the lock directory: this test program, and every
// serbolt it starts, gets a private one, a tmpfs over /run/lock in a mount namespace of its own,
// so nothing lands in the machine's. Without the rights for that the lock file tests skip.
static const bool lock_dir_private = [] {
    return geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("private-lock", "/run/lock", "tmpfs", 0, "mode=1777") == 0;
}();

// Opens `path` as an ordinary user (nobody), as a terminal program would: 0 opened, else errno.
static int open_as_user(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(255);
        _exit(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : errno);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

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
    // Programs that use neither the flock nor lock files (cat, stty -F) are kept off too: the
    // line is in exclusive mode, and serbolt's lock file names it for those that do (minicom).
    chmod(g.sim.slave.c_str(), 0666);
    std::string lock = "/run/lock/LCK.." + g.sim.slave.substr(5).replace(3, 1, "_");
    std::string holder = read_file("/proc/" + std::to_string(atol(read_file(lock).c_str())) + "/comm");
    int busy = geteuid() == 0 ? open_as_user(g.sim.slave) : EBUSY;
    runner.join();
    EXPECT_EQ(busy, EBUSY) << "an ordinary user's open while serbolt holds the line";
    EXPECT_TRUE(!lock_dir_private || holder == "serbolt\n") << lock << ": " << holder;
    EXPECT_EQ(read_file(lock), "") << "the lock file is removed";
    EXPECT_EQ(geteuid() == 0 ? open_as_user(g.sim.slave) : 0, 0) << "exclusive mode is cleared when serbolt ends";
    SKIP_WITHOUT_NAMESPACE(two);

    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.out.rfind("Serial device " + g.sim.link + " - failed to connect.\n", 0), 0u) << two.out;
    EXPECT_TRUE(has(two.err, "serbolt: " + g.sim.link + ": in use by another program, held by process "));
    EXPECT_TRUE(has(two.err, "(serbolt)")) << "the holder is named: " << two.err;

    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_TRUE(has(one.out, "Data sent.\n"));
    EXPECT_TRUE(read_file(g.sim.store + "/first.bin") == read_file(first)) << "stored copy differs";
    std::string wire = sim_received(g.sim);
    EXPECT_FALSE(has(wire, "second"));
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
    EXPECT_TRUE(has(refused.err, "in use by another program, held by process " + std::to_string(holder) +
                                     " (flock)"));
    EXPECT_EQ(sim_received(g.sim, false), "") << "nothing sent to a device another program holds";

    Outcome after = serbolt_private_dev("-", "-", upload_args(g.sim, file, "f"));
    EXPECT_EQ(after.status, 0) << after.out << after.err;
    EXPECT_EQ(read_file(g.sim.store + "/f"), read_file(file));

    // The same for a UUCP lock file (as minicom writes one) by the name given or the device's
    // real name, here naming this test; a stale one is taken over, and removed at the end.
    if (!lock_dir_private)
        GTEST_SKIP() << "no private lock directory here";
    for (const std::string &lock : { std::string("/run/lock/LCK..tty"), "/run/lock/LCK..pts_" + g.sim.slave.substr(9) }) {
        write_file(lock, "  " + std::to_string(getpid()) + "\n");
        Outcome busy = serbolt_private_dev("-", "-", upload_args(g.sim, file, "f"));
        EXPECT_TRUE(has(busy.err, "use by another program, held by process " + std::to_string(getpid()) +
                                      " (serbolt_e2e)")) << lock;
        write_file(lock, "  99999999\n");
        EXPECT_EQ(serbolt_private_dev("-", "-", upload_args(g.sim, file, "f")).status, 0) << lock;
        EXPECT_EQ(read_file(lock), "") << "taken over, and removed at the end";
    }
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
    EXPECT_TRUE(has(r.err, "serbolt: " + named.sim.link + ": in use by another program, held by process " +
                               std::to_string(getpid())));
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
    EXPECT_TRUE(has(fallback.err, "serbolt: /dev/ttyUSB0: in use by another program"));
}
