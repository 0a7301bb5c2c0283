// The simulator's log (standard error, one line per event) and its clock.
#include "sim.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

void sim_log(const char *fmt, ...)
{
    char buf[DEST_MAX + 256];
    const char prefix[] = "korvan-sim: ";
    size_t n = sizeof prefix - 1;
    memcpy(buf, prefix, n);
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    if (m < 0)
        m = 0;
    n += (size_t)m < sizeof buf - n - 1 ? (size_t)m : sizeof buf - n - 2;
    buf[n++] = '\n';
    ssize_t w = write(STDERR_FILENO, buf, n);
    (void)w;
}

uint64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * NS_PER_S + (uint64_t)ts.tv_nsec;
}
