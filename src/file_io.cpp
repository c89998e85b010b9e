#include "file_io.h"

#include <cerrno>
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

int FdOutputFile::write_all(const unsigned char* buf, std::size_t len) {
    while (len > 0) {
        ssize_t put = ::write(fd, buf, len);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return EIO;  // a write that moves nothing would loop forever
        buf += put;
        len -= static_cast<std::size_t>(put);
    }
    return 0;
}
