/* Test-only shim, preloaded into the plint binary (LD_PRELOAD) to inject
 * I/O faults that a file alone cannot make. Each fault is off unless its
 * environment variable is set; with none set the shim passes every call on.
 *
 *   PLINT_FAULT_READ_EIO_AT=N      the 512 bytes from N are a bad sector: a
 *                                  pread of a regular file that would reach
 *                                  them gets the bytes before them, and one
 *                                  that starts among them fails with EIO
 *   PLINT_FAULT_WRITE_ENOSPC_AT_BLOCK=N
 *                                  writes to descriptors above 2 (not the
 *                                  messages on standard output) fill N blocks
 *                                  of 512 bytes, then fail with ENOSPC, as a
 *                                  full disk does
 *   PLINT_FAULT_CLOSE_EIO=1        closing a descriptor above 2 opened for
 *                                  writing closes it and then reports EIO, as
 *                                  a deferred write error on NFS does
 *   PLINT_FAULT_SHRINK_TO=N        every pread of a regular file sees it as N
 *                                  bytes long, as if it had been truncated;
 *                                  the file itself is not touched
 *   PLINT_FAULT_NO_SEEK=1          lseek on a descriptor above 2 fails with
 *                                  ESPIPE, as on a pipe, so the tool takes
 *                                  the output for one it cannot go back in
 *   PLINT_FAULT_AFTER=X            the two read faults above start only once
 *                                  a read has got byte X: set to a footer's
 *                                  offset, they hit the data copy that reads
 *                                  the entry again after the footer search
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static long long read_eio_at = -1;
static long long write_enospc_at = -1; /* in bytes */
static int close_eio = 0;
static long long shrink_to = -1;
static long long armed_after = -1;
static int no_seek = 0;

static long long written = 0;   /* bytes written to descriptors above 2 */
static int armed = 1;            /* the read faults are on */

static ssize_t (*real_pread)(int, void*, size_t, off_t);
static ssize_t (*real_pread64)(int, void*, size_t, off64_t);
static ssize_t (*real_write)(int, const void*, size_t);
static off_t (*real_lseek)(int, off_t, int);
static off64_t (*real_lseek64)(int, off64_t, int);
static int (*real_close)(int);

static long long number_from(const char* name) {
    const char* text = getenv(name);
    return text && *text ? strtoll(text, NULL, 10) : -1;
}

__attribute__((constructor)) static void fault_shim_init(void) {
    /* The object-to-function pointer copy that POSIX gives for dlsym. */
    *(void**)&real_pread = dlsym(RTLD_NEXT, "pread");
    *(void**)&real_pread64 = dlsym(RTLD_NEXT, "pread64");
    *(void**)&real_write = dlsym(RTLD_NEXT, "write");
    *(void**)&real_close = dlsym(RTLD_NEXT, "close");
    *(void**)&real_lseek = dlsym(RTLD_NEXT, "lseek");
    *(void**)&real_lseek64 = dlsym(RTLD_NEXT, "lseek64");
    read_eio_at = number_from("PLINT_FAULT_READ_EIO_AT");
    long long block = number_from("PLINT_FAULT_WRITE_ENOSPC_AT_BLOCK");
    write_enospc_at = block >= 0 ? block * 512 : -1;
    close_eio = number_from("PLINT_FAULT_CLOSE_EIO") > 0;
    shrink_to = number_from("PLINT_FAULT_SHRINK_TO");
    armed_after = number_from("PLINT_FAULT_AFTER");
    no_seek = number_from("PLINT_FAULT_NO_SEEK") > 0;
    armed = armed_after < 0;
}

static int regular_file(int fd) {
    struct stat info;
    return fd > 2 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

/* How many of count bytes at offset the faults let through; -1 with errno
 * set for a read that fails. */
static long long read_allowance(int fd, size_t count, long long offset) {
    if (!armed || !regular_file(fd)) return (long long)count;
    long long allowed = (long long)count;
    if (shrink_to >= 0) {
        long long left = shrink_to - offset;
        if (left < allowed) allowed = left < 0 ? 0 : left;
    }
    if (read_eio_at >= 0 && offset + allowed > read_eio_at && offset < read_eio_at + 512) {
        if (offset >= read_eio_at) {
            errno = EIO;
            return -1;
        }
        allowed = read_eio_at - offset;
    }
    return allowed;
}

/* Turns the read faults on once a read has got byte armed_after. */
static void note_read(int fd, long long offset, long long got) {
    if (!armed && got > 0 && offset <= armed_after && offset + got > armed_after && regular_file(fd))
        armed = 1;
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    long long allowed = read_allowance(fd, count, (long long)offset);
    if (allowed <= 0) return (ssize_t)allowed;
    ssize_t got = real_pread(fd, buf, (size_t)allowed, offset);
    note_read(fd, (long long)offset, got);
    return got;
}

ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
    long long allowed = read_allowance(fd, count, (long long)offset);
    if (allowed <= 0) return (ssize_t)allowed;
    ssize_t got = real_pread64(fd, buf, (size_t)allowed, offset);
    note_read(fd, (long long)offset, got);
    return got;
}

/* How many of count bytes the full disk takes on fd; -1 with errno set when
 * it takes none. */
static long long write_allowance(int fd, size_t count) {
    if (fd <= 2 || write_enospc_at < 0) return (long long)count;
    long long room = write_enospc_at - written;
    if (room <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return (long long)count < room ? (long long)count : room;
}

ssize_t write(int fd, const void* buf, size_t count) {
    long long allowed = write_allowance(fd, count);
    if (allowed < 0) return -1;
    ssize_t put = real_write(fd, buf, (size_t)allowed);
    if (put > 0 && fd > 2) written += put;
    return put;
}

int close(int fd) {
    int faulty = close_eio && fd > 2 && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;
    int status = real_close(fd);
    if (status == 0 && faulty) {
        errno = EIO;
        return -1;
    }
    return status;
}

off_t lseek(int fd, off_t offset, int whence) {
    if (no_seek && fd > 2) {
        errno = ESPIPE;
        return -1;
    }
    return real_lseek(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    if (no_seek && fd > 2) {
        errno = ESPIPE;
        return -1;
    }
    return real_lseek64(fd, offset, whence);
}
