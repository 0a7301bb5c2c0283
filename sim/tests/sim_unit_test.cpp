// The simulator's pure logic, in-process: escapes, options, size lines, destination checks and
// the line-rate token bucket on a simulated clock.
#include "harness.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

static std::string unescaped(const char *in, int cap = TEXT_MAX)
{
    char out[TEXT_MAX];
    int n = unescape(in, out, cap);
    return n < 0 ? "<too long>" : std::string(out, (size_t)n);
}

// One hex digit is enough, and with none the x stands for itself; an unknown escape and a lone
// trailing backslash stay; the limit (4 here) counts the bytes after unescaping.
TEST(SimLogic, Escapes)
{
    const struct {
        const char *in;
        std::string out;
        int cap;
    } escapes[] = {
        { "a\\r\\n\\t\\\\b", "a\r\n\t\\b", TEXT_MAX }, { "\\x41\\x7e\\xff\\x00z", std::string("A~\xff\0z", 5), TEXT_MAX },
        { "\\x4g", "\x04g", TEXT_MAX }, { "\\xg", "xg", TEXT_MAX }, { "\\q\\", "q\\", TEXT_MAX }, { "", "", TEXT_MAX },
        { "abcd", "abcd", 4 }, { "abcde", "<too long>", 4 }, { "abc\\n", "abc\n", 4 },
    };
    for (const auto &e : escapes)
        EXPECT_EQ(unescaped(e.in, e.cap), e.out) << e.in;
}

static int parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "korvan-sim");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return options_parse((int)args.size(), argv.data());
}

TEST(SimLogic, Options)
{
    ASSERT_EQ(parse({"--unplug-after-ms", "250", "--replug-after-ms", "0", "--unplug-on-reboot",
                     "--stall-after", "0", "--eol", "\\n"}), -1);
    EXPECT_TRUE(g_opt.unplug_after && g_opt.replug && g_opt.unplug_on_reboot && g_opt.stall);
    EXPECT_EQ(g_opt.unplug_after_ms, 250);
    EXPECT_EQ(g_opt.replug_after_ms, 0);
    EXPECT_EQ(g_opt.stall_after, 0u);
    EXPECT_EQ(std::string(g_opt.eol.s, (size_t)g_opt.eol.len), "\n");
    ASSERT_EQ(parse({}), -1);
    EXPECT_FALSE(g_opt.unplug_after || g_opt.replug || g_opt.unplug_on_reboot || g_opt.stall)
        << "every run starts from the defaults";
    EXPECT_EQ(std::string(g_opt.ready.s, (size_t)g_opt.ready.len), "Ko:Ready");
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--rate", "0"}, {"--rate", "100000001"}, {"--delay-ms", "3600001"},
             {"--unplug-after-ms", "-1"}, {"--replug-after-ms", "1x"}, {"--stall-after", ""},
             {"--stream", "99999999999999999999999"}, {"--say", std::string(TEXT_MAX + 1, 's')},
             {"--bogus"}, {"stray"}, {"--link"}})
        EXPECT_EQ(parse(bad), 2) << bad[0];
    EXPECT_EQ(parse({"--help"}), 0);
}

TEST(SimLogic, SizeLines)
{
    uint64_t v = 99;
    auto ok = [&](const std::string &t) { return size_line_parse(t.data(), t.size(), &v); };
    for (std::pair<const char *, uint64_t> good : { std::make_pair("0", 0ull), { "16777216", 16777216ull }, { "00000012", 12ull } }) {
        EXPECT_TRUE(ok(good.first)) << good.first;
        EXPECT_EQ(v, good.second) << good.first;
    }
    for (const char *bad : {"", "16777217", "99999999", "000000012", "-1", "+1", " 1", "1 ", "12x",
                            "1\r", "0x10"})
        EXPECT_FALSE(ok(bad)) << '"' << bad << '"';
}

TEST(SimLogic, DestinationsAsText)
{
    auto problem = [](const std::string &d) {
        size_t last = 999;
        const char *why = store_dest_problem(d.data(), d.size(), &last);
        return why ? std::string(why) : "ok@" + std::to_string(last);
    };
    // Dots inside a name are fine; a trailing slash leaves no file name.
    const std::pair<std::string, std::string> dests[] = {
        { "app.bin", "ok@0" }, { "fw/app.bin", "ok@3" }, { "./fw//app.bin", "ok@6" }, { "..x/x..", "ok@4" },
        { "", "empty path" }, { "/etc/passwd", "absolute path" }, { "..", "\"..\" in path" },
        { "a/../../b", "\"..\" in path" }, { "a/..", "\"..\" in path" }, { "fw/", "no file name" },
        { ".", "no file name" }, { "fw/.", "no file name" }, { std::string("a\0b", 3), "NUL in path" },
        { std::string(NAME_MAX + 1, 'n'), "name too long" }, { std::string(NAME_MAX, 'n'), "ok@0" },
    };
    for (const auto &d : dests)
        EXPECT_EQ(problem(d.first), d.second) << d.first;
}

TEST(SimLogic, DestinationsThroughSymbolicLinksAreRefused)
{
    ASSERT_EQ(parse({}), -1);
    std::string dir = make_temp_dir("store");
    ASSERT_FALSE(dir.empty());
    std::string store = dir + "/store", outside = dir + "/outside";
    fs::create_directories(store + "/real");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, store + "/dirlink");
    fs::create_directory_symlink(outside, store + "/real/deeper");
    fs::create_symlink(outside + "/victim", store + "/filelink");
    ASSERT_GE(store_open(store.c_str()), 0);
    auto begin = [](const std::string &d) { return store_begin(d.data(), d.size()); };
    for (const char *bad : {"dirlink/x", "real/deeper/x", "filelink", "dirlink", "real"}) {
        EXPECT_LT(begin(bad), 0) << bad;
    }
    EXPECT_TRUE(fs::is_empty(outside)) << "nothing was made through a link";

    ASSERT_GE(begin("real/new/app.bin"), 0);
    EXPECT_TRUE(store_write("abc", 3));
    EXPECT_TRUE(store_finish());
    EXPECT_EQ(read_file(store + "/real/new/app.bin"), "abc");
    ASSERT_GE(begin("gone.bin"), 0);
    store_abort();
    EXPECT_FALSE(fs::exists(store + "/gone.bin"));
    char list[256];
    size_t n = store_list(list, sizeof list);
    EXPECT_EQ(std::string(list, n), "real/new/app.bin 3\r\n") << "links and temporary files unlisted";
}

TEST(SimLogic, TokenBucketKeepsTheRateOnASimulatedClock)
{
    ASSERT_EQ(parse({"--rate", "1000"}), -1);  // bucket of 10 bytes (1/100 s)
    const uint64_t MS = 1000000;
    Bucket b{0, 0};
    bucket_refill(b, 500 * MS);
    EXPECT_EQ(bucket_allow(b, 4), 4u);
    EXPECT_EQ(bucket_allow(b, 100), 10u) << "never more than the bucket holds";
    bucket_take(b, 10);
    EXPECT_EQ(bucket_allow(b, 100), 0u);
    EXPECT_EQ(bucket_wait_ns(b, 100), (int64_t)(5 * MS) + 1) << "a large request waits for half a bucket";
    EXPECT_EQ(bucket_wait_ns(b, 1), (int64_t)(1 * MS) + 1);
    bucket_refill(b, 503 * MS);
    EXPECT_EQ(bucket_allow(b, 100), 0u) << "3 bytes gathered: not yet half a bucket";
    EXPECT_EQ(bucket_allow(b, 2), 2u) << "a small request goes as soon as it fits";

    // A long transfer taking whatever is allowed at uneven moments never beats the rate.
    b = Bucket{0, 0};
    uint64_t t = 0, moved = 0;
    uint32_t x = 1;
    while (t < 10000 * MS) {
        x = x * 1103515245u + 12345u;
        t += (x >> 16) % 7 * MS + (x >> 8) % 1000 * 1000;
        bucket_refill(b, t);
        size_t n = bucket_allow(b, 4096);
        bucket_take(b, n);
        moved += n;
    }
    EXPECT_LE(moved, 10000u + 10u);
    EXPECT_GE(moved, 9900u) << "nor falls far behind it";

    ASSERT_EQ(parse({}), -1);  // no --rate: no limit
    EXPECT_EQ(bucket_allow(b, 123456), 123456u);
}
