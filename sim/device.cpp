// What the device does with the bytes it receives: a small line console, and the upload
// exchange started by "filecopy" (Ready reply, size line, destination line, payload, Data
// received reply).
#include "sim.h"

#include <cstdio>
#include <cstring>

constexpr size_t LINE_MAX_LEN = 256;
constexpr size_t SIZE_LINE_MAX = 24;
constexpr size_t LIST_MAX = 4096;
constexpr int SIZE_DIGITS_MAX = 8;   // 16 MiB has 8 digits
constexpr char BOOT_BANNER[] = "Korvan simulator 1.0 booted";

enum DeviceState { CONSOLE, SIZE_LINE, DEST_LINE, PAYLOAD };

static DeviceState state;
static char line[LINE_MAX_LEN + 1];
static size_t line_len;
static bool skip_lf;   // "filecopy\r": a following "\n" belongs to that line
static char size_text[SIZE_LINE_MAX + 1];
static size_t size_len;
static bool size_over;
static char dest[DEST_MAX + 1];
static size_t dest_len;
static bool dest_over;
static uint64_t payload_size, payload_left, payload_got;

uint64_t device_payload_left()
{
    return state == PAYLOAD ? payload_left : 0;
}
static bool storing;   // the destination was accepted and a temporary file is open

void device_init()
{
    if (storing)
        store_abort();
    storing = false;
    state = CONSOLE;
    line_len = 0;
    skip_lf = false;
}

void device_boot()
{
    device_init();
    out_line(BOOT_BANNER);
}

// Copy of the destination fit for a log line: non-printable bytes become '?'.
static const char *printable(const char *p, size_t n)
{
    static char buf[DEST_MAX + 1];
    for (size_t i = 0; i < n; i++)
        buf[i] = (p[i] >= 0x20 && p[i] < 0x7f) ? p[i] : '?';
    buf[n] = '\0';
    return buf;
}

// What the last command or upload asks of the loop; device_input() hands it back.
static DeviceAction pending_action;

static void console_command(const char *cmd)
{
    if (!strcmp(cmd, "filecopy")) {
        if (g_opt.no_ready) {
            sim_log("filecopy: not answering (--no-ready)");
            return;
        }
        out_reply(g_opt.ready);
        state = SIZE_LINE;
        size_len = 0;
        size_over = false;
        return;
    }
    sim_log("command: %s", printable(cmd, strlen(cmd)));
    uint64_t answer = out_position();
    if (!strcmp(cmd, "help")) {
        out_line("Commands: help, ls, version, reboot, reset, filecopy");
    } else if (!strcmp(cmd, "ls")) {
        static char list[LIST_MAX];
        size_t n = store_list(list, sizeof list);
        if (n == 0)
            out_line("(no files)");
        out_bytes(list, n);
    } else if (!strcmp(cmd, "version")) {
        out_line("Korvan simulator 1.0");
    } else if (!strcmp(cmd, "reboot")) {
        out_line("Rebooting...");
        if (g_opt.unplug_on_reboot)
            pending_action = DEVICE_REBOOTING;
    } else if (!strcmp(cmd, "reset")) {
        out_line("Resetting...");
    } else {
        char text[LINE_MAX_LEN + 32];
        snprintf(text, sizeof text, "Unknown command: %s", cmd);
        out_line(text);
    }
    out_hold(answer, g_opt.answer_delay_ms);
}

static void console_byte(char c)
{
    if (c == '\n' || c == '\r') {
        if (line_len == 0)
            return;
        line[line_len] = '\0';
        line_len = 0;
        console_command(line);
        if (state == SIZE_LINE)
            skip_lf = (c == '\r');
        return;
    }
    if (line_len < LINE_MAX_LEN)
        line[line_len++] = c;
}

bool size_line_parse(const char *text, size_t len, uint64_t *out)
{
    if (len == 0 || len > SIZE_DIGITS_MAX)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (uint64_t)(text[i] - '0');
    }
    if (v > PAYLOAD_MAX)
        return false;
    *out = v;
    return true;
}

static void size_byte(char c)
{
    bool skip = skip_lf && c == '\n' && size_len == 0;
    skip_lf = false;
    if (skip)
        return;
    if (c != '\n') {
        if (size_len < SIZE_LINE_MAX)
            size_text[size_len++] = c;
        else
            size_over = true;
        return;
    }
    if (size_over || !size_line_parse(size_text, size_len, &payload_size)) {
        size_text[size_len] = '\0';
        sim_log("bad size line: %s", printable(size_text, size_len));
        out_line("Ko:Error bad size");
        state = CONSOLE;
        return;
    }
    state = DEST_LINE;
    dest_len = 0;
    dest_over = false;
}

static void dest_byte(char c)
{
    if (c != '\n') {
        if (dest_len < DEST_MAX)
            dest[dest_len++] = c;
        else
            dest_over = true;
        return;
    }
    if (dest_over) {
        sim_log("refused destination (path too long)");
        storing = false;
    } else {
        storing = store_begin(dest, dest_len) >= 0;
    }
    payload_left = payload_size;
    payload_got = 0;
    state = PAYLOAD;
}

static void finish_upload()
{
    state = CONSOLE;
    line_len = 0;
    if (!storing) {
        sim_log("refused upload to %s (%llu bytes consumed)", printable(dest, dest_len),
                (unsigned long long)payload_size);
        out_line("Ko:Error invalid path");
        if (g_opt.once)
            pending_action = DEVICE_FINISH_FAILED;
        return;
    }
    storing = false;
    if (!store_finish()) {
        out_line("Ko:Error write failed");
        if (g_opt.once)
            pending_action = DEVICE_FINISH_FAILED;
        return;
    }
    sim_log("stored %s (%llu bytes)", printable(dest, dest_len), (unsigned long long)payload_size);
    if (!g_opt.no_done)
        out_reply(g_opt.done);
    if (g_opt.once)
        pending_action = DEVICE_FINISH_OK;
}

size_t device_input(const char *p, size_t n, DeviceAction *action)
{
    *action = DEVICE_GO_ON;
    if (g_opt.sink)
        return n;   // --sink: everything is taken and nothing is answered
    size_t i = 0;
    for (;;) {
        if (pending_action != DEVICE_GO_ON) {
            *action = pending_action;
            pending_action = DEVICE_GO_ON;
            return i;
        }
        if (state == PAYLOAD) {
            if (g_opt.hangup && payload_got >= g_opt.hangup_after) {
                sim_log("hanging up after %llu payload bytes", (unsigned long long)payload_got);
                device_init();
                *action = DEVICE_HANG_UP;
                return i;
            }
            if (payload_left == 0) {
                if (!out_has_room())
                    return i;
                finish_upload();
                continue;
            }
            if (i >= n)
                return i;
            uint64_t take = n - i;
            if (take > payload_left)
                take = payload_left;
            if (g_opt.hangup && take > g_opt.hangup_after - payload_got)
                take = g_opt.hangup_after - payload_got;
            if (storing)
                store_write(p + i, (size_t)take);
            payload_left -= take;
            payload_got += take;
            i += (size_t)take;
            continue;
        }
        if (i >= n || !out_has_room())
            return i;
        char c = p[i++];
        if (g_opt.echo)
            out_bytes(&c, 1);
        switch (state) {
        case CONSOLE: console_byte(c); break;
        case SIZE_LINE: size_byte(c); break;
        case DEST_LINE: dest_byte(c); break;
        case PAYLOAD: break;
        }
    }
}
