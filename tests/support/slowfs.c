// velmora-slowfs: a source folder mirrored read-only through FUSE, slow on
// every request, to stand in for a photo share on SMB/NFS in tests and
// benchmarks.
//
//   velmora-slowfs MOUNTPOINT -o source=DIR[,delay_us=N][,stall=NAME] [-f]
//
// Each lookup/getattr, opendir, readdir, readlink and open sleeps delay_us
// before it answers; reads of an opened file, and its attributes, answer at
// once (a photo is fetched in bulk once it is open). Requests are served by fuse_main's
// multi-threaded loop, so requests in flight at once overlap. A request for
// a path whose last component is NAME never answers until the file system
// is told to exit (SIGTERM) or is killed: a stalled mount.
//
// Nothing is cached by the kernel, so every stat reaches us. readdir gives
// each name its type from the source (as SMB and NFS listings do), but no
// attributes the kernel keeps: a stat after a listing is a request of its
// own.
//
// The mount root answers getxattr for counts since the mount (decimal text):
// user.slowfs.requests (all slowed requests), .getattr (lookups and
// getattrs), .opendir, .readdir, .peak (most delayed requests in flight at
// once) and .stalled (requests stalled now).
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

struct slow_options {
    const char* source;
    unsigned long delay_us;
    const char* stall;
};
static struct slow_options options;

static const struct fuse_opt option_spec[] = {
    {"source=%s", offsetof(struct slow_options, source), 0},
    {"delay_us=%lu", offsetof(struct slow_options, delay_us), 0},
    {"stall=%s", offsetof(struct slow_options, stall), 0},
    FUSE_OPT_END,
};

enum { COUNT_REQUESTS, COUNT_GETATTR, COUNT_OPENDIR, COUNT_READDIR, COUNT_PEAK, COUNT_STALLED, COUNT_KINDS };
static const char* const count_names[COUNT_KINDS] = {"user.slowfs.requests", "user.slowfs.getattr",
                                                     "user.slowfs.opendir",  "user.slowfs.readdir",
                                                     "user.slowfs.peak",     "user.slowfs.stalled"};
static long counts[COUNT_KINDS];
static long in_flight;

static void sleep_us(unsigned long us)
{
    struct timespec left = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int is_stalled(const char* path)
{
    if (!options.stall)
        return 0;
    const char* last = strrchr(path, '/');
    return strcmp(last ? last + 1 : path, options.stall) == 0;
}

// The delay every request pays, or for a stalled path the wait until the
// file system exits (then the caller gets EIO).
static int slow_down(const char* path, int kind)
{
    __atomic_add_fetch(&counts[COUNT_REQUESTS], 1, __ATOMIC_RELAXED);
    if (kind != COUNT_REQUESTS)
        __atomic_add_fetch(&counts[kind], 1, __ATOMIC_RELAXED);
    if (is_stalled(path)) {
        struct fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
        __atomic_add_fetch(&counts[COUNT_STALLED], 1, __ATOMIC_RELAXED);
        while (!fuse_session_exited(session))
            sleep_us(50000);
        __atomic_sub_fetch(&counts[COUNT_STALLED], 1, __ATOMIC_RELAXED);
        return -EIO;
    }
    const long now = __atomic_add_fetch(&in_flight, 1, __ATOMIC_RELAXED);
    long peak = __atomic_load_n(&counts[COUNT_PEAK], __ATOMIC_RELAXED);
    while (now > peak && !__atomic_compare_exchange_n(&counts[COUNT_PEAK], &peak, now, 0, __ATOMIC_RELAXED,
                                                      __ATOMIC_RELAXED)) {
    }
    sleep_us(options.delay_us);
    __atomic_sub_fetch(&in_flight, 1, __ATOMIC_RELAXED);
    return 0;
}

// The source's path for a path below the mount ("/a/b").
static int source_path(const char* path, char out[PATH_MAX])
{
    return snprintf(out, PATH_MAX, "%s%s", options.source, path) < PATH_MAX ? 0 : -ENAMETOOLONG;
}

// What every request on a path does first: pay its delay, then find the
// path in the source.
static int arrive(const char* path, int kind, char full[PATH_MAX])
{
    const int res = slow_down(path, kind);
    return res != 0 ? res : source_path(path, full);
}

static void* slow_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}

static int slow_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    // An open file's attributes (the kernel asks before each read, nothing
    // being cached) come with its data, as a network client keeps them.
    if (fi && fi->fh) {
        const int fd = (int)fi->fh;
        return fstat(fd, st) == 0 ? 0 : -errno;
    }
    char full[PATH_MAX];
    int res = arrive(path, COUNT_GETATTR, full);
    if (res == 0 && lstat(full, st) != 0)
        res = -errno;
    return res;
}

static int slow_readlink(const char* path, char* buf, size_t size)
{
    char full[PATH_MAX];
    int res = arrive(path, COUNT_REQUESTS, full);
    if (res != 0)
        return res;
    const ssize_t n = readlink(full, buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

static int slow_opendir(const char* path, struct fuse_file_info* fi)
{
    char full[PATH_MAX];
    int res = arrive(path, COUNT_OPENDIR, full);
    if (res != 0)
        return res;
    DIR* dir = opendir(full);
    if (!dir)
        return -errno;
    fi->fh = (uintptr_t)dir;
    return 0;
}

// The whole folder in one call (offset 0 to the filler): FUSE keeps it and
// answers the kernel's further reads of it without asking again.
static int slow_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
                        struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)flags;
    const int res = slow_down(path, COUNT_READDIR);
    if (res != 0)
        return res;
    DIR* dir = (DIR*)(uintptr_t)fi->fh;
    rewinddir(dir);
    for (struct dirent* entry; (entry = readdir(dir));) {
        struct stat st;
        memset(&st, 0, sizeof st);
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since the listing began
        if (filler(buf, entry->d_name, &st, 0, 0))
            break;
    }
    return 0;
}

static int slow_releasedir(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    closedir((DIR*)(uintptr_t)fi->fh);
    return 0;
}

static int slow_open(const char* path, struct fuse_file_info* fi)
{
    char full[PATH_MAX];
    int res = arrive(path, COUNT_REQUESTS, full);
    if (res != 0)
        return res;
    const int fd = open(full, O_RDONLY);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int slow_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    const ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int slow_release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

// The counts, on the mount root only; no other extended attributes.
static int slow_getxattr(const char* path, const char* name, char* value, size_t size)
{
    if (strcmp(path, "/") != 0)
        return -ENODATA;
    for (int kind = 0; kind < COUNT_KINDS; ++kind) {
        if (strcmp(name, count_names[kind]) != 0)
            continue;
        char text[32];
        const int length = snprintf(text, sizeof text, "%ld", __atomic_load_n(&counts[kind], __ATOMIC_RELAXED));
        if (size == 0)
            return length;
        if (size < (size_t)length)
            return -ERANGE;
        memcpy(value, text, (size_t)length);
        return length;
    }
    return -ENODATA;
}

static const struct fuse_operations slow_operations = {
    .init = slow_init,
    .getattr = slow_getattr,
    .readlink = slow_readlink,
    .opendir = slow_opendir,
    .readdir = slow_readdir,
    .releasedir = slow_releasedir,
    .open = slow_open,
    .read = slow_read,
    .release = slow_release,
    .getxattr = slow_getxattr,
};

int main(int argc, char* argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, option_spec, NULL) != 0)
        return 1;
    // The source is resolved now: without -f the daemon leaves for "/".
    char* source = options.source ? realpath(options.source, NULL) : NULL;
    struct stat st;
    if (!source || stat(source, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "usage: %s MOUNTPOINT -o source=DIR[,delay_us=N][,stall=NAME] [FUSE options]\n", argv[0]);
        return 1;
    }
    options.source = strcmp(source, "/") == 0 ? "" : source;
    // Read-only for the kernel too (writes fail with EROFS), and room for
    // many requests held up at once. An explicit idle thread count keeps
    // libfuse 3.14 from warning about its own default.
    fuse_opt_add_arg(&args, "-oro");
    fuse_opt_add_arg(&args, "-omax_threads=64,max_idle_threads=16");
    const int status = fuse_main(args.argc, args.argv, &slow_operations, NULL);
    fuse_opt_free_args(&args);
    free(source);
    return status;
}
