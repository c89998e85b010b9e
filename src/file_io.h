// The pass's input and output on open file descriptors.
#pragma once

#include "convert.h"

// Reads with pread, so the pass keeps its own positions; retries short
// reads and EINTR until the count is met or the file ends.
struct FdInputFile : InputFile {
    int fd;
    FdInputFile(std::string file_name, int file_descriptor)
        : InputFile(std::move(file_name)), fd(file_descriptor) {}
    std::int64_t read_at(std::int64_t offset, unsigned char* buf, std::size_t len,
                         int* error) override;
};

// Writes sequentially with write, so pipes and FIFOs work as outputs;
// retries partial writes and EINTR.
struct FdOutputFile : OutputFile {
    int fd;
    FdOutputFile(std::string file_name, int file_descriptor)
        : OutputFile(std::move(file_name)), fd(file_descriptor) {}
    int write_all(const unsigned char* buf, std::size_t len) override;
    // A regular file, not opened for appending, written from its start.
    bool can_rewrite() override;
    int rewrite_at(std::int64_t offset, const unsigned char* buf, std::size_t len) override;
    // ftruncate, then lseek to the new end.
    int truncate_to(std::int64_t length) override;
};
