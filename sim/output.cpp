// Output queue of the simulated device: every byte the device sends waits here until the
// master side of the pseudo-terminal takes it. Replies may carry a pacing rule (a delay before
// the first byte, a gap between bytes), kept as ranges over the absolute byte positions.
#include "sim.h"

#include <cstring>

constexpr size_t OUT_SIZE = 64 * 1024;
constexpr size_t OUT_RESERVE = 8 * 1024;   // room one input byte may need for its answer
constexpr int PACE_MAX = 64;
constexpr int BUCKET_SLICES = 100;   // bucket holds 1/100 s of traffic

struct Pace {
    uint64_t start, end;   // absolute positions of the paced bytes [start, end)
    uint64_t not_before;   // monotonic ns before which the first byte may not go
    int64_t gap_ns;        // pause before each later byte
};

static char out_buf[OUT_SIZE];
static size_t out_head, out_tail;
static uint64_t out_sent_total;   // absolute position of out_buf[out_head]
static uint64_t out_last_ns;      // when the last byte was written
static Pace paces[PACE_MAX];
static int pace_first, pace_count;

Bucket g_send_bucket, g_recv_bucket;

void out_init()
{
    out_head = out_tail = 0;
    out_sent_total = 0;
    pace_first = pace_count = 0;
    uint64_t now = mono_ns();
    g_send_bucket = Bucket{ 0, now };
    g_recv_bucket = Bucket{ 0, now };
}

size_t out_queued()
{
    return out_tail - out_head;
}

bool out_has_room()
{
    return OUT_SIZE - out_queued() >= OUT_RESERVE && pace_count < PACE_MAX;
}

void out_bytes(const char *p, size_t n)
{
    if (g_opt.silent || n == 0)
        return;
    if (out_tail + n > OUT_SIZE && out_head > 0) {
        memmove(out_buf, out_buf + out_head, out_queued());
        out_tail -= out_head;
        out_head = 0;
    }
    if (n > OUT_SIZE - out_tail)
        n = OUT_SIZE - out_tail;   // never expected: callers keep room
    memcpy(out_buf + out_tail, p, n);
    out_tail += n;
}

void out_line(const char *text)
{
    out_bytes(text, strlen(text));
    out_bytes(g_opt.eol.s, g_opt.eol.len);
}

// Paces the output queued from absolute position `start` on: its first byte not before
// `delay_ms` from now, each later byte `gap_ms` after the one before.
static void out_pace(uint64_t start, long delay_ms, long gap_ms)
{
    uint64_t end = out_position();
    if ((delay_ms > 0 || gap_ms > 0) && pace_count < PACE_MAX && end > start) {
        Pace &p = paces[(pace_first + pace_count) % PACE_MAX];
        p.start = start;
        p.end = end;
        p.not_before = mono_ns() + (uint64_t)delay_ms * NS_PER_MS;
        p.gap_ns = gap_ms * NS_PER_MS;
        pace_count++;
    }
}

uint64_t out_position()
{
    return out_sent_total + out_queued();
}

void out_hold(uint64_t start, long delay_ms)
{
    out_pace(start, delay_ms, 0);
}

void out_reply(const SimText &text)
{
    if (g_opt.silent)
        return;
    uint64_t start = out_position();
    out_bytes(g_opt.junk.s, g_opt.junk.len);
    out_bytes(text.s, text.len);
    out_bytes(g_opt.eol.s, g_opt.eol.len);
    out_pace(start, g_opt.delay_ms, g_opt.gap_ms);
}

size_t out_sendable(uint64_t now, int64_t *wait_ns)
{
    *wait_ns = -1;
    size_t n = out_queued();
    if (n == 0)
        return 0;
    uint64_t pos = out_sent_total;
    while (pace_count > 0 && paces[pace_first].end <= pos) {
        pace_first = (pace_first + 1) % PACE_MAX;
        pace_count--;
    }
    if (pace_count > 0) {
        const Pace &p = paces[pace_first];
        if (pos < p.start) {
            if (n > p.start - pos)
                n = (size_t)(p.start - pos);
        } else {
            uint64_t due = pos == p.start ? p.not_before : out_last_ns + (uint64_t)p.gap_ns;
            if (now < due) {
                *wait_ns = (int64_t)(due - now);
                return 0;
            }
            size_t left = (size_t)(p.end - pos);
            n = p.gap_ns > 0 ? 1 : (n < left ? n : left);
        }
    }
    size_t allowed = bucket_allow(g_send_bucket, n);
    if (allowed == 0)
        *wait_ns = bucket_wait_ns(g_send_bucket, n);
    return allowed;
}

const char *out_front()
{
    return out_buf + out_head;
}

void out_sent(size_t n, uint64_t now)
{
    out_head += n;
    out_sent_total += n;
    out_last_ns = now;
    bucket_take(g_send_bucket, n);
    if (out_head == out_tail)
        out_head = out_tail = 0;
}

// ---- token bucket: --rate bytes per second, refilled from the monotonic clock ----

static double bucket_cap()
{
    double cap = (double)g_opt.rate / BUCKET_SLICES;
    return cap < 1 ? 1 : cap;
}

void bucket_refill(Bucket &b, uint64_t now)
{
    if (g_opt.rate <= 0)
        return;
    if (now > b.last_ns)
        b.tokens += (double)(now - b.last_ns) * (double)g_opt.rate / 1e9;
    b.last_ns = now;
    double cap = bucket_cap();
    if (b.tokens > cap)
        b.tokens = cap;
}

// Bytes of `want` that may pass now. To keep wake-ups few, a large request waits until half
// a bucket has gathered instead of trickling one byte at a time.
static double bucket_need(size_t want)
{
    double half = bucket_cap() / 2;
    if (half < 1)
        half = 1;
    return (double)want < half ? (double)want : half;
}

size_t bucket_allow(const Bucket &b, size_t want)
{
    if (g_opt.rate <= 0)
        return want;
    if (b.tokens < bucket_need(want))
        return 0;
    size_t whole = (size_t)b.tokens;
    return want < whole ? want : whole;
}

int64_t bucket_wait_ns(const Bucket &b, size_t want)
{
    double missing = bucket_need(want) - b.tokens;
    if (missing <= 0)
        return 0;
    return (int64_t)(missing * 1e9 / (double)g_opt.rate) + 1;
}

void bucket_take(Bucket &b, size_t n)
{
    if (g_opt.rate > 0)
        b.tokens -= (double)n;
}
