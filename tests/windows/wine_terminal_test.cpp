// serbolt2.exe under Wine: the console terminal, with keys typed into the
// program's own console by the serbolt2_keys helper.
#include "wine_common.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

namespace {

const char kEntering[] = "Entering terminal mode. Press 'x' to exit.\n";
const char kExiting[] = "\nExiting terminal mode.\n";

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What the device received, once `expected` is in and no byte follows; a
// mismatch shows the end of both (the upload before it is binary).
void expect_received(Device &dev, const std::string &expected)
{
    std::string got = dev.received();
    auto tail = [](const std::string &text) { return text.substr(text.size() > 30 ? text.size() - 30 : 0); };
    EXPECT_TRUE(got == expected) << got.size() << " bytes, ending \"" << tail(got) << "\"; expected "
                                 << expected.size() << ", ending \"" << tail(expected) << "\"";
}

TEST(WineTerminal, KeysGoToTheDeviceAndItsBytesToTheScreen)
{
    Device dev;
    // A command and Enter; once the device's answer shows, a capital X; then x to leave.
    Outcome run = serbolt2_keys("version\\r{?Korvan simulator}Xx", {"-d", kPort}, 30, {"-screen", "Exiting"});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.out;
    // Enter goes out as a line feed; the x that ends the terminal is not sent.
    EXPECT_EQ(dev.received(), "version\nX");
    // Keys echoed, the device's answer on a line of its own.
    EXPECT_TRUE(has(run.out, connected() + kEntering + "version\nKorvan simulator 1.0\nX" + kExiting));
}

// Command lines that run the terminal, whatever else they hold; standard error
// names what plays no part.
TEST(WineTerminal, TerminalActionWhateverElseTheCommandLineSays)
{
    const char kUploadOptions[] = "serbolt2: -i, -o, -b, -r and -t take effect only with -a 1\n";
    const struct {
        std::vector<std::string> args;
        std::string err;   // the run is the same; standard error says what was left out
    } lines[] = {
        {{"-d", kPort, "-t"}, kUploadOptions},  // -t alone: the terminal once, no "Staying" line
        // options after a plain word are not looked at
        {{"-d", kPort, "stray", "-a", "1"}, "serbolt2: ignoring 'stray' and what follows it\n"},
        {{"-d", kPort, "-a", "-1", "-b"}, kUploadOptions},
        // The parse ends at --help and the terminal runs.
        {{"-d", kPort, "--help"}, "serbolt2: ignoring '--help' and what follows it\n"},
        // A port named without -d: COM7 is still opened through -d.
        {{"-d", kPort, "COM3", "-b"}, "serbolt2: ignoring 'COM3' and what follows it\n"},
        {{"-d", kPort, "-", "-a", "1"}, "serbolt2: ignoring '-' and what follows it\n"},
        // A closing "--" leaves nothing out.
        {{"-d", kPort, "--"}, ""},
        // Upload options that an upload alone would use, and a word as well.
        {{"-d", kPort, "-i", "in.bin", "-o", "out.bin", "stray"},
         "serbolt2: ignoring 'stray' and what follows it\n" + std::string(kUploadOptions)},
    };
    for (const auto &line : lines) {
        SCOPED_TRACE(testing::PrintToString(line.args));
        // Bytes waiting before the open are purged with the port's buffers.
        Device dev({"--say", "stale\\r\\n"});
        Outcome run = serbolt2_keys("x", line.args);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, connected() + kEntering + kExiting);
        EXPECT_EQ(run.err, line.err);
        EXPECT_EQ(dev.received(), "");
    }
}

// The values of `call` in a Wine trace: the text between "call(" and ")" of
// each line that has it, in order.
std::vector<std::string> traced_calls(const std::string &trace, const std::string &call)
{
    std::vector<std::string> values;
    for (size_t at = 0; (at = trace.find(call + "(", at)) != std::string::npos;) {
        at += call.size() + 1;
        size_t end = trace.find(')', at);
        if (end == std::string::npos)
            break;
        values.push_back(trace.substr(at, end - at));
    }
    return values;
}

// Every console mode that serbolt2 changed is given back: in Wine's trace (+console), QuickEdit
// (0x40) taken off the input with ENABLE_EXTENDED_FLAGS (0x80), escape sequences (4) put on for the
// output, and the last mode of each handle the one it had.
void expect_modes_given_back(const std::string &trace)
{
    std::map<std::string, std::vector<unsigned long>> modes;
    for (const std::string &set : traced_calls(trace, "trace:console:SetConsoleMode ")) {
        size_t comma = set.find(',');
        modes[set.substr(0, comma)].push_back(std::stoul(set.substr(comma + 1), nullptr, 16));
    }
    bool quickEditOff = false, escapesOn = false;
    for (const auto &handle : modes) {
        unsigned long first = handle.second.front(), last = handle.second.back();
        quickEditOff |= (first & 0xC0) == 0x80 && last == (first | 0x40);
        escapesOn |= (first & 0xC4) == 4 && last == (first & ~4ul);
    }
    EXPECT_TRUE(quickEditOff && escapesOn) << trace;
}

// Keys go to the device as UTF-8, whatever the console's code page: à (which _getwch could not tell
// from a cursor key's prefix), a CJK letter and a character beyond U+FFFF (a surrogate pair).
// Cursor and function keys are not sent. The device's UTF-8 answer shows as such on the console,
// whose code page and modes are as they were at the end.
TEST(WineTerminal, KeysAndScreenInUtf8)
{
    Device dev;
    const std::string typed = "a\xC3\xA0" "b\xE6\x97\xA5\xF0\x9F\x98\x80";  // aàb日😀
    // Ctrl-C ends the terminal as 'x' does, but with a status that is no success.
    Outcome run = serbolt2_keys("{vk:26}{vk:28}a\\xE0{vk:25}b{vk:27}\\u65E5\\uD83D\\uDE00\\r{?Unknown command}{^C}",
                                {"-d", kPort}, 30, {"-left", "-screen", "Unknown command"}, "+console");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, kInterruptedStatus) << run.err;
    EXPECT_EQ(dev.received(), typed + "\n");
    EXPECT_TRUE(has(run.out, typed + "\nUnknown command: " + typed + "\n\nExiting terminal mode.\n"));
    EXPECT_TRUE(has(run.err, "keys: 0 input events left, code page 437"));
    expect_modes_given_back(run.err);
}

TEST(WineTerminal, AfterUploadRebootResetThenTerminal)
{
    Device dev;
    std::string file = make_file(dev.sim.dir, "in.bin", 300);
    // Options in the reverse order of what they do. The keys are typed once the
    // terminal is on the screen (keys typed before it are thrown away).
    Outcome run = serbolt2_keys("{?Entering terminal mode.}q\\r{?Unknown command: q}x",
                                {"-d", kPort, "-t", "-r", "-b", "-a", "1", "-i", win_path(file), "-o",
                                 "dst/t.bin"},
                                30, {"-screen", "Staying"});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "Data sent successfully.\nReboot sent...\nReset sent...\nStaying in terminal mode...\n" +
                                 std::string(kEntering)));
    EXPECT_TRUE(has(run.out, "Exiting terminal mode."));
    expect_received(dev, "filecopy\n300\ndst/t.bin\n" + read_file(file) + "reboot\nreset\nq\n");
}

// Keys from a pipe or a file: each byte a key, and the end of the input ends
// the terminal once the device has had its say.
TEST(WineTerminal, KeysFromStandardInputThenTheEnd)
{
    // At 30 bytes a second the device reads the first line in about 0.25 s
    // and only then begins to answer, some 0.2 s after the input has ended.
    Device dev({"--rate", "30"});
    // A Windows text file's CR LF is one Enter: one line feed on the wire.
    Outcome run = serbolt2_input({"-d", kPort}, "version\r\nls\n");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dev.received(), "version\nls\n");
    std::string head = connected() + kEntering;
    EXPECT_EQ(run.out.compare(0, head.size(), head), 0) << run.out;
    // The answers that came after the last key are shown whole before the end.
    EXPECT_TRUE(has(run.out, "Korvan simulator 1.0\r\n(no files)\r\n" + std::string(kExiting)));

    // 'x' in the input leaves at once; what follows it is not sent. (The
    // device's answer to "ab" may begin to show before the 'x' is taken.) A
    // device at full speed: nothing of its answer is left for the next run.
    dev.unplug();
    ASSERT_TRUE(dev.start());
    run = serbolt2_input({"-d", kPort}, "ab\nx\ncd\n");
    EXPECT_EQ(run.status, 0) << run.err;
    head = connected() + kEntering + "ab\n";
    ASSERT_EQ(run.out.compare(0, head.size(), head), 0) << run.out;
    ASSERT_TRUE(ends_with(run.out, kExiting)) << run.out;
    std::string answer = run.out.substr(head.size(), run.out.size() - head.size() - strlen(kExiting));
    EXPECT_EQ(std::string("Unknown command: ab\r\n").compare(0, answer.size(), answer), 0) << answer;
    EXPECT_EQ(dev.received(), "ab\n");

    // No input at all (a scheduled task): the terminal ends by itself.
    run = serbolt2({"-d", kPort});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, connected() + kEntering + kExiting);
}

// A device that streams while a script types 2,000 keys: its output shows between the keys, every
// byte in order, and the script still ends, at most 5 s after its input.
TEST(WineTerminal, DeviceOutputBetweenScriptedKeysAndAnEndWhileItTalks)
{
    // Lines of "stream NNNNNN abc...789\n" at the real line rate, for ever.
    Device dev({"--stream", "0", "--rate", "92160", "--eol", "\\n"});
    const std::string keys(2000, 'Q');   // a letter the stream never has
    Outcome run = serbolt2_input({"-d", kPort}, keys, 60);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(run.seconds, 5.0) << "the script ended before the device fell quiet";
    EXPECT_EQ(dev.received(), keys);

    std::string head = connected() + kEntering;
    ASSERT_EQ(run.out.compare(0, head.size(), head), 0) << run.out.substr(0, 200);
    ASSERT_TRUE(ends_with(run.out, kExiting));
    std::string shown = run.out.substr(head.size(), run.out.size() - head.size() - strlen(kExiting));
    size_t lastKey = shown.rfind('Q');
    ASSERT_NE(lastKey, std::string::npos);
    std::string device;
    size_t deviceBeforeLastKey = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        if (shown[i] == 'Q')
            continue;
        device += shown[i];
        if (i < lastKey)
            deviceBeforeLastKey++;
    }
    EXPECT_EQ(shown.size() - device.size(), keys.size()) << "every key echoed once";
    // The keys take 2 s or more; the device sends 92 bytes a millisecond.
    EXPECT_GT(deviceBeforeLastKey, 10000u) << "device output waited behind the keys";
    // What was shown is one piece of the stream (it began before the port was
    // opened and purged), from a line's middle on.
    std::string stream;
    for (unsigned n = 1; stream.size() < device.size() + 2 * 64 * 1024; n++) {
        char line[64];
        snprintf(line, sizeof line, "stream %06u abcdefghijklmnopqrstuvwxyz0123456789\n", n);
        stream += line;
    }
    EXPECT_TRUE(has(stream, device)) << "bytes lost, doubled or out of order";
}

// What Wine cannot show, its traces can: the 1 ms timer is asked for while keys are paced and given
// back (on Windows 10 2004 and later Sleep(1) would otherwise last 15.6 ms).
TEST(WineTerminal, AsksFor1MsTimer)
{
    Device dev({"--silent"});
    Outcome run = serbolt2_input({"-d", kPort}, "abc", 20, "+relay");
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> begun = traced_calls(run.err, "Call winmm.timeBeginPeriod");
    EXPECT_EQ(begun, std::vector<std::string>{"00000001"});
    EXPECT_EQ(traced_calls(run.err, "Call winmm.timeEndPeriod"), begun);
}

// Keys typed while an upload runs are not meant for the device; after 'x'
// nothing is left in the console for the shell to read.
TEST(WineTerminal, NoReplayedKeysAndNoLeftovers)
{
    // At the real line rate 300,000 bytes take more than 3 s however fast the
    // machine is: the first paste lands while the upload runs.
    Device dev({"--rate", "92160"});
    std::string file = make_file(dev.sim.dir, "in.bin", 300000);
    // {w} waits until the terminal has thrown the typed-ahead keys away; then a
    // paste whose 'x' ends the terminal, with "zz" behind it.
    Outcome run = serbolt2_keys("{p}junk x{/p}{w}{p}q\\rxzz{/p}",
                                {"-d", kPort, "-a", "1", "-i", win_path(file), "-o", "dst/t.bin", "-t"}, 60,
                                {"-left"});
    EXPECT_FALSE(run.timed_out) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "keys: 0 input events left, code page 437\n");
    // The line end behind the device's reply shows first, then the one key.
    EXPECT_TRUE(has(run.out, "Staying in terminal mode...\n" + std::string(kEntering)));
    EXPECT_TRUE(ends_with(run.out, "\nq\n" + std::string(kExiting))) << run.out;
    expect_received(dev, "filecopy\n300000\ndst/t.bin\n" + read_file(file) + "q\n");
}

// A paste goes out whole and at the pace of the paced send, not one key per
// read time-out of a quiet line (200 keys would take 12 s or more that way).
TEST(WineTerminal, PasteGoesOutAtOnce)
{
    Device dev;
    std::string paste;
    for (int i = 0; paste.size() < 200; i++)
        paste += "0123456789"[i % 10];
    Outcome run = serbolt2_keys("{p}" + paste + "{/p}{w}x", {"-d", kPort});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, connected() + kEntering + paste + kExiting);
    EXPECT_EQ(dev.received(), paste);
    std::vector<Chunk> chunks = sim_chunks(dev.sim);
    uint64_t first = sim_byte_time(chunks, 0), last = sim_byte_time(chunks, paste.size() - 1);
    EXPECT_LT(last - first, 8000000000ull) << "the paste took " << (last - first) / 1000000 << " ms";
}

// The commonest session with a device that goes away and comes back: upload, stay in the terminal,
// type "reboot"; the device re-enumerates on reboot and is back a second later. Said on standard
// error, the port is opened again by its name, the device's greeting is shown, and keys typed as
// soon as "connected." shows (the greeting may still be on its way) reach the device, which takes
// them as one command.
TEST(WineTerminal, LostPortIsOpenedAgain)
{
    Device dev({"--unplug-on-reboot", "--replug-after-ms", "1000"});
    std::string file = make_file(dev.sim.dir, "in.bin", 500);
    std::string gate = make_temp_dir("gate") + "/parked";
    bool back = false;
    std::thread follow([&] {
        // The program holds the port once the upload began. Only then may the device go (the
        // helper types "reboot" after the go-ahead, in the terminal).
        if (!dev.wait_for("filecopy"))
            return;
        dev.park();
        write_file(gate, "");
        back = dev.replugged();
    });
    Outcome run = serbolt2_keys("{f:" + win_path(gate) + "}{?Entering terminal mode.}reboot\\r"
                                "{?COM port COM7 - connected.}cd\\r{?Unknown command: cd}x",
                                {"-d", kPort, "-a", "1", "-i", win_path(file), "-o", "dst/r.bin", "-t"}, 60,
                                {"-screen", "connection lost"});
    follow.join();
    EXPECT_TRUE(back);
    EXPECT_FALSE(run.timed_out) << run.out;
    EXPECT_EQ(run.status, 0) << run.out;
    // The lost and connected lines once each (standard output and error share the console), the new
    // device's greeting, the keys after the return. The echo of "reboot": the line end the device
    // sent after its last reply may be shown between two of its keys, as it comes.
    std::string echo = run.out;
    echo.erase(std::remove(echo.begin(), echo.end(), '\n'), echo.end());
    EXPECT_TRUE(has(echo, "reboot")) << run.out;
    EXPECT_TRUE(has(run.out, "COM port COM7 - connection lost.\nCOM port COM7 - connected.\n"));
    EXPECT_TRUE(has(run.out, "Korvan simulator 1.0 booted\n"));
    EXPECT_TRUE(has(run.out, "cd\nUnknown command: cd\n\nExiting terminal mode."));
    EXPECT_EQ(read_file(dev.sim.store + "/dst/r.bin"), read_file(file));
    // Every key, once, in order: none lost to the reopening, none sent twice.
    expect_received(dev, "filecopy\n500\ndst/r.bin\n" + read_file(file) + "reboot\ncd\n");
}

// With keys from a script, a lost port ends the session with status 1.
TEST(WineTerminal, LostPortEndsAScriptedSession)
{
    Device dev;
    // More keys than go out in 20 s at one per millisecond: the input is far
    // from its end when the device goes.
    const std::string keys(20000, 'a');
    std::thread unplug([&dev] {
        if (dev.wait_for("aaaa"))
            dev.unplug();
    });
    Outcome run = serbolt2_input({"-d", kPort}, keys, 60);
    unplug.join();
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "COM port COM7 - connection lost.\n");
    // The line of echoed keys is ended, so the message (on the console beside
    // it) starts a line of its own.
    EXPECT_TRUE(ends_with(run.out, "a\n" + std::string(kExiting))) << run.out.substr(0, 200);
    EXPECT_LT(run.out.size(), keys.size()) << "the keys went on after the loss";
}

}  // namespace
