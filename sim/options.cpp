// Command line of korvan-sim.
#include "sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#ifndef SERBOLT_VERSION
#define SERBOLT_VERSION "unknown"
#endif

SimOptions g_opt;

static const char USAGE[] =
    "usage: korvan-sim [options]\n"
    "Simulates a Korvan device on a pseudo-terminal and prints the terminal's path (with --port,\n"
    "on a serial device, whose path it prints each time it opens it).\n"
    "TEXT arguments accept the escapes \\r \\n \\t \\\\ \\xNN.\n"
    "  --link PATH         make PATH a symbolic link to the terminal (removed on exit)\n"
    "  --port DEV          serve on the serial device DEV (raw, 921600 8N1) instead of a\n"
    "                      pseudo-terminal; when DEV goes away, wait for it to come back\n"
    "  --store DIR         folder for uploaded files (default ./korvan-store)\n"
    "  --record FILE       record every byte received: per read, 8-byte monotonic time in ns,\n"
    "                      4-byte length, then the bytes (native byte order)\n"
    "  --silent            never send anything\n"
    "  --echo              echo every byte received outside an upload payload\n"
    "  --junk TEXT         send TEXT in front of every reply\n"
    "  --delay-ms N        wait N ms before sending each reply\n"
    "  --gap-ms N          send replies one character at a time, N ms apart\n"
    "  --answer-delay-ms N answer console commands (help, ls, version, ...) N ms late\n"
    "  --ready TEXT        ready reply instead of \"Ko:Ready\"\n"
    "  --done TEXT         data received reply instead of \"Ko:Data received\"\n"
    "  --eol TEXT          line end after replies and device lines instead of \\r\\n\n"
    "  --no-ready          do not answer filecopy (and expect no upload)\n"
    "  --no-done           take the upload but send no data received reply\n"
    "  --say TEXT          send TEXT once at start\n"
    "  --stream N          send N bytes of numbered text lines from start (0 = forever)\n"
    "  --stream-delay-ms N wait N ms before streaming\n"
    "  --rate BPS          model the line: BPS bytes per second each way (92160 = 921600 baud)\n"
    "  --hangup-after N    hang up the line after N payload bytes of an upload\n"
    "  --unplug-after-ms N hang up the line N ms after start, whatever the device is doing\n"
    "  --unplug-on-reboot  after answering \"reboot\", hang up the line as a re-enumerating device does\n"
    "  --replug-after-ms M M ms after any hang-up, come back on a new pseudo-terminal (the --link\n"
    "                      points at it again, its path is printed; with --port, open DEV again)\n"
    "                      and greet with a boot line; without it, the first hang-up ends the run\n"
    "                      with status 0\n"
    "  --stall-after N     stop reading the line for good after N received bytes (0: never read);\n"
    "                      the host's writes then block once the terminal's buffers are full\n"
    "  --once              exit after one upload: 0 when stored, 1 when refused\n"
    "  --sink              read and throw away every byte received, as fast as it comes;\n"
    "                      no console, no upload, no replies (--rate still paces it)\n"
    "  --help              this text\n"
    "  --version           the version of korvan-sim\n";

enum {
    OPT_LINK = 1,
    OPT_PORT,
    OPT_STORE,
    OPT_RECORD,
    OPT_SILENT,
    OPT_ECHO,
    OPT_JUNK,
    OPT_DELAY,
    OPT_GAP,
    OPT_ANSWER_DELAY,
    OPT_READY,
    OPT_DONE,
    OPT_EOL,
    OPT_NO_READY,
    OPT_NO_DONE,
    OPT_SAY,
    OPT_STREAM,
    OPT_STREAM_DELAY,
    OPT_RATE,
    OPT_HANGUP,
    OPT_UNPLUG_AFTER,
    OPT_UNPLUG_REBOOT,
    OPT_REPLUG_AFTER,
    OPT_STALL_AFTER,
    OPT_ONCE,
    OPT_SINK,
    OPT_HELP,
    OPT_VERSION
};

static const struct option LONG_OPTS[] = {
    { "link", required_argument, nullptr, OPT_LINK },
    { "port", required_argument, nullptr, OPT_PORT },
    { "store", required_argument, nullptr, OPT_STORE },
    { "record", required_argument, nullptr, OPT_RECORD },
    { "silent", no_argument, nullptr, OPT_SILENT },
    { "echo", no_argument, nullptr, OPT_ECHO },
    { "junk", required_argument, nullptr, OPT_JUNK },
    { "delay-ms", required_argument, nullptr, OPT_DELAY },
    { "gap-ms", required_argument, nullptr, OPT_GAP },
    { "answer-delay-ms", required_argument, nullptr, OPT_ANSWER_DELAY },
    { "ready", required_argument, nullptr, OPT_READY },
    { "done", required_argument, nullptr, OPT_DONE },
    { "eol", required_argument, nullptr, OPT_EOL },
    { "no-ready", no_argument, nullptr, OPT_NO_READY },
    { "no-done", no_argument, nullptr, OPT_NO_DONE },
    { "say", required_argument, nullptr, OPT_SAY },
    { "stream", required_argument, nullptr, OPT_STREAM },
    { "stream-delay-ms", required_argument, nullptr, OPT_STREAM_DELAY },
    { "rate", required_argument, nullptr, OPT_RATE },
    { "hangup-after", required_argument, nullptr, OPT_HANGUP },
    { "unplug-after-ms", required_argument, nullptr, OPT_UNPLUG_AFTER },
    { "unplug-on-reboot", no_argument, nullptr, OPT_UNPLUG_REBOOT },
    { "replug-after-ms", required_argument, nullptr, OPT_REPLUG_AFTER },
    { "stall-after", required_argument, nullptr, OPT_STALL_AFTER },
    { "once", no_argument, nullptr, OPT_ONCE },
    { "sink", no_argument, nullptr, OPT_SINK },
    { "help", no_argument, nullptr, OPT_HELP },
    { "version", no_argument, nullptr, OPT_VERSION },
    { nullptr, 0, nullptr, 0 },
};

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int unescape(const char *in, char *out, int cap)
{
    int n = 0;
    for (const char *p = in; *p; p++) {
        char c = *p;
        if (c == '\\' && p[1]) {
            p++;
            switch (*p) {
            case 'r': c = '\r'; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case '\\': c = '\\'; break;
            case 'x': {
                int hi = hex_digit(p[1]);
                int lo = hi < 0 ? -1 : hex_digit(p[2]);
                if (hi < 0) {
                    c = 'x';
                    break;
                }   // "\x" without digits stays as written
                if (lo < 0) {
                    c = (char)hi;
                    p += 1;
                } else {
                    c = (char)(hi * 16 + lo);
                    p += 2;
                }
                break;
            }
            default: c = *p; break;   // unknown escape: the character itself
            }
        }
        if (n >= cap)
            return -1;
        out[n++] = c;
    }
    return n;
}

static bool set_text(SimText &t, const char *arg, const char *name)
{
    int n = unescape(arg, t.s, TEXT_MAX);
    if (n < 0) {
        fprintf(stderr, "korvan-sim: --%s: text longer than %d bytes\n", name, TEXT_MAX);
        return false;
    }
    t.len = n;
    return true;
}

static bool set_number(uint64_t &v, const char *arg, const char *name)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(arg, &end, 10);
    if (arg[0] < '0' || arg[0] > '9' || *end || errno) {
        fprintf(stderr, "korvan-sim: --%s: not a number: %s\n", name, arg);
        return false;
    }
    v = x;
    return true;
}

static bool set_ms(long &v, const char *arg, const char *name)
{
    uint64_t x = 0;
    if (!set_number(x, arg, name))
        return false;
    if (x > 3600000) {
        fprintf(stderr, "korvan-sim: --%s: too large: %s\n", name, arg);
        return false;
    }
    v = (long)x;
    return true;
}

static void set_defaults()
{
    memset(&g_opt, 0, sizeof g_opt);
    g_opt.store = "./korvan-store";
    set_text(g_opt.ready, "Ko:Ready", "ready");
    set_text(g_opt.done, "Ko:Data received", "done");
    set_text(g_opt.eol, "\\r\\n", "eol");
}

int options_parse(int argc, char **argv)
{
    set_defaults();
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, ":", LONG_OPTS, nullptr)) != -1) {
        bool ok = true;
        uint64_t n = 0;
        switch (c) {
        case OPT_LINK: g_opt.link = optarg; break;
        case OPT_PORT: g_opt.port = optarg; break;
        case OPT_STORE: g_opt.store = optarg; break;
        case OPT_RECORD: g_opt.record = optarg; break;
        case OPT_SILENT: g_opt.silent = true; break;
        case OPT_ECHO: g_opt.echo = true; break;
        case OPT_JUNK: ok = set_text(g_opt.junk, optarg, "junk"); break;
        case OPT_DELAY: ok = set_ms(g_opt.delay_ms, optarg, "delay-ms"); break;
        case OPT_GAP: ok = set_ms(g_opt.gap_ms, optarg, "gap-ms"); break;
        case OPT_ANSWER_DELAY: ok = set_ms(g_opt.answer_delay_ms, optarg, "answer-delay-ms"); break;
        case OPT_READY: ok = set_text(g_opt.ready, optarg, "ready"); break;
        case OPT_DONE: ok = set_text(g_opt.done, optarg, "done"); break;
        case OPT_EOL: ok = set_text(g_opt.eol, optarg, "eol"); break;
        case OPT_NO_READY: g_opt.no_ready = true; break;
        case OPT_NO_DONE: g_opt.no_done = true; break;
        case OPT_SAY:
            ok = set_text(g_opt.say, optarg, "say");
            g_opt.have_say = true;
            break;
        case OPT_STREAM:
            ok = set_number(g_opt.stream_bytes, optarg, "stream");
            g_opt.stream = true;
            break;
        case OPT_STREAM_DELAY: ok = set_ms(g_opt.stream_delay_ms, optarg, "stream-delay-ms"); break;
        case OPT_RATE:
            ok = set_number(n, optarg, "rate");
            if (ok && (n == 0 || n > 100000000)) {
                fprintf(stderr, "korvan-sim: --rate: out of range: %s\n", optarg);
                ok = false;
            }
            g_opt.rate = (long)n;
            break;
        case OPT_HANGUP:
            ok = set_number(g_opt.hangup_after, optarg, "hangup-after");
            g_opt.hangup = true;
            break;
        case OPT_UNPLUG_AFTER:
            ok = set_ms(g_opt.unplug_after_ms, optarg, "unplug-after-ms");
            g_opt.unplug_after = true;
            break;
        case OPT_UNPLUG_REBOOT: g_opt.unplug_on_reboot = true; break;
        case OPT_REPLUG_AFTER:
            ok = set_ms(g_opt.replug_after_ms, optarg, "replug-after-ms");
            g_opt.replug = true;
            break;
        case OPT_STALL_AFTER:
            ok = set_number(g_opt.stall_after, optarg, "stall-after");
            g_opt.stall = true;
            break;
        case OPT_ONCE: g_opt.once = true; break;
        case OPT_SINK: g_opt.sink = true; break;
        case OPT_HELP: fputs(USAGE, stdout); return 0;
        case OPT_VERSION: printf("korvan-sim %s\n", SERBOLT_VERSION); return 0;
        case ':': fprintf(stderr, "korvan-sim: option needs a value: %s\n", argv[optind - 1]); return 2;
        default: fprintf(stderr, "korvan-sim: unknown option: %s\n", argv[optind - 1]); return 2;
        }
        if (!ok)
            return 2;
    }
    if (optind < argc) {
        fprintf(stderr, "korvan-sim: unexpected argument: %s\n", argv[optind]);
        return 2;
    }
    if (g_opt.link && g_opt.port) {
        fprintf(stderr,
                "korvan-sim: --link names a terminal the simulator makes; with --port it makes none\n");
        return 2;
    }
    return -1;
}
