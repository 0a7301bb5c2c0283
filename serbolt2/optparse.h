// Command-line option parser of serbolt2: the POSIX calling pattern (call it
// again and again until it returns -1), short options only, strict.
//
// This header and the parser's state have names of their own (optparse.h, the
// namespace sbopt), so that neither the Windows runtime's nor the host C
// library's getopt.h, getopt, optind or optarg can clash with them; callers
// bring the names in with using-declarations and keep calling them getopt,
// optind, optarg and optopt.
#pragma once

namespace sbopt {

extern int optind;     // index of the argument being examined or examined next
extern char *optarg;   // argument of the last option that takes one
extern int optopt;     // the character that caused the last '?'

// Next option character from argv, '?' for an unknown letter or a missing
// argument (optopt names it), -1 when the options are over. Writes nothing. A
// caller may go on after '?': the parse moves forward, never back.
int getopt(int argc, char *const argv[], const char *optstring);

}   // namespace sbopt
