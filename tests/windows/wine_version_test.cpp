// serbolt2.exe under Wine: --help and --version, and the warnings about
// command lines that run but do less than their user may think.
#include "wine_common.h"

#include <string>

namespace {

TEST(WineVersion, HelpAndVersionAsTheOnlyArgument)
{
    Outcome version = serbolt2({"--version"});
    EXPECT_FALSE(version.timed_out);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("serbolt2 ") + SERBOLT_VERSION + "\n");
    EXPECT_EQ(version.err, "");

    Outcome help = serbolt2({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, kHelp) << "the text of -h, with the synopsis and the long options";
    EXPECT_EQ(help.out, "") << "no port is opened";

    // Not alone, --version ends the parse like any word with two hyphens: the
    // -h after it is never seen and the terminal runs on COM1, which in the
    // test prefix is no port.
    Outcome late = serbolt2({"--version", "-h"});
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(reason_after(late.err,
                           "serbolt2: ignoring '--version' and what follows it\n"
                           "Error setting COM port parameters\n",
                           "COM1"),
              "")
        << late.err;
    EXPECT_EQ(late.out, "");
}

TEST(WineVersion, NoWarningWhenTheOptionsTakeEffect)
{
    Device dev;
    ASSERT_TRUE(dev.start());
    // A refused action says only that.
    Outcome refused = serbolt2({"-d", kPort, "-a", "2", "-t"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Unknown action: 2\n");
    // An upload with -b: nothing on standard error.
    std::string file = make_file(dev.sim.dir, "in.bin", 200);
    Outcome upload = serbolt2({"-d", kPort, "-a", "1", "-i", win_path(file), "-o", "dst/v.bin", "-b"});
    EXPECT_EQ(upload.status, 0) << upload.err;
    EXPECT_EQ(upload.err, "");
    EXPECT_NE(upload.out.find("Reboot sent..."), std::string::npos) << upload.out;
}

}  // namespace
