// serbolt2: host tool for the Korvan on a Windows COM port. Parses the command
// line, opens the port, then runs the terminal or uploads a file.
#include "com.h"
#include "console.h"
#include "optparse.h"
#include "terminal.h"
#include "text.h"
#include "upload.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const int kActionTerminal = -1;
static const int kActionUpload = 1;
static const char kOptions[] = "o:i:a:d:hrbt";
static const char kDefaultDevice[] = "COM1";

// Run options: written while the command line is parsed, read afterwards. The
// texts point into the UTF-8 words of the command line (or at the default
// device name).
static int action = kActionTerminal;
static const char *filename = nullptr;
static const char *outpath = nullptr;
static int reset = 0;
static int boot = 0;
static int stay = 0;
static const char *device = nullptr;

static void printUsage()
{
    fprintf(stderr, "Usage: ");
    fprintf(stderr, "-i FILE_IN\n");
    fprintf(stderr, "-o FILE_OUT\n");
    fprintf(stderr, "-a ACTION (1=Filetransfer)\n");
    fprintf(stderr, "-r send reset\n");
    fprintf(stderr, "-b send reboot\n");
    fprintf(stderr, "-t stay in terminal mode\n");
    fprintf(stderr, "-d DEVICE (default: 'COM1')\n");
    fprintf(stderr, "If no parameter given, terminal display mode is used\n");
}

// The leading decimal number of `text`, as atoi reads it, but clamped rather than undefined
// when it does not fit an int (a clamped value is never a valid action).
static int parseAction(const char *text)
{
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

// Fills the Run options. -1 when the run goes on, otherwise the exit status.
static int parseCommandLine(int argc, char *argv[])
{
    using sbopt::getopt;
    using sbopt::optarg;

    int c;
    while ((c = getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case 'i': filename = optarg; break;
        case 'o': outpath = optarg; break;
        case 'a': action = parseAction(optarg); break;
        case 'd': device = optarg; break;
        case 'r': reset = 1; break;
        case 'b': boot = 1; break;
        case 't': stay = 1; break;
        case 'h': printUsage(); return 0;
        default: printUsage(); return 1;
        }
    }
    return -1;
}

#ifndef SERBOLT_VERSION
#define SERBOLT_VERSION "unknown"
#endif

// `serbolt2 --help` (or `/?`) and `serbolt2 --version`, each only as the one and only
// argument: any other command line goes to getopt. Returns the exit status, or
// -1 when neither was asked.
static int helpOrVersionAlone(int argc, char *argv[])
{
    if (argc != 2)
        return -1;
    // "/?" is the Windows way to ask a console program for help.
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "/?") == 0) {
        // The fixed text of -h, between a synopsis and what -h does not tell.
        fprintf(stderr, "usage: serbolt2 [-d COMPORT] [-a 1 -i FILE -o PATH [-b] [-r] [-t]]\n");
        printUsage();
        fprintf(stderr, "--help    this text (also /?)\n");
        fprintf(stderr, "--version the program's version\n");
        fprintf(stderr, "See serbolt2(1) for the whole manual.\n");
        return 0;
    }
    if (strcmp(argv[1], "--version") != 0)
        return -1;
    printf("serbolt2 %s\n", SERBOLT_VERSION);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "serbolt2: cannot write to standard output\n");
        return 1;
    }
    return 0;
}

// The word at which a finished parse stopped looking, or null when it read the
// whole command line. The parse stops in front of a word that is not an option
// (or a lone '-') and just after a word that begins with two hyphens.
static const char *wordThatEndedParse(int argc, char *argv[])
{
    using sbopt::optarg;
    using sbopt::optind;

    if (optind >= 2 && optind <= argc && strncmp(argv[optind - 1], "--", 2) == 0 &&
        argv[optind - 1] != optarg) {
        const char *word = argv[optind - 1];
        // A closing "--" with nothing after it leaves nothing out.
        if (strcmp(word, "--") == 0 && optind == argc)
            return nullptr;
        return word;
    }
    if (optind < argc)
        return argv[optind];
    return nullptr;
}

// The option that `word` meant when it is one in Windows' switch syntax (/d,
// /h, /help, /version, in either case), or null. "/?" is not among them: alone
// it asks for help.
static const char *windowsSwitch(const char *word)
{
    static char meant[3];
    if (word[0] != '/')
        return nullptr;
    if (_stricmp(word, "/help") == 0)
        return "--help";
    if (_stricmp(word, "/version") == 0)
        return "--version";
    char letter = (char)(word[1] | 0x20);   // lower case
    if (word[1] == '\0' || word[2] != '\0' || letter == ':' || std::strchr(kOptions, letter) == nullptr)
        return nullptr;
    meant[0] = '-';
    meant[1] = letter;
    return meant;
}

// A command line that runs, but perhaps not as its user believes: say so on
// standard error. False when it must not run: a word in Windows' switch syntax
// would leave the rest unread and open the default port, whose opening can
// reset the board behind it.
static bool checkCommandLine(int argc, char *argv[])
{
    const char *ignored = wordThatEndedParse(argc, argv);
    const char *meant = ignored != nullptr ? windowsSwitch(ignored) : nullptr;
    if (meant != nullptr) {
        fprintf(stderr, "serbolt2: options start with '-': %s\n", meant);
        printUsage();
        return false;
    }
    if (ignored != nullptr)
        printMessage(stderr, "serbolt2: ignoring '%s' and what follows it\n", ignored);
    if (action == kActionTerminal && (filename != nullptr || outpath != nullptr || boot || reset || stay))
        fprintf(stderr, "serbolt2: -i, -o, -b, -r and -t take effect only with -a 1\n");
    return true;
}

// Sends a device command after the upload and says so. False, after saying
// why, when the port did not take it.
static bool sendCommand(const char *command, const char *sent)
{
    if (!comWriteString(command)) {
        char reason[512];
        printMessage(stderr, "Error writing to COM port: %s\n",
                     systemMessage(comError, reason, sizeof reason));
        return false;
    }
    printf("%s", sent);
    return true;
}

// After the port is open: the chosen action. Returns the exit status; the
// caller closes the port.
static int runAction()
{
    if (action == kActionTerminal)
        return terminalMode(false);
    if (action != kActionUpload) {
        fprintf(stderr, "Unknown action: %d\n", action);
        return 1;
    }
    if (filename == nullptr || outpath == nullptr) {
        fprintf(stderr, "Both FILE_IN and FILE_OUT must be specified!\n");
        return 1;
    }
    if (uploadFile(filename, outpath) != 0 || consoleInterrupted())
        return 1;

    if (boot && !sendCommand("reboot\n", "Reboot sent...\n"))
        return 1;
    if (reset && !sendCommand("reset\n", "Reset sent...\n"))
        return 1;
    if (stay) {
        printf("Staying in terminal mode...\n");
        // Keys typed while the upload ran were not meant for the device.
        return terminalMode(true);
    }
    return 0;
}

// One run from the command line to the port's closing; the exit status.
static int run(int argc, wchar_t *wideArgv[])
{
    device = kDefaultDevice;
    char **argv;
    if (!argumentsAsUtf8(argc, wideArgv, &argv))
        return 1;
    if (argc == 1) {
        printUsage();
        return 1;
    }
    int status = helpOrVersionAlone(argc, argv);
    if (status >= 0)
        return status;
    status = parseCommandLine(argc, argv);
    if (status >= 0)
        return status;
    if (!checkCommandLine(argc, argv))
        return 1;

    if (!comOpen(device))
        return 1;
    status = runAction();
    comClose();
    return status;
}

// The command line comes as UTF-16 (wmain), so that every name survives
// whatever the system's code page; the program takes its words as UTF-8.
// The C runtime calls it from outside this file, hence the declaration.
int wmain(int argc, wchar_t *wideArgv[]);
int wmain(int argc, wchar_t *wideArgv[])
{
    consoleBegin();
    int status = run(argc, wideArgv);
    fflush(stdout);
    consoleRestore();
    // Ctrl-C, Ctrl-Break or the window closing ended the run: never a success.
    return consoleInterrupted() ? kInterruptedStatus : status;
}
