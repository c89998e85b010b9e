#include "file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::int64_t FdInputFile::read_at(std::int64_t offset, unsigned char* buf, std::size_t len,
                                  int* error) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t got = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

namespace {

// Writes all len bytes with write, or with pwrite at offset when offset is
// not negative; retries partial writes and EINTR. Returns 0 or an errno value.
int write_fully(int fd, const unsigned char* buf, std::size_t len, std::int64_t offset) {
    while (len > 0) {
        ssize_t put = offset < 0 ? ::write(fd, buf, len) : ::pwrite(fd, buf, len, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return EIO;  // a write that moves nothing would loop forever
        buf += put;
        len -= static_cast<std::size_t>(put);
        if (offset >= 0) offset += put;
    }
    return 0;
}

}  // namespace

int FdOutputFile::write_all(const unsigned char* buf, std::size_t len) { return write_fully(fd, buf, len, -1); }

bool FdOutputFile::can_rewrite() {
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_APPEND) && ::lseek(fd, 0, SEEK_CUR) == 0;
}

int FdOutputFile::rewrite_at(std::int64_t offset, const unsigned char* buf, std::size_t len) {
    return write_fully(fd, buf, len, offset);
}

int FdOutputFile::truncate_to(std::int64_t length) {
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return errno;
    if (::lseek(fd, static_cast<off_t>(length), SEEK_SET) < 0) return errno;
    return 0;
}
