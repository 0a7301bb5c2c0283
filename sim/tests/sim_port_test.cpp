// korvan-sim --port: the simulator on a serial device that exists already. A pseudo-terminal
// pair stands in for the two ends of a null-modem cable: the sim serves on the slave, the test
// is the host on the master. Closing the master is the device's adapter pulled out.
#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// One sim serving on `port`, a symbolic link to the slave of the pair the test holds as `host`.
struct PortSim {
    std::string dir, port;
    int host = -1;   // master of the current pair: the far end of the cable
    Sim sim;
    ~PortSim() { close_fd(host); }
};

// A new pair whose slave the link `s.port` names; the old master, if any, is closed first.
void plug(PortSim &s, const char *stale = nullptr)
{
    close_fd(s.host);
    int slave = -1;
    ASSERT_TRUE(make_pty(&s.host, &slave));
    // Bytes that wait in the device's input before the sim opens it belong to nobody.
    if (stale) {
        struct termios t;   // a cooked terminal, but one that does not echo, as a real line
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        ASSERT_TRUE(write_fd(s.host, stale));
    }
    std::string name = ttyname(slave);
    close(slave);
    fs::remove(s.port);
    fs::create_symlink(name, s.port);
}

void start(PortSim &s, const char *stale = nullptr)
{
    s.dir = make_temp_dir("port");
    ASSERT_FALSE(s.dir.empty());
    s.port = s.dir + "/port";
    ASSERT_NO_FATAL_FAILURE(plug(s, stale));
    ASSERT_TRUE(sim_start(s.sim, { "--port", s.port }));
    ASSERT_EQ(s.sim.slave, s.port) << "the sim names the port it opened";
}

// The device's line as the sim left it: a master reports its slave's settings.
void expect_korvan_line(int host)
{
    struct termios t;
    ASSERT_EQ(tcgetattr(host, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B921600);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B921600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw input";
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u) << "bytes pass unchanged";
    EXPECT_EQ(t.c_oflag & OPOST, 0u) << "bytes pass unchanged";
}

}  // namespace

TEST(Port, ServesAnExistingDeviceRawAt921600FromAFreshStart)
{
    PortSim s;
    ASSERT_NO_FATAL_FAILURE(start(s, "stale\n"));
    expect_korvan_line(s.host);
    const std::string data = all_byte_values(16);
    write_fd(s.host, "filecopy\n" + std::to_string(data.size()) + "\nfw/all.bin\n" + data);
    EXPECT_EQ(read_until(s.host, "received\r\n", 20), "Ko:Ready\r\nKo:Data received\r\n")
        << "what waited on the line before the sim opened it was thrown away";
    EXPECT_EQ(read_file(s.sim.store + "/fw/all.bin"), data);
    EXPECT_EQ(sim_stop(s.sim), 0);
    EXPECT_EQ(sim_received(s.sim).rfind("filecopy\n", 0), 0u) << "nothing stale in front";
}

TEST(Port, WaitsForAVanishedDeviceAndComesBackBooted)
{
    PortSim s;
    ASSERT_NO_FATAL_FAILURE(start(s));
    write_fd(s.host, "filecopy\n5\nkept\nhello");
    ASSERT_EQ(read_until(s.host, "received\r\n", 20), "Ko:Ready\r\nKo:Data received\r\n");
    // Pulled out: the slave's node goes with the master, and the link points at nothing.
    close(s.host);
    s.host = -1;
    fs::remove(s.port);
    ASSERT_TRUE(wait_until([&] {
        return read_file(s.sim.log).find("port went away (hung up); waiting for it to come back") != std::string::npos;
    }, 20)) << read_file(s.sim.log);
    EXPECT_TRUE(sim_alive(s.sim)) << "the sim waits, it does not end";
    // Plugged in again, maybe under another number; the link follows it as udev's names do.
    ASSERT_NO_FATAL_FAILURE(plug(s));
    ASSERT_TRUE(sim_wait_replug(s.sim, 20)) << read_file(s.sim.log);
    EXPECT_EQ(s.sim.slave, s.port);
    EXPECT_EQ(read_until(s.host, "\r\n", 20), "Korvan simulator 1.0 booted\r\n");
    expect_korvan_line(s.host);
    write_fd(s.host, "ls\n");
    EXPECT_EQ(read_until(s.host, "\r\n", 20), "kept 5\r\n") << "the store is kept";
}

TEST(Port, RefusesWhatCannotBeItsLine)
{
    std::string dir = make_temp_dir("port");
    ASSERT_FALSE(dir.empty());
    const std::string sim = build_dir() + "/korvan-sim";
    Outcome absent = run_program({ sim, "--port", dir + "/ttyUSB9", "--store", dir + "/s" }, 20);
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err, "korvan-sim: " + dir + "/ttyUSB9: No such file or directory\n");
    write_file(dir + "/plain", "x");
    Outcome plain = run_program({ sim, "--port", dir + "/plain", "--store", dir + "/s" }, 20);
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err, "korvan-sim: " + dir + "/plain: not a serial device: " + strerror(ENOTTY) + "\n");
    Outcome both = run_program({ sim, "--port", dir + "/plain", "--link", dir + "/l" }, 20);
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.out, "");
}
