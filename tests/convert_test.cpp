// The conversion pass on archives built in memory.
#include "convert.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <vector>

#include "archive_builder.h"
#include "convert_model.h"
#include "memory_io.h"

namespace {

struct Converted {
    std::string output;
    std::string messages;  // level and text of each, as RecordingSink keeps them
    bool failed;
};

// rewritable: an output like a regular file, which takes a placeholder
// entry's data during the footer search; otherwise one like a pipe.
Converted convert(const std::string& input, std::size_t chunk = CONVERT_CHUNK_SIZE, bool rewritable = false) {
    MemoryInput in(input);
    MemoryOutput out;
    out.rewritable = rewritable;
    RecordingSink messages;
    ConvertResult result = convert_archive(in, out, messages, chunk);
    return {out.bytes, messages.text, result.failed};
}

// Level-0 messages only: the level-2 positions are checked on their own.
std::string errors(const std::string& messages) {
    std::string kept;
    std::size_t at = 0;
    while (at < messages.size()) {
        std::size_t end = messages.find('\n', at) + 1;
        if (messages[at] == '0') kept += messages.substr(at + 2, end - at - 2);
        at = end;
    }
    return kept;
}

// The placeholder header rewritten as the pass must write it: size field,
// checksum field, nothing else.
std::string rewritten(TarBlock header, std::uint64_t size) {
    put_octal_field(header.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH, size);
    set_checksum(header);
    return block_bytes(header);
}

TEST(ConvertArchive, RewrittenHeaderChangesOnlySizeAndChecksum) {
    TarBlock header = placeholder_header("notes/log.txt");
    header[0] = static_cast<char>(0xE9);  // a byte above 0x7F counts unsigned
    set_checksum(header);
    std::string input = block_bytes(header) + block_bytes(data_block('a')) + block_bytes(data_block('b')) +
                        block_bytes(make_footer(1000));
    Converted run = convert(input);
    ASSERT_EQ(run.output.size(), 3 * 512u);
    EXPECT_EQ(run.output.substr(124, 12), std::string("00000001750\0", 12));
    TarBlock written;
    std::memcpy(written.data(), run.output.data(), 512);
    EXPECT_EQ(written[154], '\0');
    EXPECT_EQ(written[155], ' ');
    TarBlock check = written;
    EXPECT_EQ(check_placeholder_header(check), BLOCK_OK);
    for (std::size_t i = 0; i < 512; ++i) {
        bool size_or_checksum = (i >= 124 && i < 136) || (i >= 148 && i < 156);
        if (!size_or_checksum) {
            EXPECT_EQ(written[i], header[i]) << "byte " << i;
        }
    }
    EXPECT_TRUE(run.output.substr(512) == input.substr(512, 2 * 512));
    EXPECT_EQ(run.messages,
              "2 Plint header pos: start:0 end:512\n"
              "2 PFooter pos: start:1536 end:2048\n");
    EXPECT_FALSE(run.failed);
}

// Whole archives: input blocks, expected output, expected error messages.
TEST(ConvertArchive, Archives) {
    const std::string head = block_bytes(placeholder_header("entry"));
    const std::string a = block_bytes(data_block('a')), b = block_bytes(data_block('b'));
    const std::string file = block_bytes(file_header("plain", 600)) + a + b;
    const std::string zeros = std::string(1024, '\0');
    auto footer = [](std::uint64_t size) { return block_bytes(make_footer(size)); };
    TarBlock no_size = make_footer(0);
    std::memset(no_size.data() + SIZE_FIELD.offset, 0, SIZE_FIELD.width);
    set_checksum(no_size);
    const std::string footer_without_size = block_bytes(no_size);
    const std::string head_600 = rewritten(placeholder_header("entry"), 600);
    const std::string head_0 = rewritten(placeholder_header("entry"), 0);

    struct Case {
        const char* what;
        std::string input;
        std::string want;
        std::string want_errors;
    } cases[] = {
        {"empty input", "", "", ""},
        {"plain tar copied as it is", file + zeros, file + zeros, ""},
        {"partial tail dropped", file + zeros + "xyz", file + zeros,
         "input file ends with a partial block of 3 bytes\n"},
        {"placeholder entry", file + head + a + b + footer(600) + file + zeros,
         file + head_600 + a + b + file + zeros, ""},
        {"size 0 right after the header", head + footer(0) + file, head_0 + file, ""},
        {"size 0 with data: data dropped, with a message", head + a + footer(0) + file, head_0 + file,
         "footer at offset 1024 gives size 0 for 1 data blocks\n"},
        {"size given, no data: the footer itself is copied", head + footer(600) + file,
         head_600 + footer(600) + file, "footer at offset 512 gives size 600 for 0 data blocks\n"},
        {"size that disagrees with the data: kept, with a message", head + a + footer(5000) + file,
         rewritten(placeholder_header("entry"), 5000) + a + file,
         "footer at offset 1024 gives size 5000 for 1 data blocks\n"},
        {"no footer: output ends before the header", file + head + a + b + zeros, file,
         "no footer for placeholder header at offset 1536\n"},
        {"no footer and a partial tail", head + a + "xy", "",
         "no footer for placeholder header at offset 0\n"
         "input file ends with a partial block of 2 bytes\n"},
        {"footer without size, first of the run: size 0", head + a + footer_without_size + file, head_0 + file,
         "footer at offset 1024 holds no size\n"},
        {"footer without size takes the size carried from the previous footer",
         head + a + b + footer(600) + head + a + b + footer_without_size,
         head_600 + a + b + head_600 + a + b, "footer at offset 3584 holds no size\n"},
        {"placeholder inside a placeholder entry is data", head + head + a + footer(1024),
         rewritten(placeholder_header("entry"), 1024) + head + a, ""},
        {"stray footer with a size is an ordinary header", file + footer(600) + a + b,
         file + footer(600) + a + b, ""},
        {"stray footer without size is a placeholder header, here without footer",
         file + footer_without_size + a, file, "no footer for placeholder header at offset 1536\n"},
        {"zero blocks after the end are copied", zeros + head + footer(0) + zeros, zeros + head_0 + zeros, ""},
        // The last read meets the end inside the footer; the rest of the
        // block keeps the bytes of the block read before, zeros here, which
        // is what the footer holds after its prefix mark.
        {"footer cut short, completed by the zeros before it",
         head + a + zeros.substr(0, 512) + footer(1024).substr(0, 495),
         rewritten(placeholder_header("entry"), 1024) + a + zeros.substr(0, 512),
         "input file ends with a partial block of 495 bytes\n"},
        {"footer cut short, not completed", head + a + b + footer(512).substr(0, 200), "",
         "no footer for placeholder header at offset 0\n"
         "input file ends with a partial block of 200 bytes\n"},
    };
    for (const Case& c : cases) {
        for (bool rewritable : {false, true}) {
            for (std::size_t chunk : {std::size_t{512}, std::size_t{1536}, CONVERT_CHUNK_SIZE}) {
                Converted run = convert(c.input, chunk, rewritable);
                const std::string how = " (chunk " + std::to_string(chunk) +
                                        (rewritable ? ", rewritable output)" : ", sequential output)");
                EXPECT_TRUE(run.output == c.want) << c.what << how << "\n" << first_difference(run.output, c.want);
                EXPECT_EQ(errors(run.messages), c.want_errors) << c.what << how;
                EXPECT_EQ(run.failed, !c.want_errors.empty()) << c.what << how;
            }
        }
        // The plain model that the differential test trusts must agree too.
        ModelResult model = model_convert(c.input);
        EXPECT_TRUE(model.output == c.want) << c.what << " (model)\n" << first_difference(model.output, c.want);
        EXPECT_EQ(errors(model.messages), c.want_errors) << c.what << " (model)";
    }
}

TEST(EntrySizeFor, FooterSizeAgainstDataBlocks) {
    const std::int64_t four_gib = std::int64_t{1} << 32;
    struct Case {
        std::uint32_t footer_size;
        std::int64_t data_blocks;
        std::int64_t want;  // -1: no size fits
    } cases[] = {
        {0, 0, 0},
        {1, 0, -1},
        {1, 1, 1},
        {512, 1, 512},
        {513, 1, -1},
        {513, 2, 513},
        {1000, 2, 1000},
        {1000, 3, -1},
        {0, 1, -1},
        {0, four_gib / 512, four_gib},                   // exactly 4 GiB, wrapped to 0
        {5, four_gib / 512 + 1, four_gib + 5},           // wrapped by a 32-bit writer
        {0xFFFFFFFF, four_gib / 512, four_gib - 1},      // the largest 32-bit size
        {100, 3 * four_gib / 512 + 1, 3 * four_gib + 100},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entry_size_for(c.footer_size, c.data_blocks), c.want)
            << "footer size " << c.footer_size << ", " << c.data_blocks << " data blocks";
}

// An input of blocks given at a few offsets and zeros everywhere else, so
// entries of many GiB cost no memory.
struct SparseInput : InputFile {
    std::map<std::int64_t, TarBlock> blocks;
    std::int64_t length;
    explicit SparseInput(std::int64_t input_length) : InputFile("big.plint"), length(input_length) {}
    std::int64_t read_at(std::int64_t offset, unsigned char* buf, std::size_t len, int*) override {
        std::int64_t count = std::min<std::int64_t>(static_cast<std::int64_t>(len), length - offset);
        if (count <= 0) return 0;
        std::memset(buf, 0, static_cast<std::size_t>(count));
        for (auto it = blocks.lower_bound(offset - 511); it != blocks.end() && it->first < offset + count; ++it)
            for (std::int64_t i = 0; i < 512; ++i)
                if (it->first + i >= offset && it->first + i < offset + count)
                    buf[it->first + i - offset] = it->second[i];
        return count;
    }
};

// Keeps the length and the blocks that are not all zeros, by offset. With
// rewritable set, takes mends and cuts as a regular file does.
struct SparseOutput : OutputFile {
    std::int64_t length = 0;
    std::map<std::int64_t, std::string> blocks;
    bool rewritable = false;
    SparseOutput() : OutputFile("big.tar") {}
    int write_all(const unsigned char* buf, std::size_t len) override {
        for (std::size_t i = 0; i < len; i += 512) {
            std::string block(reinterpret_cast<const char*>(buf + i), std::min<std::size_t>(512, len - i));
            if (block.find_first_not_of('\0') != std::string::npos) blocks[length + i] = block;
        }
        length += static_cast<std::int64_t>(len);
        return 0;
    }
    bool can_rewrite() override { return rewritable; }
    int rewrite_at(std::int64_t offset, const unsigned char* buf, std::size_t len) override {
        if (len != 512 || offset % 512 != 0 || offset + 512 > length) return EINVAL;
        blocks[offset] = std::string(reinterpret_cast<const char*>(buf), len);
        return 0;
    }
    int truncate_to(std::int64_t new_length) override {
        if (new_length % 512 != 0 || new_length > length) return EINVAL;
        blocks.erase(blocks.lower_bound(new_length), blocks.end());
        length = new_length;
        return 0;
    }
};

TEST(ConvertArchive, EntriesPastFourAndEightGiB) {
    const std::int64_t entry_size = (std::int64_t{1} << 32) + 1000;  // 4 GiB and 1000 bytes
    const std::int64_t data = (entry_size + 511) / 512 * 512;
    const std::int64_t huge = (std::int64_t{1} << 33) + 512;           // past eleven octal digits
    SparseInput in(512 + data + 512 + 512 + huge + 512 + 2048 + 1024);
    std::int64_t at = 0;
    in.blocks[at] = placeholder_header("big");
    in.blocks[at += 512 + data] = make_footer(entry_size & 0xFFFFFFFF);  // a 32-bit writer wrapped it
    in.blocks[at += 512] = placeholder_header("huge");
    const std::int64_t huge_start = at;
    in.blocks[at += 512 + huge] = make_footer(huge & 0xFFFFFFFF);
    in.blocks[at += 512] = file_header("after", 2000);
    // Into a regular file, the huge entry goes out during its footer search
    // and is cut back off.
    for (bool rewritable : {false, true}) {
        SCOPED_TRACE(rewritable ? "rewritable output" : "sequential output");
        SparseOutput out;
        out.rewritable = rewritable;
        RecordingSink messages;
        ConvertResult result = convert_archive(in, out, messages);

        EXPECT_TRUE(result.failed);
        EXPECT_EQ(errors(messages.text),
                  "entry at offset " + std::to_string(huge_start) + " is too large for a tar header\n");
        EXPECT_EQ(out.length, 512 + data + 2048 + 1024);
        ASSERT_EQ(out.blocks.size(), 2u);
        EXPECT_EQ(out.blocks[0], rewritten(placeholder_header("big"), entry_size));
        EXPECT_EQ(out.blocks[0].substr(124, 12), std::string("40000001750\0", 12));
        EXPECT_EQ(out.blocks[512 + data], block_bytes(file_header("after", 2000)));
    }
}

}  // namespace
