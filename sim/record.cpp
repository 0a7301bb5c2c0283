// Record file: writer (one write() per received chunk) and reader.
#include "record.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

constexpr size_t HEADER_SIZE = 12;
constexpr size_t ENTRY_MAX = 64 * 1024;

static int record_fd = -1;

bool record_open(const char *path)
{
    record_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return record_fd >= 0;
}

void record_append(uint64_t t_ns, const char *p, size_t n)
{
    static char entry[HEADER_SIZE + ENTRY_MAX];
    if (record_fd < 0)
        return;
    while (n > 0) {
        size_t part = n < ENTRY_MAX ? n : ENTRY_MAX;
        uint32_t len = (uint32_t)part;
        memcpy(entry, &t_ns, sizeof t_ns);
        memcpy(entry + sizeof t_ns, &len, sizeof len);
        memcpy(entry + HEADER_SIZE, p, part);
        size_t total = HEADER_SIZE + part, done = 0;
        while (done < total) {
            ssize_t w = write(record_fd, entry + done, total - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;
            done += (size_t)w;
        }
        p += part;
        n -= part;
    }
}

void record_close()
{
    if (record_fd >= 0)
        close(record_fd);
    record_fd = -1;
}

bool record_load(const char *path, std::vector<RecordChunk> &out)
{
    out.clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string all;
    char buf[65536];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            close(fd);
            return false;
        }
        if (r == 0)
            break;
        all.append(buf, (size_t)r);
    }
    close(fd);
    size_t pos = 0;
    while (all.size() - pos >= HEADER_SIZE) {
        RecordChunk c;
        uint32_t len;
        memcpy(&c.t_ns, all.data() + pos, sizeof c.t_ns);
        memcpy(&len, all.data() + pos + sizeof c.t_ns, sizeof len);
        if (all.size() - pos - HEADER_SIZE < len)
            break;
        c.bytes.assign(all.data() + pos + HEADER_SIZE, len);
        out.push_back(std::move(c));
        pos += HEADER_SIZE + len;
    }
    return true;
}
