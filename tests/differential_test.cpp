// The pass against the plain model of it, over many generated archives:
// same output bytes, same messages, same failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "archive_builder.h"
#include "convert.h"
#include "convert_model.h"
#include "memory_io.h"

namespace {

class ArchiveMaker {
public:
    explicit ArchiveMaker(std::uint64_t seed) : random_(seed) {}

    std::string make(std::size_t chunk) {
        std::string archive;
        int items = pick(1, 14);
        for (int i = 0; i < items; ++i) {
            // Now and then pad up to a chunk boundary, give or take a block,
            // so that the next header, footer or tail sits on, just before
            // or just after it.
            if (pick(0, 3) == 0) {
                std::size_t target = (archive.size() / chunk + 1) * chunk + 512 * pick(-1, 1);
                while (archive.size() + 512 <= target) archive += block_bytes(data_block('.'));
            }
            archive += item();
        }
        if (pick(0, 3) == 0) archive += tail();
        return archive;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    std::string item() {
        switch (pick(0, 9)) {
            case 0: case 1: return ordinary_entry();
            case 2: case 3: case 4: return placeholder_entry();
            case 5: return block_bytes(placeholder_header_spelled());
            case 6: return block_bytes(footer());
            case 7: return std::string(512 * pick(1, 2), '\0');
            default: return junk_block();
        }
    }

    std::string ordinary_entry() {
        int size = pick(0, 3000);
        std::string entry = block_bytes(file_header("file" + std::to_string(pick(0, 99)), size));
        for (int i = 0; i < (size + 511) / 512; ++i) entry += junk_block();
        return entry;
    }

    std::string placeholder_entry() {
        int blocks = pick(0, 6);
        std::string entry = block_bytes(placeholder_header_spelled());
        for (int i = 0; i < blocks; ++i) entry += pick(0, 5) == 0 ? block_bytes(placeholder_header_spelled()) : junk_block();
        std::uint64_t size = blocks == 0 ? 0 : 512 * (blocks - 1) + pick(1, 512);
        if (pick(0, 4) == 0) size = pick(0, 5000);  // a size that may disagree with the data
        if (pick(0, 9) > 0) entry += block_bytes(footer(size));
        return entry;
    }

    TarBlock placeholder_header_spelled() {
        static const std::string spellings[] = {
            std::string("37777777777\0", 12), std::string("77777777777\0", 12), "-1", std::string(12, '\0'),
            std::string(12, ' '), "8", "x17", std::string("\x80\0\0\0\0\0\0\0\0\x01\0\0", 12),
        };
        TarBlock header = file_header("entry" + std::to_string(pick(0, 9)), 0);
        const std::string& size = spellings[pick(0, 7)];
        std::memset(header.data() + SIZE_FIELD.offset, 0, SIZE_FIELD.width);
        std::memcpy(header.data() + SIZE_FIELD.offset, size.data(), size.size());
        if (pick(0, 3) == 0) header[pick(0, 99)] = static_cast<unsigned char>(pick(0x80, 0xFF));
        set_checksum(header);
        return header;
    }

    TarBlock footer(std::uint64_t size = 0) {
        TarBlock block = make_footer(size);
        switch (pick(0, 9)) {
            case 0: std::memset(block.data() + SIZE_FIELD.offset, 0, SIZE_FIELD.width); break;  // no size
            case 1: block[99] = 'x'; break;                                                      // name not ended
            case 2: block[345 + 149] = 'x'; break;                                               // prefix not ended
            case 3: block[345 + pick(150, 154)] = 'x'; break;                                    // free bytes
            case 4: block[pick(0, 98)] ^= 1; break;                                              // mark broken
            default: break;
        }
        set_checksum(block);
        if (pick(0, 15) == 0) block[300] ^= 0x40;  // checksum left stale
        return block;
    }

    std::string junk_block() {
        TarBlock block;
        int kind = pick(0, 3);
        for (auto& byte : block) byte = static_cast<unsigned char>(kind == 0 ? pick(0, 255) : 'a' + kind);
        if (pick(0, 5) == 0) {  // chksum bytes that read as a number in range, yet wrong
            std::memcpy(block.data() + CHKSUM_FIELD.offset, "0012345 ", 8);
        }
        return block_bytes(block);
    }

    std::string tail() {
        int length = pick(0, 511);
        if (pick(0, 1) == 0) {
            // A placeholder entry whose footer is cut short: complete when the
            // cut falls in the zeros after the prefix mark and the block before
            // ends in zeros.
            std::string entry = block_bytes(placeholder_header_spelled());
            if (pick(0, 1) == 0) entry += std::string(512, '\0');
            return entry + block_bytes(footer(pick(0, 1) * 512)).substr(0, pick(480, 511));
        }
        std::string bytes;
        for (int i = 0; i < length; ++i) bytes += static_cast<char>(pick(0, 255));
        return bytes;
    }

    std::mt19937_64 random_;
};

// Both kinds of output: one the pass can mend and cut back (a regular
// file), and one it cannot (a pipe).
void expect_same_as_model(const std::string& archive, std::size_t chunk, const std::string& what) {
    ModelResult model = model_convert(archive);
    for (bool rewritable : {false, true}) {
        MemoryInput in(archive);
        MemoryOutput out;
        out.rewritable = rewritable;
        RecordingSink messages;
        ConvertResult result = convert_archive(in, out, messages, chunk);
        const std::string how = what + (rewritable ? ", rewritable output" : ", sequential output");
        ASSERT_TRUE(out.bytes == model.output) << how << ": " << first_difference(out.bytes, model.output);
        ASSERT_EQ(messages.text, model.messages) << how;
        ASSERT_EQ(result.failed, model.failed) << how;
    }
}

// PLINT_DIFFERENTIAL_COUNT raises the count for a longer run.
int archive_count(int fallback) {
    const char* count = std::getenv("PLINT_DIFFERENTIAL_COUNT");
    return count ? std::atoi(count) : fallback;
}

TEST(Differential, SmallChunks) {
    const std::size_t chunks[] = {512, 1024, 1536, 4096};
    ArchiveMaker maker(20261211);
    int count = archive_count(20000);
    for (int i = 0; i < count; ++i) {
        std::size_t chunk = chunks[i % 4];
        std::string archive = maker.make(chunk);
        expect_same_as_model(archive, chunk, "archive " + std::to_string(i) + " with chunk " + std::to_string(chunk));
        if (HasFatalFailure()) return;
    }
}

TEST(Differential, DefaultChunk) {
    ArchiveMaker maker(7);
    int count = archive_count(20000) / 100;
    for (int i = 0; i < count; ++i) {
        std::string archive = maker.make(CONVERT_CHUNK_SIZE);
        expect_same_as_model(archive, CONVERT_CHUNK_SIZE, "archive " + std::to_string(i));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
