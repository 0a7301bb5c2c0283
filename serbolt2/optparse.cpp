// The option parser. It never reorders or changes argv and prints nothing;
// the caller decides what a '?' means.
#include "optparse.h"

#include <cstring>

namespace sbopt {

int optind = 1;
char *optarg = nullptr;
int optopt = 0;

// Next option character inside the current argument; null or a NUL means the
// next call starts on a new argument.
static char *nextchar = nullptr;

int getopt(int argc, char *const argv[], const char *optstring)
{
    if (optind >= argc)
        return -1;

    char *arg = argv[optind];
    // A word that is not an option, or a lone '-', ends the options untouched.
    if (arg[0] != '-' || arg[1] == '\0')
        return -1;

    if (nextchar == nullptr || *nextchar == '\0') {
        nextchar = arg + 1;
        // Two leading hyphens ("--", "--help", ...) end the options and are consumed.
        if (*nextchar == '-') {
            optind++;
            return -1;
        }
    }

    int c = (unsigned char)*nextchar++;
    // strchr would find the terminator for c == 0, and ':' only marks arguments: neither is an
    // option character.
    const char *entry = c != 0 && c != ':' ? std::strchr(optstring, c) : nullptr;
    if (entry == nullptr) {
        optopt = c;
        // Move past a word that this letter ended, as for a known letter: a caller that goes on
        // after '?' gets the next word, not the same letter again.
        if (*nextchar == '\0')
            optind++;
        return '?';
    }

    if (entry[1] == ':') {
        if (*nextchar != '\0') {
            // Attached argument: the rest of this word.
            optarg = nextchar;
            nextchar = nullptr;
            optind++;
            return c;
        }
        optind++;
        if (optind >= argc) {
            optopt = c;
            return '?';
        }
        // The whole next word, whatever it holds.
        optarg = argv[optind];
        nextchar = nullptr;
        optind++;
        return c;
    }

    if (*nextchar == '\0')
        optind++;
    return c;
}

}   // namespace sbopt
