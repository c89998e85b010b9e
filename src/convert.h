// The conversion pass: plint archive in, plain tar archive out.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

// Where the pass reads. read_at fills buf with up to len bytes from offset
// and returns how many it got; fewer than len only at the end of the input.
// A failure returns -1 and leaves its errno value in *error.
struct InputFile {
    std::string name;
    explicit InputFile(std::string file_name) : name(std::move(file_name)) {}
    virtual ~InputFile() = default;
    virtual std::int64_t read_at(std::int64_t offset, unsigned char* buf, std::size_t len,
                                 int* error) = 0;
};

// Where the pass writes, strictly in sequence. write_all writes all len
// bytes and returns 0, or returns an errno value. The pass calls it from a
// thread of its own, the only one that uses the output during the pass.
struct OutputFile {
    std::string name;
    explicit OutputFile(std::string file_name) : name(std::move(file_name)) {}
    virtual ~OutputFile() = default;
    virtual int write_all(const unsigned char* buf, std::size_t len) = 0;
    // Whether the two calls below work; asked once, before the pass starts.
    // When they do, the pass writes a placeholder entry's data while it
    // searches for the footer, and mends the header or cuts the entry off
    // afterwards, instead of holding the data until the footer turns up.
    virtual bool can_rewrite() { return false; }
    // Writes len bytes over output bytes [offset, offset + len), which were
    // written before, without moving where write_all goes on. Returns 0 or an
    // errno value.
    virtual int rewrite_at(std::int64_t offset, const unsigned char* buf, std::size_t len) {
        (void)offset;
        (void)buf;
        (void)len;
        return ENOTSUP;
    }
    // Cuts the output to its first length bytes; write_all goes on from
    // there. Returns 0 or an errno value.
    virtual int truncate_to(std::int64_t length) {
        (void)length;
        return ENOTSUP;
    }
};

// Receives each message of the pass, formatted and ending in "\n", with its
// level: 0 for errors, 2 for the positions of each converted entry. Called
// from the pass's output thread, in order.
struct MessageSink {
    virtual ~MessageSink() = default;
    virtual void emit(int level, const std::string& text) = 0;
};

struct ConvertResult {
    bool failed = false;        // a level-0 message was emitted: exit status 1
    bool write_failed = false;  // a write failed; the output's close must not report again
};

// How many chunks the pass holds at once on an output it cannot rewrite: a
// placeholder entry whose header and footer lie within that many
// consecutive chunks (chunks start at multiples of the chunk size) is read
// only once; of a longer one, the data before those chunks is read a second
// time. On an output it can rewrite every entry is read once.
constexpr int CONVERT_SCAN_CHUNKS = 7;

// How much of the input the pass reads at once. Tests pass smaller chunks to
// put headers, footers and the input's end on chunk boundaries.
constexpr std::size_t CONVERT_CHUNK_SIZE = 1 << 19;

// Reads the whole input and writes the converted archive. Placeholder
// headers get the size of their footer and a fresh checksum, footers are
// dropped, every other block is copied as read. Stops at the first read or
// write failure; never reads or writes outside the input's whole blocks and
// the converted entries. Reading and checking run on the calling thread,
// writing on a second one, so the two overlap. When output.can_rewrite(),
// the output holds a placeholder entry's header as read until its footer is
// found, so it is complete only once this returns. Memory use is fixed,
// whatever the archive: at most nine buffers of chunk_size bytes, a
// multiple of 512.
ConvertResult convert_archive(InputFile& input, OutputFile& output, MessageSink& messages,
                              std::size_t chunk_size = CONVERT_CHUNK_SIZE);

// The size an entry whose footer reads footer_size (modulo 2^32) and which
// holds data_blocks blocks must have: the one t with t = footer_size
// (mod 2^32) and ceil(t / 512) = data_blocks; -1 when there is none.
std::int64_t entry_size_for(std::uint32_t footer_size, std::int64_t data_blocks);

// An entry of this size or more does not fit eleven octal digits.
constexpr std::int64_t ENTRY_SIZE_LIMIT = std::int64_t{1} << 33;
