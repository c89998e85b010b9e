// Read, write and change faults injected through the pass's InputFile and
// OutputFile, at every block and every read call of a small archive, with
// chunk sizes that make the entry's data copy read the input a second time.
// Each run must stop at the fault with its one message, never touch the files
// after it, and leave an output that is a prefix of the correct conversion.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"
#include "convert.h"
#include "convert_model.h"
#include "generate.h"
#include "memory_io.h"
#include "tar_block.h"

namespace {

constexpr std::int64_t BLOCK = BLOCK_SIZE;

// Data blocks that differ from one another, so a block written twice, left
// out or out of order shows in the output; their chksum bytes hold no number.
std::string data(int blocks, char first) {
    std::string bytes;
    for (int i = 0; i < blocks; ++i) bytes += std::string(BLOCK, static_cast<char>(first + i));
    return bytes;
}

std::string placeholder_entry(const char* name, std::uint64_t size, char fill) {
    TarBlock head = file_header(name, 0);
    make_placeholder(head);
    int blocks = static_cast<int>((size + BLOCK - 1) / BLOCK);
    return block_bytes(head) + data(blocks, fill) + block_bytes(make_footer(size));
}

// An ordinary entry, a placeholder entry of nine blocks (more than the
// smaller chunks hold, so its copy reads the input again), an empty entry,
// a one-block placeholder entry and the end-of-archive blocks.
struct Archive {
    std::string bytes;
    std::int64_t big_header_end;    // input offset where the big entry's data starts
    std::int64_t big_footer_start;  // input offset of its footer
    std::int64_t big_output_start;  // output offset of its converted header
};

Archive fixture() {
    Archive archive;
    archive.bytes = block_bytes(file_header("a", 700)) + data(2, 'A');
    archive.big_output_start = static_cast<std::int64_t>(archive.bytes.size());
    archive.big_header_end = archive.big_output_start + BLOCK;
    // Longer than the pass holds at chunks of up to four blocks, so its data
    // copy reads most of it again.
    archive.bytes += placeholder_entry("big", (4 * CONVERT_SCAN_CHUNKS + 9) * BLOCK - 12, 'a');
    archive.big_footer_start = static_cast<std::int64_t>(archive.bytes.size()) - BLOCK;
    archive.bytes += block_bytes(file_header("c", 0));
    archive.bytes += placeholder_entry("d", 100, 'n');
    archive.bytes += std::string(2 * BLOCK, '\0');
    return archive;
}

// An InputFile over bytes in memory with one fault: a read covering byte
// fail_offset fails with EIO, or the fail_call-th read does, or, once a read
// has got byte shrink_after (the footer search has read the footer), the
// input is shrink_to bytes long.
struct FaultyInput : MemoryInput {
    std::int64_t fail_offset = -1;
    int fail_call = -1;
    std::int64_t shrink_to = -1;
    std::int64_t shrink_after = -1;
    int calls = 0;
    int calls_after_fault = 0;
    bool faulted = false;

    explicit FaultyInput(std::string contents) : MemoryInput(std::move(contents)) {}

    std::int64_t read_at(std::int64_t offset, unsigned char* buf, std::size_t len, int* error) override {
        ++calls;
        if (faulted) ++calls_after_fault;
        std::int64_t end = offset + static_cast<std::int64_t>(len);
        if (calls == fail_call || (fail_offset >= offset && fail_offset < end)) {
            faulted = true;
            *error = EIO;
            return -1;
        }
        std::int64_t got = MemoryInput::read_at(offset, buf, len, error);
        if (shrink_to >= 0 && !faulted && shrink_after >= offset && shrink_after < offset + got) {
            faulted = true;
            bytes.resize(static_cast<std::size_t>(shrink_to));
        }
        return got;
    }
};

// An OutputFile that takes the first `room` bytes and then fails every
// write with ENOSPC, as a full disk does.
struct FaultyOutput : MemoryOutput {
    std::size_t room;
    int calls_after_fault = 0;
    bool faulted = false;

    explicit FaultyOutput(std::int64_t fail_block, bool can_rewrite = false)
        : room(fail_block < 0 ? std::string::npos : static_cast<std::size_t>(fail_block * BLOCK)) {
        rewritable = can_rewrite;
    }

    int write_all(const unsigned char* buf, std::size_t len) override {
        if (faulted) {
            ++calls_after_fault;
            return ENOSPC;
        }
        std::size_t take = std::min(len, room - bytes.size());
        MemoryOutput::write_all(buf, take);
        if (take < len) {
            faulted = true;
            return ENOSPC;
        }
        return 0;
    }
};

struct Outcome {
    std::string output;
    std::string messages;
    ConvertResult result;
    double seconds;
};

template <typename In, typename Out>
Outcome run(In& in, Out& out, std::size_t chunk) {
    RecordingSink messages;
    auto start = std::chrono::steady_clock::now();
    ConvertResult result = convert_archive(in, out, messages, chunk);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {out.bytes, messages.text, result, took.count()};
}

// The checks every fault shares: one level-0 message, the given one; nothing
// after it, since the pass stops there; the level-2 positions before it as
// the clean run prints them; an output that the correct conversion starts
// with; and a quick end.
void expect_stopped(const Outcome& got, const ModelResult& clean, const std::string& message) {
    EXPECT_TRUE(got.result.failed);
    const std::size_t at = ("\n" + got.messages).find("\n0 ");
    ASSERT_NE(at, std::string::npos) << "no error message: " << got.messages;
    const std::string before = got.messages.substr(0, at);
    const std::string rest = got.messages.substr(at);
    EXPECT_EQ(rest, "0 " + message) << "the error, and nothing after it: " << got.messages;
    EXPECT_EQ(clean.messages.compare(0, before.size(), before), 0) << got.messages;
    ASSERT_LE(got.output.size(), clean.output.size());
    EXPECT_TRUE(clean.output.compare(0, got.output.size(), got.output) == 0)
        << "the output is not a prefix of the correct conversion";
    EXPECT_LT(got.seconds, 1.0);
}

const std::size_t CHUNKS[] = {BLOCK_SIZE, 2 * BLOCK_SIZE, 4 * BLOCK_SIZE, CONVERT_CHUNK_SIZE};
const std::string READ_FAILED = std::string("read of input file in.plint failed ") + std::strerror(EIO) + "\n";
const std::string WRITE_FAILED =
    std::string("write of output file out.tar failed ") + std::strerror(ENOSPC) + "\n";

std::string variant(std::size_t chunk, bool rewritable = false) {
    return "chunk " + std::to_string(chunk) + (rewritable ? ", rewritable output, " : ", ");
}
const std::string CHANGED = "input file changed during conversion\n";

// Every chunk size, into an output like a pipe and into one like a regular
// file.
std::vector<std::pair<std::size_t, bool>> chunk_variants() {
    std::vector<std::pair<std::size_t, bool>> variants;
    for (bool rewritable : {false, true})
        for (std::size_t chunk : CHUNKS) variants.emplace_back(chunk, rewritable);
    return variants;
}

TEST(FaultTest, FixtureConvertsCleanlyAtEveryChunkSize) {
    const Archive archive = fixture();
    const ModelResult clean = model_convert(archive.bytes);
    ASSERT_FALSE(clean.failed) << clean.messages;
    {
        for (std::size_t chunk : CHUNKS) {
            SCOPED_TRACE(variant(chunk));
            FaultyInput in(archive.bytes);
            FaultyOutput out(-1);
            Outcome got = run(in, out, chunk);
            EXPECT_FALSE(got.result.failed);
            EXPECT_EQ(got.output, clean.output);
            EXPECT_EQ(got.messages, clean.messages);
        }
    }
}

TEST(FaultTest, ReadFailingAtAnyOffsetStopsThePass) {
    const Archive archive = fixture();
    const ModelResult clean = model_convert(archive.bytes);
    {
        for (auto [chunk, rewritable] : chunk_variants()) {
            for (std::int64_t at = 0; at < static_cast<std::int64_t>(archive.bytes.size()); at += BLOCK / 2) {
                SCOPED_TRACE(variant(chunk, rewritable) + "failing offset " + std::to_string(at));
                FaultyInput in(archive.bytes);
                in.fail_offset = at;
                FaultyOutput out(-1, rewritable);
                Outcome got = run(in, out, chunk);
                expect_stopped(got, clean, READ_FAILED);
                EXPECT_EQ(in.calls_after_fault, 0);
                // Nothing that only the failed block or what follows it could
                // tell reaches the output: no more than the clean conversion of
                // the input before that block.
                std::string before = archive.bytes.substr(0, static_cast<std::size_t>(at / BLOCK * BLOCK));
                EXPECT_LE(got.output.size(), model_convert(before).output.size());
            }
        }
    }
}

// Counting calls reaches the reads that offsets cannot: the second read of
// the big entry's data, after the footer search read it once without fault.
TEST(FaultTest, ReadFailingAtAnyCallStopsThePass) {
    const Archive archive = fixture();
    const ModelResult clean = model_convert(archive.bytes);
    for (std::size_t chunk : CHUNKS) {
        FaultyInput counter(archive.bytes);
        MemoryOutput ignored;
        run(counter, ignored, chunk);
        for (int call = 1; call <= counter.calls; ++call) {
            SCOPED_TRACE(variant(chunk) + "failing call " + std::to_string(call));
            FaultyInput in(archive.bytes);
            in.fail_call = call;
            MemoryOutput out;
            Outcome got = run(in, out, chunk);
            expect_stopped(got, clean, READ_FAILED);
            EXPECT_EQ(in.calls_after_fault, 0);
        }
    }
}

TEST(FaultTest, WriteFailingAtAnyBlockStopsThePassWithOneMessage) {
    const Archive archive = fixture();
    const ModelResult clean = model_convert(archive.bytes);
    const std::int64_t blocks = static_cast<std::int64_t>(clean.output.size()) / BLOCK;
    {
        // Into a rewritable output, the big entry's data goes out during the
        // footer search: a failure there is reported after the footer's
        // messages, as if the data had been written after the search.
        for (auto [chunk, rewritable] : chunk_variants()) {
            for (std::int64_t block = 0; block < blocks; ++block) {
                SCOPED_TRACE(variant(chunk, rewritable) + "disk full at block " + std::to_string(block));
                FaultyInput in(archive.bytes);
                FaultyOutput out(block, rewritable);
                Outcome got = run(in, out, chunk);
                expect_stopped(got, clean, WRITE_FAILED);
                EXPECT_TRUE(got.result.write_failed) << "the output's close would report the failure again";
                EXPECT_EQ(got.output, clean.output.substr(0, static_cast<std::size_t>(block * BLOCK)));
                EXPECT_EQ(out.calls_after_fault, 0);
            }
            SCOPED_TRACE(variant(chunk, rewritable) + "room for exactly the whole output");
            FaultyInput in(archive.bytes);
            FaultyOutput out(blocks, rewritable);
            Outcome got = run(in, out, chunk);
            EXPECT_FALSE(got.result.failed) << got.messages;
            EXPECT_FALSE(got.result.write_failed);
            EXPECT_EQ(got.output, clean.output);
        }
    }
}

// The big entry's copy reads its data again after the footer search; the
// input shrinking in between cuts that copy short at the last whole block.
TEST(FaultTest, InputShrinkingBeforeTheDataCopyStopsThePass) {
    const Archive archive = fixture();
    const ModelResult clean = model_convert(archive.bytes);
    {
        for (std::size_t chunk : {BLOCK_SIZE, 2 * BLOCK_SIZE, 4 * BLOCK_SIZE}) {
            // The copy reads again everything before the chunks the pass
            // still holds: the footer's and the ones just before it.
            const std::int64_t chunk_bytes = static_cast<std::int64_t>(chunk);
            const std::int64_t reread_end =
                (archive.big_footer_start / chunk_bytes - (CONVERT_SCAN_CHUNKS - 1)) * chunk_bytes;
            ASSERT_GT(reread_end, archive.big_header_end) << variant(chunk);
            for (std::int64_t size = archive.big_header_end; size < reread_end; size += 100) {
                SCOPED_TRACE(variant(chunk) + "input shrunk to " + std::to_string(size));
                FaultyInput in(archive.bytes);
                in.shrink_to = size;
                in.shrink_after = archive.big_footer_start;
                FaultyOutput out(-1);
                Outcome got = run(in, out, chunk);
                ASSERT_TRUE(in.faulted) << "the footer search did not read the footer";
                expect_stopped(got, clean, CHANGED);
                const std::int64_t copied = (size - archive.big_header_end) / BLOCK * BLOCK;
                EXPECT_EQ(static_cast<std::int64_t>(got.output.size()),
                          archive.big_output_start + BLOCK + copied);
            }
        }
    }
}

}  // namespace
