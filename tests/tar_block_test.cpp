// Block tests, checksum and octal fields.
#include "tar_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "generate.h"

namespace {

std::string show(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        shown += escaped;
    }
    return "\"" + shown + "\"";
}

// A ustar-looking header for a regular file, with the given size field
// spelling and a valid checksum.
TarBlock header_with_size(const std::string& size_field) {
    TarBlock block{};
    std::memcpy(block.data(), "file.txt", 8);
    std::memcpy(block.data() + 100, "0000644", 7);
    block[156] = '0';
    std::memcpy(block.data() + 257, "ustar\0" "00", 8);
    std::memcpy(block.data() + SIZE_FIELD.offset, size_field.data(), size_field.size());
    set_checksum(block);
    return block;
}

void put_field(TarBlock& block, HeaderField field, const std::string& bytes) {
    std::memset(block.data() + field.offset, 0, field.width);
    std::memcpy(block.data() + field.offset, bytes.data(), bytes.size());
}

TEST(ReadOctalField, Spellings) {
    struct Case {
        std::string field;  // exactly the field's bytes; its width is their count
        bool ok;
        std::uint32_t want;
    } cases[] = {
        {std::string("00000001750\0", 12), true, 1000},
        {std::string("37777777777\0", 12), true, 0xFFFFFFFF},
        {std::string("77777777777\0", 12), true, 0xFFFFFFFF},  // taken modulo 2^32
        {std::string("40000000000\0", 12), true, 0},
        {std::string("-1\0\0\0\0\0\0\0\0\0\0", 12), true, 0xFFFFFFFF},
        {std::string("+17\0", 4), true, 15},
        {std::string(" \t\n\v\f\r17", 8), true, 15},  // strtoul's white space is skipped
        {std::string("   1750 ", 8), true, 1000},    // stops at the trailing space
        {std::string("1750", 4), true, 1000},        // fills its width without a NUL
        {std::string("17508", 5), true, 1000},       // 8 is not an octal digit
        {std::string("12345678", 4), true, 668},     // never reads past the width
        {std::string("- 1\0", 4), false, 0},         // no space after the sign
        {std::string("+-1\0", 4), false, 0},         // one sign at most
        {std::string("\0\0\0\0", 4), false, 0},
        {std::string("        ", 8), false, 0},
        {std::string("8", 1), false, 0},
        {std::string("x1", 2), false, 0},
        {std::string("\x80" "1", 2), false, 0},      // GNU base-256 marker: no octal number
    };
    for (const Case& c : cases) {
        auto got = read_octal_field(reinterpret_cast<const unsigned char*>(c.field.data()), c.field.size());
        if (c.ok) {
            EXPECT_TRUE(got && *got == c.want)
                << "read_octal_field(" << show(c.field) << ") = " << (got ? std::to_string(*got) : "none")
                << ", want " << c.want;
        } else {
            EXPECT_FALSE(got) << "read_octal_field(" << show(c.field) << ") = " << *got << ", want none";
        }
    }
}

TEST(PutOctalField, WritesExactlyWidthBytes) {
    struct Case {
        std::size_t width;
        std::uint64_t value;
        std::string want;
    } cases[] = {
        {12, 1000, std::string("00000001750\0", 12)},
        {7, 4660, std::string("011064\0", 7)},
        {12, 0xFFFFFFFF, std::string("37777777777\0", 12)},
        {7, 130560, std::string("377000\0", 7)},
        {12, (std::uint64_t{1} << 33) - 1, std::string("77777777777\0", 12)},
        {12, 0, std::string("00000000000\0", 12)},
    };
    for (const Case& c : cases) {
        std::string field(c.width + 2, '#');
        put_octal_field(reinterpret_cast<unsigned char*>(field.data()), c.width, c.value);
        EXPECT_EQ(field, c.want + "##") << "put_octal_field(width " << c.width << ", " << c.value
                                          << ") wrote " << show(field) << ", want " << show(c.want + "##");
    }
}

TEST(CheckPlaceholderHeader, SizeSpellings) {
    struct Case {
        std::string size_field;
        BlockStatus want;
    } cases[] = {
        {std::string("00000001750\0", 12), BLOCK_OK},
        {std::string("37777777777\0", 12), BLOCK_SIZE_UNKNOWN},
        {std::string("77777777777\0", 12), BLOCK_SIZE_UNKNOWN},
        {std::string("-1\0", 3), BLOCK_SIZE_UNKNOWN},
        {std::string("40000000000\0", 12), BLOCK_OK},  // size 0 modulo 2^32
        {std::string("00000000000\0", 12), BLOCK_OK},
        // No octal digit at all reads as the unknown size.
        {std::string(12, '\0'), BLOCK_SIZE_UNKNOWN},
        {std::string(12, ' '), BLOCK_SIZE_UNKNOWN},
        {"8", BLOCK_SIZE_UNKNOWN},
        {"9", BLOCK_SIZE_UNKNOWN},
        {"abc", BLOCK_SIZE_UNKNOWN},
        {std::string("\x80\0\0\0\0\0\0\0\0\0\x10\0", 12), BLOCK_SIZE_UNKNOWN},
    };
    for (const Case& c : cases) {
        TarBlock block = header_with_size(c.size_field);
        EXPECT_EQ(check_placeholder_header(block), c.want) << "size field " << show(c.size_field);
    }
}

TEST(CheckPlaceholderHeader, ChecksumSpellings) {
    TarBlock base = header_with_size(std::string("37777777777\0", 12));
    std::memset(base.data() + CHKSUM_FIELD.offset, ' ', CHKSUM_FIELD.width);
    std::uint32_t sum = header_checksum(base);
    char digits[16];
    struct Case {
        std::string field;
        BlockStatus want;
    } cases[] = {
        {(std::snprintf(digits, sizeof digits, "%06o", sum), std::string(digits) + std::string("\0 ", 2)),
         BLOCK_SIZE_UNKNOWN},
        {(std::snprintf(digits, sizeof digits, "%07o", sum), std::string(digits) + std::string("\0", 1)),
         BLOCK_SIZE_UNKNOWN},
        {(std::snprintf(digits, sizeof digits, "%08o", sum), std::string(digits)), BLOCK_SIZE_UNKNOWN},
        {(std::snprintf(digits, sizeof digits, "  %o", sum), std::string(digits)), BLOCK_SIZE_UNKNOWN},
        {(std::snprintf(digits, sizeof digits, "%06o", sum + 1), std::string(digits) + std::string("\0 ", 2)),
         BLOCK_BAD_CHECKSUM},
        // Eight digits of which only the field's own count: one more digit
        // after the field would change the number if it were read.
        {(std::snprintf(digits, sizeof digits, "%09o", sum), std::string(digits).substr(0, 8)),
         BLOCK_BAD_CHECKSUM},
        {std::string(8, '\0'), BLOCK_BAD_CHECKSUM},  // stored 0, sum at least 256
    };
    for (const Case& c : cases) {
        TarBlock block = base;
        std::memcpy(block.data() + CHKSUM_FIELD.offset, c.field.data(), CHKSUM_FIELD.width);
        EXPECT_EQ(check_placeholder_header(block), c.want) << "chksum field " << show(c.field);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data() + CHKSUM_FIELD.offset), 8),
                  std::string(8, ' '))
            << "chksum field left as spaces";
    }
}

TEST(CheckPlaceholderHeader, HighBytesCountUnsigned) {
    TarBlock block = header_with_size(std::string("37777777777\0", 12));
    std::memset(block.data(), 0xE9, 99);  // a name of bytes above 0x7F
    set_checksum(block);
    EXPECT_GT(header_checksum(block), 99u * 0xE9);
    EXPECT_EQ(check_placeholder_header(block), BLOCK_SIZE_UNKNOWN);
}

TEST(BlockTests, ZeroBlockHasBadChecksum) {
    TarBlock zeros{};
    std::uint32_t size = 7;
    EXPECT_EQ(check_placeholder_header(zeros), BLOCK_BAD_CHECKSUM);
    EXPECT_EQ(check_footer(zeros, size), BLOCK_BAD_CHECKSUM);
    EXPECT_EQ(size, 7u);
    EXPECT_FALSE(checksum_can_match(TarBlock{}.data()));
}

TEST(CheckFooter, Marks) {
    struct Case {
        const char* what;
        std::size_t offset;  // byte changed in a good footer
        unsigned char value;
        BlockStatus want;
    } cases[] = {
        {"good footer", 0, 0x44, BLOCK_OK},
        {"name mark's first byte", 0, 0x45, BLOCK_NOT_FOOTER},
        {"name mark's last byte", 98, 0x07, BLOCK_NOT_FOOTER},
        {"name byte 99 not NUL", 99, 'x', BLOCK_NOT_FOOTER},
        {"prefix mark's first byte", 345, 0x48, BLOCK_NOT_FOOTER},
        {"prefix mark's last byte", 345 + 148, 0x08, BLOCK_NOT_FOOTER},
        {"prefix byte 149 not NUL", 345 + 149, 'x', BLOCK_NOT_FOOTER},
        {"prefix bytes 150 to 154 are free", 345 + 150, 'x', BLOCK_OK},
        {"prefix byte 154", 345 + 154, 0xFF, BLOCK_OK},
        {"type flag is not looked at", 156, '5', BLOCK_OK},
    };
    for (const Case& c : cases) {
        TarBlock block = make_footer(1000);
        block[c.offset] = c.value;
        set_checksum(block);
        std::uint32_t size = 7;
        EXPECT_EQ(check_footer(block, size), c.want) << c.what;
        EXPECT_EQ(size, c.want == BLOCK_OK ? 1000u : 7u) << c.what;
    }
    TarBlock stale = make_footer(1000);
    stale[200] = 1;  // changed after the checksum was set
    std::uint32_t size = 7;
    EXPECT_EQ(check_footer(stale, size), BLOCK_BAD_CHECKSUM);
}

TEST(CheckFooter, SizeField) {
    struct Case {
        std::string size_field;
        std::uint32_t want;  // size after the test, starting from 7
    } cases[] = {
        {std::string("00000000000\0", 12), 0},
        {std::string("00000001750\0", 12), 1000},
        {std::string("77777777777\0", 12), 0xFFFFFFFF},
        {std::string(12, '\0'), 7},  // no number: size is kept
        {"zz", 7},
    };
    for (const Case& c : cases) {
        TarBlock block = make_footer(0);
        put_field(block, SIZE_FIELD, c.size_field);
        set_checksum(block);
        std::uint32_t size = 7;
        EXPECT_EQ(check_footer(block, size), BLOCK_OK) << show(c.size_field);
        EXPECT_EQ(size, c.want) << show(c.size_field);
    }
}

// The quick pre-test must never reject a block that either test accepts.
TEST(ChecksumCanMatch, AgreesWithTheTests) {
    TarBlock smallest{};
    set_checksum(smallest);  // all zeros but the field: checksum 256
    TarBlock largest;
    largest.fill(0xFF);
    set_checksum(largest);
    for (const TarBlock& block : {smallest, largest, make_footer(5), header_with_size("1")}) {
        TarBlock work = block;
        EXPECT_TRUE(checksum_can_match(block.data()));
        EXPECT_NE(check_placeholder_header(work), BLOCK_BAD_CHECKSUM);
    }
    TarBlock signed_sum = smallest;  // a sign and white space are part of the number
    put_field(signed_sum, CHKSUM_FIELD, " +000400");
    EXPECT_TRUE(checksum_can_match(signed_sum.data()));
    TarBlock work = signed_sum;
    EXPECT_EQ(check_placeholder_header(work), BLOCK_SIZE_UNKNOWN);
}

}  // namespace
