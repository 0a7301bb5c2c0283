// The device's file store: uploads land below one folder and nowhere else.
// A destination is checked as text first (no "..", not absolute, no NUL, not empty), then walked
// one component at a time with openat(O_NOFOLLOW | O_DIRECTORY), so a symbolic link anywhere on
// the way (even one planted inside the store) stops the upload. The payload goes to a temporary
// file next to the destination and is renamed into place when complete.
#include "sim.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr char TMP_PREFIX[] = ".korvan-tmp-";
constexpr int LIST_DEPTH_MAX = 16;

static int store_fd = -1;      // the store folder
static int dest_dir_fd = -1;   // folder of the destination being written
static int tmp_fd = -1;        // temporary file of the upload
static bool tmp_failed;
static char tmp_name[64];
static char final_name[NAME_MAX + 1];
static unsigned tmp_counter;

// mkdir -p for the store folder itself (given by the user; may contain ".." or links).
static bool make_dirs(const char *dir)
{
    char path[PATH_MAX];
    size_t len = strlen(dir);
    if (len == 0 || len >= sizeof path)
        return false;
    memcpy(path, dir, len + 1);
    for (size_t i = 1; i <= len; i++) {
        if (path[i] != '/' && path[i] != '\0')
            continue;
        char saved = path[i];
        path[i] = '\0';
        if (mkdir(path, 0755) != 0 && errno != EEXIST)
            return false;
        path[i] = saved;
    }
    return true;
}

int store_open(const char *dir)
{
    if (!make_dirs(dir)) {
        sim_log("cannot create store %s: %s", dir, strerror(errno));
        return -1;
    }
    store_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (store_fd < 0)
        sim_log("cannot open store %s: %s", dir, strerror(errno));
    return store_fd;
}

const char *store_dest_problem(const char *dest, size_t len, size_t *last)
{
    if (len == 0)
        return "empty path";
    if (memchr(dest, '\0', len))
        return "NUL in path";
    if (dest[0] == '/')
        return "absolute path";
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i < len && dest[i] != '/')
            continue;
        size_t n = i - start;
        if (n == 2 && dest[start] == '.' && dest[start + 1] == '.')
            return "\"..\" in path";
        if (n > NAME_MAX)
            return "name too long";
        if (i == len) {
            if (n == 0 || (n == 1 && dest[start] == '.'))
                return "no file name";
            *last = start;
        }
        start = i + 1;
    }
    return nullptr;
}

static void close_dest()
{
    if (dest_dir_fd >= 0 && dest_dir_fd != store_fd)
        close(dest_dir_fd);
    dest_dir_fd = -1;
}

int store_begin(const char *dest, size_t len)
{
    size_t last = 0;
    const char *why = store_dest_problem(dest, len, &last);
    if (why) {
        sim_log("refused destination (%s)", why);
        return -1;
    }
    int dir = store_fd;
    char name[NAME_MAX + 1];
    size_t start = 0;
    while (start < last) {
        const char *slash = (const char *)memchr(dest + start, '/', last - start);
        size_t n = (size_t)(slash - (dest + start));
        memcpy(name, dest + start, n);
        name[n] = '\0';
        start += n + 1;
        if (n == 0 || (n == 1 && name[0] == '.'))
            continue;
        if (mkdirat(dir, name, 0755) != 0 && errno != EEXIST) {
            sim_log("refused destination: cannot create folder %s: %s", name, strerror(errno));
            if (dir != store_fd)
                close(dir);
            return -1;
        }
        int next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir != store_fd)
            close(dir);
        if (next < 0) {
            sim_log("refused destination: %s is not a plain folder (%s)", name, strerror(errno));
            return -1;
        }
        dir = next;
    }
    dest_dir_fd = dir;
    size_t n = len - last;
    memcpy(final_name, dest + last, n);
    final_name[n] = '\0';
    struct stat st;
    if (fstatat(dir, final_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        sim_log("refused destination: %s exists and is not a plain file", final_name);
        close_dest();
        return -1;
    }
    snprintf(tmp_name, sizeof tmp_name, "%s%d-%u", TMP_PREFIX, (int)getpid(), ++tmp_counter);
    tmp_fd = openat(dir, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (tmp_fd < 0) {
        sim_log("cannot create temporary file: %s", strerror(errno));
        close_dest();
        return -1;
    }
    tmp_failed = false;
    return tmp_fd;
}

bool store_write(const char *p, size_t n)
{
    while (n > 0 && !tmp_failed) {
        ssize_t w = write(tmp_fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            sim_log("write to temporary file failed: %s", strerror(errno));
            tmp_failed = true;
            break;
        }
        p += w;
        n -= (size_t)w;
    }
    return !tmp_failed;
}

bool store_finish()
{
    bool ok = !tmp_failed;
    if (close(tmp_fd) != 0)
        ok = false;
    tmp_fd = -1;
    if (ok && renameat(dest_dir_fd, tmp_name, dest_dir_fd, final_name) != 0) {
        sim_log("cannot rename into place: %s", strerror(errno));
        ok = false;
    }
    if (!ok)
        unlinkat(dest_dir_fd, tmp_name, 0);
    close_dest();
    return ok;
}

void store_abort()
{
    if (tmp_fd < 0)
        return;
    close(tmp_fd);
    tmp_fd = -1;
    unlinkat(dest_dir_fd, tmp_name, 0);
    close_dest();
}

// Appends the files below `dfd` as "path size" lines; path holds the prefix of length plen.
static void list_dir(int dfd, char *path, size_t plen, char *out, size_t cap, size_t &len, int depth)
{
    int fd = dup(dfd);
    if (fd < 0)
        return;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    rewinddir(d);   // the duplicate shares its offset with dfd
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        const char *nm = e->d_name;
        if (!strcmp(nm, ".") || !strcmp(nm, ".."))
            continue;
        if (!strncmp(nm, TMP_PREFIX, sizeof TMP_PREFIX - 1))
            continue;
        size_t nl = strlen(nm);
        if (plen + nl + 2 >= DEST_MAX)
            continue;
        memcpy(path + plen, nm, nl + 1);
        struct stat st;
        if (fstatat(dfd, nm, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            char line[DEST_MAX + 64];
            int n = snprintf(line, sizeof line, "%s %lld%.*s", path, (long long)st.st_size, g_opt.eol.len,
                             g_opt.eol.s);
            if (n < 0 || (size_t)n > cap - len)
                break;
            memcpy(out + len, line, (size_t)n);
            len += (size_t)n;
        } else if (S_ISDIR(st.st_mode) && depth < LIST_DEPTH_MAX) {
            int sub = openat(dfd, nm, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0)
                continue;
            path[plen + nl] = '/';
            path[plen + nl + 1] = '\0';
            list_dir(sub, path, plen + nl + 1, out, cap, len, depth + 1);
            close(sub);
        }
    }
    closedir(d);
}

size_t store_list(char *out, size_t cap)
{
    static char path[DEST_MAX];
    size_t len = 0;
    path[0] = '\0';
    if (store_fd >= 0)
        list_dir(store_fd, path, 0, out, cap, len, 0);
    return len;
}
