#include "file_io.h"

#include <cerrno>
#include <fcntl.h>
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

std::int64_t FdOutputFile::copy_from(InputFile& input, std::int64_t offset, std::int64_t len) {
    auto* source = dynamic_cast<FdInputFile*>(&input);
    if (!source || !kernel_copy) return 0;
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    if (start < 0) {
        kernel_copy = false;
        return 0;
    }
    std::int64_t done = 0;
    while (done < len) {
        loff_t from = offset + done;
        ssize_t copied = ::copy_file_range(source->fd, &from, fd, nullptr,
                                           static_cast<std::size_t>(len - done), 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) {
            // Not supported between these files (a pipe, another file
            // system), the input's end, or an error: the caller's reads and
            // writes take over and report whatever is really wrong.
            if (copied < 0 && done == 0) kernel_copy = false;
            break;
        }
        done += copied;
    }
    // The copy stopped inside a block, at the end of an input that shrank
    // since it was read, say: that block's bytes are taken back, so the
    // output never holds part of a block that the pass did not see whole.
    if (std::int64_t partial = (offset + done) % 512) {
        done -= partial;
        if (::ftruncate(fd, start + done) != 0 || ::lseek(fd, start + done, SEEK_SET) < 0) {
            kernel_copy = false;
            return done + partial;  // cannot take them back: the pass writes on after them
        }
    }
    return done;
}
