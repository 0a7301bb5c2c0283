// Unit tests of serbolt2's option parser, compiled natively. The parser serves
// one parse per process and has no reset, so every case runs in a child
// process of its own and reports its results through a pipe.
#include "optparse.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char kOptions[] = "o:i:a:d:hrbt";

// Runs a whole parse of `words` (after the program name) the way serbolt2
// does: calls until -1 or '?' (with `past_unknown`, on past '?' until -1). Returns the results as text, one per call:
// "a(1)" for an option with its argument, "r" for a flag, "?z" for '?' with
// optopt, "-1@N" for the final -1 with optind.
std::string parse(const std::vector<std::string> &words, bool past_unknown = false)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> storage = words;
        std::vector<char *> argv;
        char name[] = "serbolt2";
        argv.push_back(name);
        for (auto &w : storage)
            argv.push_back(&w[0]);
        std::vector<std::string> before = storage;
        argv.push_back(nullptr);
        int argc = (int)argv.size() - 1;

        std::string out;
        for (int calls = 0; calls < 20; calls++) {
            int c = sbopt::getopt(argc, argv.data(), kOptions);
            if (!out.empty())
                out += ' ';
            if (c == -1) {
                out += "-1@" + std::to_string(sbopt::optind);
                break;
            }
            if (c == '?') {
                out += "?";
                out += (char)sbopt::optopt;
                if (past_unknown)
                    continue;
                break;
            }
            out += (char)c;
            if (c == 'o' || c == 'i' || c == 'a' || c == 'd') {
                // optarg must point into argv, not at a copy.
                bool inside = false;
                for (int i = 1; i < argc; i++)
                    inside |= sbopt::optarg >= argv[i] && sbopt::optarg <= argv[i] + storage[i - 1].size();
                out += std::string("(") + sbopt::optarg + (inside ? ")" : ") NOT IN ARGV");
            }
        }
        if (storage != before)
            out += " ARGV CHANGED";
        ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == (ssize_t)out.size() ? 0 : 1);
    }
    close(fds[1]);
    std::string result;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        result.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return result;
}

TEST(Getopt, SeparateAndAttachedArguments)
{
    EXPECT_EQ(parse({"-a", "1", "-i", "in.bin", "-o", "/dst/out.bin"}),
              "a(1) i(in.bin) o(/dst/out.bin) -1@7");
    EXPECT_EQ(parse({"-a1", "-iin.bin", "-o/dst/out.bin"}), "a(1) i(in.bin) o(/dst/out.bin) -1@4");
    EXPECT_EQ(parse({"-tb", "-d", "COM3"}), "t b d(COM3) -1@4");
}

TEST(Getopt, GroupedFlags)
{
    EXPECT_EQ(parse({"-rbt"}), "r b t -1@2");
    EXPECT_EQ(parse({"-ri", "in.bin"}), "r i(in.bin) -1@3");
    // The rest of the word is the argument, even when it looks like a flag.
    EXPECT_EQ(parse({"-ir"}), "i(r) -1@2");
}

TEST(Getopt, NextWordIsTheArgumentWhateverItHolds)
{
    EXPECT_EQ(parse({"-i", "-r"}), "i(-r) -1@3");
    EXPECT_EQ(parse({"-o", ""}), "o() -1@3");
    EXPECT_EQ(parse({"-d", "--"}), "d(--) -1@3");
}

TEST(Getopt, UnknownLetterAndMissingArgument)
{
    EXPECT_EQ(parse({"-i"}), "?i");
    EXPECT_EQ(parse({"-a"}), "?a");
    EXPECT_EQ(parse({"-r", "-d"}), "r ?d");
    EXPECT_EQ(parse({"-rz"}), "r ?z");
    EXPECT_EQ(parse({"-:"}), "?:") << "the argument marker is not an option";
    EXPECT_EQ(parse({"-r-"}), "r ?-");
    EXPECT_EQ(parse({"-x", "-h"}), "?x");
    EXPECT_EQ(parse({"-h", "-x"}), "h ?x");  // -h means nothing to the parser itself
    EXPECT_EQ(parse({"-?"}), "??");
}

TEST(Getopt, CallingOnAfterUnknownMovesForward)
{
    // The calls are capped at 20: a parser that stands still shows as a long repeating list.
    EXPECT_EQ(parse({"-rz", "-b"}, true), "r ?z b -1@3");
    EXPECT_EQ(parse({"-zr", "-b"}, true), "?z r b -1@3");
    EXPECT_EQ(parse({"-z", "-y", "in"}, true), "?z ?y -1@3");
    EXPECT_EQ(parse({"-r", "-i"}, true), "r ?i -1@3");
    EXPECT_EQ(parse({"-r-", "-t"}, true), "r ?- t -1@3");
}

TEST(Getopt, EndOfOptions)
{
    EXPECT_EQ(parse({}), "-1@1");
    EXPECT_EQ(parse({"stray", "-a", "1"}), "-1@1");
    EXPECT_EQ(parse({"-a", "1", "stray", "-t"}), "a(1) -1@3");
    EXPECT_EQ(parse({"-", "-a", "1"}), "-1@1");
    EXPECT_EQ(parse({"--", "-a", "1"}), "-1@2");
    EXPECT_EQ(parse({"--help"}), "-1@2");
    EXPECT_EQ(parse({"-r", "--", "-b"}), "r -1@3");
}

TEST(Getopt, RepeatedOptionsEachReported)
{
    EXPECT_EQ(parse({"-a", "2", "-a1", "-rr"}), "a(2) a(1) r r -1@5");
}

}  // namespace
