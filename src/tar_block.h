// The 512-byte tar block: the header fields the tool touches, the header
// checksum, octal number fields and the two tests that classify a block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

constexpr std::size_t BLOCK_SIZE = 512;

// One record of a tar stream, laid out as a POSIX ustar header when it is one.
using TarBlock = std::array<unsigned char, BLOCK_SIZE>;

// Every header field the tool reads or writes, named once. Bytes outside
// these fields are carried through untouched.
struct HeaderField {
    std::size_t offset;
    std::size_t width;
};
constexpr HeaderField NAME_FIELD{0, 100};
constexpr HeaderField SIZE_FIELD{124, 12};
constexpr HeaderField CHKSUM_FIELD{148, 8};
constexpr HeaderField PREFIX_FIELD{345, 155};

// Widths passed to put_octal_field: eleven size digits and a NUL; six
// checksum digits and a NUL, leaving the field's last byte a space.
constexpr std::size_t SIZE_WRITE_WIDTH = 12;
constexpr std::size_t CHKSUM_WRITE_WIDTH = 7;

// The size a placeholder header carries, 37777777777 in octal.
constexpr std::uint32_t SIZE_UNKNOWN = 0xFFFFFFFFu;

// Range of a header checksum: eight spaces and 504 zero bytes, up to every
// other byte 0xFF. A stored checksum outside it can never match.
constexpr std::uint32_t CHECKSUM_MIN = 8 * 0x20;
constexpr std::uint32_t CHECKSUM_MAX = 8 * 0x20 + 504 * 0xFF;

enum BlockStatus {
    BLOCK_OK = 0,
    BLOCK_BAD_CHECKSUM = 1,
    BLOCK_SIZE_UNKNOWN = 2,
    BLOCK_NOT_FOOTER = 3,
};

// The marks that make a block a footer: the name field holds
// FOOTER_NAME_MARK and a NUL, the prefix field FOOTER_PREFIX_MARK and a NUL.
constexpr std::size_t FOOTER_NAME_MARK_LENGTH = 99;
constexpr std::size_t FOOTER_PREFIX_MARK_LENGTH = 149;
extern const unsigned char FOOTER_NAME_MARK[FOOTER_NAME_MARK_LENGTH];
extern const unsigned char FOOTER_PREFIX_MARK[FOOTER_PREFIX_MARK_LENGTH];

// Sum of the 512 bytes as unsigned values. Callers fill the chksum field with
// spaces first when they want the header checksum.
std::uint32_t header_checksum(const TarBlock& block);

// Writes value as width-1 zero-padded octal digits and a NUL: exactly width
// bytes, nothing after them. The value must fit in width-1 digits.
void put_octal_field(unsigned char* field, std::size_t width, std::uint64_t value);

// Reads the octal number in a field, never looking past its width bytes:
// leading white space, one optional sign, then octal digits. The result is
// taken modulo 2^32 (negated after "-"); nullopt when no digit is found.
std::optional<std::uint32_t> read_octal_field(const unsigned char* field, std::size_t width);

// Cheap pre-test on a block's 8 chksum bytes: false means the block answers
// BLOCK_BAD_CHECKSUM to both tests, so most data blocks need no sum at all.
bool checksum_can_match(const unsigned char* block);

// BLOCK_OK, BLOCK_BAD_CHECKSUM or BLOCK_SIZE_UNKNOWN (a placeholder header).
// Modifies block: its chksum field is left holding eight spaces.
BlockStatus check_placeholder_header(TarBlock& block);

// BLOCK_OK, BLOCK_BAD_CHECKSUM or BLOCK_NOT_FOOTER. On BLOCK_OK, and only if
// the size field holds a number, stores it in size; otherwise size is kept.
// Modifies block like check_placeholder_header.
BlockStatus check_footer(TarBlock& block, std::uint32_t& size);
