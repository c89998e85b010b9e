#include "generate.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr std::uint64_t BLOCK = BLOCK_SIZE;

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool is_octal_digits(const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (bytes[i] < '0' || bytes[i] > '7') return false;
    return true;
}

// A tar header as tar writers make them: the checksum matches.
bool valid_header(const TarBlock& block) {
    TarBlock work = block;
    auto stored = read_octal_field(work.data() + CHKSUM_FIELD.offset, CHKSUM_FIELD.width);
    std::memset(work.data() + CHKSUM_FIELD.offset, ' ', CHKSUM_FIELD.width);
    return stored && *stored == header_checksum(work);
}

// The size field as tar reads it: octal, or GNU's base-256 for large sizes.
std::uint64_t header_size(const TarBlock& block) {
    const unsigned char* field = block.data() + SIZE_FIELD.offset;
    std::uint64_t size = 0;
    if (field[0] & 0x80) {
        for (std::size_t i = 1; i < SIZE_FIELD.width; ++i) size = (size << 8) | field[i];
        return size;
    }
    for (std::size_t i = 0; i < SIZE_FIELD.width && field[i] >= '0' && field[i] <= '7'; ++i)
        size = size * 8 + (field[i] - '0');
    return size;
}

// The "size" record of a pax extended header, which overrides the next
// header's size field.
std::optional<std::uint64_t> pax_size(const std::vector<unsigned char>& records) {
    std::size_t at = 0;
    while (at < records.size()) {
        std::size_t length = 0, i = at;
        while (i < records.size() && records[i] >= '0' && records[i] <= '9')
            length = length * 10 + (records[i++] - '0');
        if (length == 0 || at + length > records.size()) break;
        std::string record(records.begin() + i, records.begin() + at + length);
        if (record.rfind(" size=", 0) == 0) return std::stoull(record.substr(6));
        at += length;
    }
    return std::nullopt;
}

bool eligible(const TarBlock& header, std::uint64_t size) {
    const unsigned char* chksum = header.data() + CHKSUM_FIELD.offset;
    const unsigned char* size_field = header.data() + SIZE_FIELD.offset;
    return size < (std::uint64_t{1} << 33) && header_size(header) == size &&
           is_octal_digits(chksum, 6) && chksum[6] == '\0' && chksum[7] == ' ' &&
           is_octal_digits(size_field, 11) && size_field[11] == '\0';
}

struct Copier {
    Copier(std::FILE* input, std::FILE* output) : in(input), out(output) {}
    std::FILE* in;
    std::FILE* out;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(1 << 20);
    std::string error;

    bool read_block(TarBlock& block, bool* at_end) {
        std::size_t got = std::fread(block.data(), 1, BLOCK, in);
        *at_end = got < BLOCK;
        if (*at_end && got > 0) return write(block.data(), got);  // a partial tail stays as it is
        if (std::ferror(in)) error = std::string("read failed: ") + std::strerror(errno);
        return error.empty();
    }
    bool write(const unsigned char* bytes, std::size_t length) {
        if (std::fwrite(bytes, 1, length, out) != length)
            error = std::string("write failed: ") + std::strerror(errno);
        return error.empty();
    }
    // Copies count bytes, keeping them when keep is set (pax records).
    bool copy(std::uint64_t count, std::vector<unsigned char>* keep) {
        while (count > 0) {
            std::size_t want = count < buffer.size() ? count : buffer.size();
            std::size_t got = std::fread(buffer.data(), 1, want, in);
            if (got > 0 && !write(buffer.data(), got)) return false;
            if (keep) keep->insert(keep->end(), buffer.begin(), buffer.begin() + got);
            if (got < want) return true;  // a truncated archive is copied as far as it goes
            count -= got;
        }
        return true;
    }
};

}  // namespace

void set_checksum(TarBlock& block) {
    std::memset(block.data() + CHKSUM_FIELD.offset, ' ', CHKSUM_FIELD.width);
    put_octal_field(block.data() + CHKSUM_FIELD.offset, CHKSUM_WRITE_WIDTH, header_checksum(block));
}

TarBlock make_footer(std::uint64_t size) {
    TarBlock footer{};
    std::memcpy(footer.data() + NAME_FIELD.offset, FOOTER_NAME_MARK, FOOTER_NAME_MARK_LENGTH);
    std::memcpy(footer.data() + PREFIX_FIELD.offset, FOOTER_PREFIX_MARK, FOOTER_PREFIX_MARK_LENGTH);
    put_octal_field(footer.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH, size);
    set_checksum(footer);
    return footer;
}

void make_placeholder(TarBlock& header) {
    put_octal_field(header.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH, SIZE_UNKNOWN);
    set_checksum(header);
}

std::string generate_plint_archive(std::FILE* in, std::FILE* out, const GenerateOptions& options,
                                   GenerateStats* stats) {
    Copier io(in, out);
    GenerateStats counts;
    std::uint64_t next_size = 0;  // from a pax header, for the entry after it
    bool have_next_size = false;
    std::uint64_t eligible_index = 0;
    for (;;) {
        TarBlock header;
        bool at_end = false;
        if (!io.read_block(header, &at_end)) return io.error;
        if (at_end) break;
        if (!valid_header(header)) {
            // End-of-archive zeros, or what follows them: copied as they are.
            if (!io.write(header.data(), BLOCK)) return io.error;
            continue;
        }
        ++counts.entries;
        std::uint64_t size = have_next_size ? next_size : header_size(header);
        have_next_size = false;
        char type = static_cast<char>(header[156]);
        bool placeholder = false;
        if (eligible(header, size)) {
            std::uint64_t pick = splitmix64(options.seed * 0x100000001B3ull + eligible_index++);
            placeholder = static_cast<int>(pick % 100) < options.percent;
        }
        TarBlock written = header;
        if (placeholder) make_placeholder(written);
        if (!io.write(written.data(), BLOCK)) return io.error;
        std::vector<unsigned char> records;
        std::uint64_t data = (size + BLOCK - 1) / BLOCK * BLOCK;
        if (!io.copy(data, type == 'x' ? &records : nullptr)) return io.error;
        if (type == 'x') {
            records.resize(size < records.size() ? size : records.size());
            if (auto pax = pax_size(records)) {
                next_size = *pax;
                have_next_size = true;
            }
        }
        if (placeholder) {
            ++counts.placeholders;
            TarBlock footer = make_footer(options.wrap_footer_size ? size & 0xFFFFFFFFu : size);
            if (!io.write(footer.data(), BLOCK)) return io.error;
        }
    }
    if (std::fflush(out) != 0) return std::string("write failed: ") + std::strerror(errno);
    if (stats) *stats = counts;
    return {};
}
