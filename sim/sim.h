// korvan-sim: a stand-in for the Korvan device on the far side of a pseudo-terminal.
// Shared declarations of the simulator's modules. Who owns what:
//   log.cpp      the log on standard error and the monotonic clock; used by every module
//   options.cpp  the command line into g_opt. A new option: SimOptions below, USAGE and LONG_OPTS
//                there, man/korvan-sim.1, then the module that acts on it
//   output.cpp   what the device sends: the output queue, reply pacing (--delay-ms, --gap-ms) and
//                the line-rate token buckets (--rate, both directions)
//   store.cpp    the upload folder: destination checks, temporary file, rename, listing
//   device.cpp   what the device does with received bytes: the console (a new command goes in
//                console_command) and the upload exchange. It never touches the line: it returns
//                a DeviceAction and the loop acts on it
//   loop.cpp     the pseudo-terminal and the one ppoll() loop: reading, writing, the stream,
//                hang-up and replug, signals, the end of the run
//   port.cpp     --port: an existing serial device as the line, opened, set up and given up
//   record.cpp   the record file of received bytes (record.h, shared with the tests)
// Dependencies run one way: loop -> device -> store/output -> options/log.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- limits ----
constexpr int TEXT_MAX = 256;                           // longest TEXT option after unescaping
constexpr int DEST_MAX = 4096;                          // longest destination path we accept
constexpr uint64_t PAYLOAD_MAX = 16u * 1024u * 1024u;   // largest upload the device takes

// ---- options (options.cpp) ----
struct SimText {
    char s[TEXT_MAX];
    int len;
};

struct SimOptions {
    const char *link;     // --link, nullptr if none
    const char *port;     // --port: serve on this serial device instead of a pty; nullptr if none
    const char *store;    // --store
    const char *record;   // --record, nullptr if none
    bool silent, echo, no_ready, no_done, once;
    SimText junk, ready, done, eol, say;
    bool have_say;
    long delay_ms, gap_ms;
    long answer_delay_ms;    // --answer-delay-ms: console commands are answered this late
    bool stream;             // --stream given
    uint64_t stream_bytes;   // 0 = forever
    long stream_delay_ms;
    long rate;     // bytes per second each way, 0 = unlimited
    bool hangup;   // --hangup-after given
    uint64_t hangup_after;
    bool sink;           // --sink: swallow every received byte, answer nothing
    bool unplug_after;   // --unplug-after-ms given
    long unplug_after_ms;
    bool unplug_on_reboot;   // --unplug-on-reboot
    bool replug;             // --replug-after-ms given
    long replug_after_ms;
    bool stall;             // --stall-after given
    uint64_t stall_after;   // received bytes after which the line is no longer read
};

extern SimOptions g_opt;

// Parses the command line into g_opt. Returns -1 to go on, otherwise the exit status to end with.
int options_parse(int argc, char **argv);
// Turns C escapes (\r \n \t \\ \xNN) into bytes. Returns the length, or -1 if it does not fit.
int unescape(const char *in, char *out, int cap);

// ---- log and clock (log.cpp) ----
constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;
// Writes "korvan-sim: " and the formatted text as one line to standard error.
void sim_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// CLOCK_MONOTONIC in nanoseconds: the clock of the record file and of all pacing.
uint64_t mono_ns();

// ---- output queue (output.cpp) ----
void out_init();
// Room left for new output; input is processed only while this is comfortable.
bool out_has_room();
size_t out_queued();
// Queues raw bytes at once (echo, console lines, stream). Dropped under --silent.
void out_bytes(const char *p, size_t n);
// Queues a device line: text followed by the line end.
void out_line(const char *text);
// Queues a protocol reply: junk, text, line end, with --delay-ms and --gap-ms applied.
void out_reply(const SimText &text);
// Position of the next byte queued, counted from the start of the run.
uint64_t out_position();
// Holds back what has been queued from position `start` on until `delay_ms` from now.
void out_hold(uint64_t start, long delay_ms);
// How many bytes may be written now; sets *wait_ns to how long until more may (or -1 for never).
size_t out_sendable(uint64_t now, int64_t *wait_ns);
const char *out_front();
void out_sent(size_t n, uint64_t now);

// Token bucket of the modelled line; both directions use one each. Pure arithmetic on the
// times it is given, with the rate from g_opt.rate (0: unlimited).
struct Bucket {
    double tokens;
    uint64_t last_ns;
};
void bucket_refill(Bucket &b, uint64_t now);
size_t bucket_allow(const Bucket &b, size_t want);
int64_t bucket_wait_ns(const Bucket &b, size_t want);
void bucket_take(Bucket &b, size_t n);
extern Bucket g_send_bucket, g_recv_bucket;

// ---- store (store.cpp) ----
int store_open(const char *dir);
// Checks a destination as text: nullptr when acceptable (and *last is the offset of its file
// name), otherwise why it is refused. Symbolic links are caught later, by store_begin().
const char *store_dest_problem(const char *dest, size_t len, size_t *last);
// Checks the destination and opens a temporary file for it. Returns a descriptor, or -1 when refused.
int store_begin(const char *dest, size_t len);
bool store_write(const char *p, size_t n);
// Renames the temporary file into place. Returns true when stored.
bool store_finish();
void store_abort();
// Appends "path size" lines of the stored files, at most cap bytes. Returns the length.
size_t store_list(char *out, size_t cap);

// ---- device protocol (device.cpp) ----
// What the loop must do after device input: the device itself never touches the line.
enum DeviceAction {
    DEVICE_GO_ON,           // keep serving
    DEVICE_HANG_UP,         // hang up the line now (--hangup-after)
    DEVICE_REBOOTING,       // hang up once the host has read our answer (--unplug-on-reboot)
    DEVICE_FINISH_OK,       // end the run with status 0 once the host has read our answer (--once)
    DEVICE_FINISH_FAILED,   // the same with status 1
};
// Reads a size line's text (plain decimal digits, at most PAYLOAD_MAX). False when refused.
bool size_line_parse(const char *text, size_t len, uint64_t *size);
// Back to the console prompt; an upload in progress is dropped.
void device_init();
// A fresh start after a replug: device_init() and the boot banner line.
void device_boot();
// Consumes received bytes; returns how many were taken. Stops early when output room runs short
// or when *action asks something of the loop (the rest is then the loop's to keep or drop).
size_t device_input(const char *p, size_t n, DeviceAction *action);
// Payload bytes still expected by the upload in progress (0 outside a payload).
uint64_t device_payload_left();

// ---- a serial device as the line (port.cpp) ----
enum PortOpen { PORT_OPEN, PORT_ABSENT, PORT_UNFIT };
// Opens g_opt.port raw at 921600 8N1, non-blocking, both queues flushed, into *fd.
// PORT_ABSENT: it cannot be opened now (unplugged); PORT_UNFIT: it opened but cannot serve
// (not a terminal, or the driver would not take the settings); both logged, the latter always,
// the former only when `say_absent`.
PortOpen port_open(int *fd, bool say_absent);
// True when everything written to the port has left the driver's output queue (or it cannot tell).
bool port_sent_all(int fd);
// True for the errors of a port that has gone away (unplugged, hung up).
bool port_gone_error(int err);

// ---- main loop (loop.cpp) ----
int sim_main(int argc, char **argv);
