// korvan-sim --port: the simulator on a serial device that exists already. A pseudo-terminal
// pair stands in for the two ends of a null-modem cable: the sim serves on the slave, the test
// is the host on the master. Closing the master is the device's adapter pulled out.
#include "harness.h"
#include "record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One sim serving on `port`, a symbolic link to the slave of the pair the test holds as `host`.
struct PortSim {
    std::string dir, port, store, record, log;
    int host = -1;   // master of the current pair: the far end of the cable
    int out = -1;    // the sim's standard output: the port's path, once per open
    Child proc;
    ~PortSim()
    {
        child_kill(proc);
        if (host >= 0) close(host);
        if (out >= 0) close(out);
    }
};

// A new pair whose slave the link `s.port` names; the old master, if any, is closed first.
void plug(PortSim &s, const char *stale = nullptr)
{
    if (s.host >= 0) close(s.host);
    int slave = -1;
    ASSERT_TRUE(make_pty(&s.host, &slave));
    // Bytes that wait in the device's input before the sim opens it belong to nobody.
    if (stale) {
        struct termios t;   // a cooked terminal, but one that does not echo, as a real line
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        ASSERT_EQ(write(s.host, stale, strlen(stale)), (ssize_t)strlen(stale));
    }
    std::string name = ttyname(slave);
    close(slave);
    fs::remove(s.port);
    fs::create_symlink(name, s.port);
}

// Reads one line of the sim's standard output ("" on time-out or end).
std::string next_line(PortSim &s, double timeout_s)
{
    std::string line;
    uint64_t end = now_ns() + (uint64_t)(timeout_s * 1e9);
    char c;
    while (now_ns() < end) {
        struct pollfd p = { s.out, POLLIN, 0 };
        if (poll(&p, 1, 100) <= 0) continue;
        if (read(s.out, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return "";
}

void start(PortSim &s, const char *stale = nullptr)
{
    s.dir = make_temp_dir("port");
    ASSERT_FALSE(s.dir.empty());
    s.port = s.dir + "/port";
    s.store = s.dir + "/store";
    s.record = s.dir + "/record";
    s.log = s.dir + "/sim.log";
    ASSERT_NO_FATAL_FAILURE(plug(s, stale));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    int log = open(s.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int fds[3] = { -1, out[1], log };
    bool ok = spawn(s.proc, { build_dir() + "/korvan-sim", "--port", s.port, "--store", s.store,
                              "--record", s.record }, fds);
    close(out[1]);
    close(log);
    s.out = out[0];
    ASSERT_TRUE(ok);
    ASSERT_EQ(next_line(s, 20), s.port) << read_file(s.log);
}

// Reads from the host end until `needle` has come or `timeout_s` passed.
std::string host_read(PortSim &s, const std::string &needle, double timeout_s = 20)
{
    std::string got;
    uint64_t end = now_ns() + (uint64_t)(timeout_s * 1e9);
    while (got.find(needle) == std::string::npos && now_ns() < end) {
        struct pollfd p = { s.host, POLLIN, 0 };
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = read(s.host, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    return got;
}

void host_write(PortSim &s, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(s.host, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        ASSERT_GT(w, 0) << strerror(errno);
        done += (size_t)w;
    }
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

std::string every_byte_value()
{
    std::string b;
    for (int r = 0; r < 16; r++)
        for (int i = 0; i < 256; i++) b += (char)i;
    return b;
}

}  // namespace

TEST(Port, ServesAnExistingDeviceRawAt921600FromAFreshStart)
{
    PortSim s;
    ASSERT_NO_FATAL_FAILURE(start(s, "stale\n"));
    expect_korvan_line(s.host);
    const std::string data = every_byte_value();
    host_write(s, "filecopy\n" + std::to_string(data.size()) + "\nfw/all.bin\n" + data);
    EXPECT_EQ(host_read(s, "received\r\n"), "Ko:Ready\r\nKo:Data received\r\n")
        << "what waited on the line before the sim opened it was thrown away";
    EXPECT_EQ(read_file(s.store + "/fw/all.bin"), data);
    kill(s.proc.pid, SIGTERM);
    ASSERT_TRUE(child_wait(s.proc, 20));
    EXPECT_EQ(s.proc.status, 0);
    std::vector<RecordChunk> chunks;
    ASSERT_TRUE(record_load(s.record.c_str(), chunks));
    std::string got;
    for (const RecordChunk &c : chunks) got += c.bytes;
    EXPECT_EQ(got.rfind("filecopy\n", 0), 0u) << "nothing stale in front";
}

TEST(Port, WaitsForAVanishedDeviceAndComesBackBooted)
{
    PortSim s;
    ASSERT_NO_FATAL_FAILURE(start(s));
    host_write(s, "filecopy\n5\nkept\nhello");
    ASSERT_EQ(host_read(s, "received\r\n"), "Ko:Ready\r\nKo:Data received\r\n");
    // Pulled out: the slave's node goes with the master, and the link points at nothing.
    close(s.host);
    s.host = -1;
    fs::remove(s.port);
    uint64_t end = now_ns() + 20 * 1000000000ull;
    while (read_file(s.log).find("went away") == std::string::npos && now_ns() < end)
        poll(nullptr, 0, 20);
    ASSERT_NE(read_file(s.log).find("port went away (hung up); waiting for it to come back"),
              std::string::npos) << read_file(s.log);
    EXPECT_EQ(waitpid(s.proc.pid, nullptr, WNOHANG), 0) << "the sim waits, it does not end";
    // Plugged in again, maybe under another number; the link follows it as udev's names do.
    ASSERT_NO_FATAL_FAILURE(plug(s));
    ASSERT_EQ(next_line(s, 20), s.port) << read_file(s.log);
    EXPECT_EQ(host_read(s, "\r\n"), "Korvan simulator 1.0 booted\r\n");
    expect_korvan_line(s.host);
    host_write(s, "ls\n");
    EXPECT_EQ(host_read(s, "\r\n"), "kept 5\r\n") << "the store is kept";
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
    EXPECT_EQ(plain.err, "korvan-sim: " + dir + "/plain: not a serial device: " +
                             strerror(ENOTTY) + "\n");
    Outcome both = run_program({ sim, "--port", dir + "/plain", "--link", dir + "/l" }, 20);
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.out, "");
}
