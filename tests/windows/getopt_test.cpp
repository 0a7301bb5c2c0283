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
    // The child's one write (far less than a pipe holds) is whole once it has ended.
    close(fds[1]);
    waitpid(pid, nullptr, 0);
    char buf[4096];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    return std::string(buf, n > 0 ? (size_t)n : 0);
}

TEST(Getopt, OneParseOfEachCommandLine)
{
    const struct {
        std::vector<std::string> words;
        const char *calls;          // what parse() gives
        bool past_unknown = false;  // go on calling after '?'
    } cases[] = {
        // Arguments in the next word or attached.
        {{"-a", "1", "-i", "in.bin", "-o", "/dst/out.bin"}, "a(1) i(in.bin) o(/dst/out.bin) -1@7"},
        {{"-a1", "-iin.bin", "-o/dst/out.bin"}, "a(1) i(in.bin) o(/dst/out.bin) -1@4"},
        {{"-tb", "-d", "COM3"}, "t b d(COM3) -1@4"},
        // Flags grouped in one word.
        {{"-rbt"}, "r b t -1@2"},
        {{"-ri", "in.bin"}, "r i(in.bin) -1@3"},
        // The rest of the word is the argument, even when it looks like a flag.
        {{"-ir"}, "i(r) -1@2"},
        // The next word is the argument, whatever it holds.
        {{"-i", "-r"}, "i(-r) -1@3"},
        {{"-o", ""}, "o() -1@3"},
        {{"-d", "--"}, "d(--) -1@3"},
        // An unknown letter or a missing argument: '?' with optopt.
        {{"-i"}, "?i"},
        {{"-a"}, "?a"},
        {{"-r", "-d"}, "r ?d"},
        {{"-rz"}, "r ?z"},
        {{"-:"}, "?:"},  // the argument marker is not an option
        {{"-r-"}, "r ?-"},
        {{"-x", "-h"}, "?x"},
        {{"-h", "-x"}, "h ?x"},  // -h means nothing to the parser itself
        {{"-?"}, "??"},
        // Calling on after '?' moves forward.
        // The calls are capped at 20: a parser that stands still shows as a long repeating list.
        {{"-rz", "-b"}, "r ?z b -1@3", true},
        {{"-zr", "-b"}, "?z r b -1@3", true},
        {{"-z", "-y", "in"}, "?z ?y -1@3", true},
        {{"-r", "-i"}, "r ?i -1@3", true},
        {{"-r-", "-t"}, "r ?- t -1@3", true},
        // The end of the options: a plain word, "-", "--" or a long option.
        {{}, "-1@1"},
        {{"stray", "-a", "1"}, "-1@1"},
        {{"-a", "1", "stray", "-t"}, "a(1) -1@3"},
        {{"-", "-a", "1"}, "-1@1"},
        {{"--", "-a", "1"}, "-1@2"},
        {{"--help"}, "-1@2"},
        {{"-r", "--", "-b"}, "r -1@3"},
        // Repeated options, each reported.
        {{"-a", "2", "-a1", "-rr"}, "a(2) a(1) r r -1@5"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.words, c.past_unknown), c.calls) << testing::PrintToString(c.words);
}

}  // namespace
