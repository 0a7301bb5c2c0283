// serbolt's --help and --version, and its warnings about command lines that run but do less than
// their user may think. korvan-sim's --version.
#include "common.h"

namespace {

const char UPLOAD_OPTIONS[] = "serbolt: -i, -o, -b, -r and -t take effect only with -a 1\n";

TEST(Version, HelpAndVersionAsTheOnlyArgument)
{
    Outcome version = serbolt({ "--version" });
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("serbolt ") + SERBOLT_VERSION + "\n");
    EXPECT_EQ(version.err, "");

    Outcome help = serbolt({ "--help" });
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, std::string("usage: serbolt [-d DEVICE] [-a 1 -i FILE -o PATH [-b] [-r] [-t]]\n") +
                            USAGE + "--help    this text\n--version the program's version\n"
                            "See serbolt(1) for the whole manual.\n")
        << "-h's text between a synopsis and the long options";
    EXPECT_EQ(help.out, "") << "the line must not be opened";

    Outcome sim = run_program({ build_dir() + "/korvan-sim", "--version" }, 30);
    EXPECT_EQ(sim.status, 0);
    EXPECT_EQ(sim.out, std::string("korvan-sim ") + SERBOLT_VERSION + "\n");
}

TEST(Warnings, UploadOptionsWithoutActionOneAreNamedAndTheTerminalRuns)
{
    SimGuard g;
    // -a -1 alone is the terminal, with nothing left out.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             { "-i", "in" }, { "-o", "out" }, { "-b" }, { "-r" }, { "-t" }, { "-a", "-1", "-rbt", "-i", "in" },
             { "-i", "in", "-o", "out", "-r", "-b", "-t" }, { "-a", "-1" } }) {
        Outcome r = serbolt_on(g.sim, args, Input::Pipe, "x");
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.err, args.size() == 2 && args[1] == "-1" ? "" : UPLOAD_OPTIONS) << args[0];
        EXPECT_EQ(r.out, connected(g.sim) + "\n") << "the terminal, as without the options";
    }
    EXPECT_EQ(sim_received(g.sim), "") << "nothing goes to the device";

    // An upload says nothing of the kind.
    std::string file = make_file(make_temp_dir("warn"), "f", 100);
    Outcome up = upload(g.sim, file, "f", { "-b" });
    EXPECT_EQ(up.status, 0) << up.out;
    EXPECT_FALSE(has(up.err, "take effect"));
}

TEST(Warnings, WordsThatAreNotOptionsAreNamedAndTheRunGoesOn)
{
    SimGuard g;
    // The picocom habit: the device as a plain word. serbolt opens the -d device as always.
    Outcome one = serbolt({ "-d", g.sim.link, "/dev/ttyUSB1" }, 30, Input::Pipe, "x");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.err, "serbolt: ignoring '/dev/ttyUSB1' (name the device with -d)\n");
    EXPECT_EQ(one.out, connected(g.sim) + "\n");

    // Every such word, in order, wherever it stands; options after it still count.
    std::string file = make_file(make_temp_dir("words"), "f", 100);
    Outcome upload = serbolt({ "first", "-d", g.sim.link, "-a", "1", "second", "-i", file, "-o", "f", "--", "-b" });
    EXPECT_EQ(upload.status, 0) << upload.out;
    EXPECT_EQ(upload.err, "serbolt: ignoring 'first' (name the device with -d)\n"
                          "serbolt: ignoring 'second' (name the device with -d)\n"
                          "serbolt: ignoring '-b' (name the device with -d)\n");
    EXPECT_TRUE(has(upload.out, "Data sent."));
    EXPECT_FALSE(has(upload.out, "Reboot sent...")) << "-b after -- is a plain word";
}

}  // namespace
