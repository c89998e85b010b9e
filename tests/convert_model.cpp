#include "convert_model.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "convert.h"
#include "tar_block.h"

namespace {

struct Stream {
    const std::string& data;
    std::int64_t pos = 0;

    // 1 for a whole block; 0 when fewer bytes remain, which still land at
    // the start of block, the rest of it untouched, and are consumed.
    int read(TarBlock& block) {
        std::int64_t left = static_cast<std::int64_t>(data.size()) - pos;
        std::int64_t count = left < 512 ? (left < 0 ? 0 : left) : 512;
        std::memcpy(block.data(), data.data() + pos, static_cast<std::size_t>(count));
        pos += count;
        return count == 512 ? 1 : 0;
    }
};

template <typename... Args>
std::string text(const char* format, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

}  // namespace

ModelResult model_convert(const std::string& input) {
    ModelResult result;
    auto message = [&](int level, const std::string& line) {
        result.messages += std::to_string(level) + " " + line;
        if (level == 0) result.failed = true;
    };
    auto write = [&](const TarBlock& block) {
        result.output.append(reinterpret_cast<const char*>(block.data()), block.size());
    };
    Stream in{input};
    TarBlock raw{};
    TarBlock work;
    std::uint32_t size = 0;
    int got = 1;
    bool stopped = false;
    while (got == 1 && !stopped) {
        long long header_start = in.pos;
        got = in.read(raw);
        if (got == 0) break;
        work = raw;
        if (check_placeholder_header(work) != BLOCK_SIZE_UNKNOWN) {
            write(raw);
            continue;
        }
        long long header_end = in.pos;
        message(2, text("Plint header pos: start:%lld end:%lld\n", header_start, header_end));
        BlockStatus status;
        long long footer_start;
        do {
            footer_start = in.pos;
            got = in.read(raw);
            work = raw;
            status = check_footer(work, size);
        } while (got == 1 && status != BLOCK_OK);
        if (status != BLOCK_OK) {
            message(0, text("no footer for placeholder header at offset %lld\n", header_start));
            break;
        }
        long long footer_end = in.pos;
        message(2, text("PFooter pos: start:%lld end:%lld\n", footer_start, footer_end));
        long long data_blocks = (footer_start - header_end) / 512;
        std::int64_t entry_size = size;
        if (!read_octal_field(raw.data() + 124, 12)) {
            message(0, text("footer at offset %lld holds no size\n", footer_start));
        } else if (entry_size_for(size, data_blocks) >= 0) {
            entry_size = entry_size_for(size, data_blocks);
        } else {
            message(0, text("footer at offset %lld gives size %u for %lld data blocks\n", footer_start,
                            size, data_blocks));
        }
        if (entry_size >= ENTRY_SIZE_LIMIT) {
            message(0, text("entry at offset %lld is too large for a tar header\n", header_start));
            in.pos = footer_end;
            continue;
        }
        in.pos = header_start;
        got = in.read(work);
        put_octal_field(work.data() + 124, 12, static_cast<std::uint64_t>(entry_size));
        std::memset(work.data() + 148, ' ', 8);
        put_octal_field(work.data() + 148, 7, header_checksum(work));
        write(work);
        if (entry_size != 0) {
            in.pos = header_end;
            do {
                long long read_at = in.pos;
                if (in.read(raw) == 0 && read_at < footer_start) {
                    message(0, "input file changed during conversion\n");
                    stopped = true;
                    break;
                }
                write(raw);
            } while (in.pos < footer_start);
        }
        in.pos = footer_end;
    }
    if (!stopped && input.size() % 512 != 0)
        message(0, text("input file ends with a partial block of %d bytes\n",
                        static_cast<int>(input.size() % 512)));
    return result;
}
