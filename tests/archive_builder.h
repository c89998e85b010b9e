// Building archives block by block in tests, and comparing archives.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "generate.h"
#include "tar_block.h"

inline std::string block_bytes(const TarBlock& block) {
    return std::string(reinterpret_cast<const char*>(block.data()), block.size());
}

// A regular file's header with a real size, valid checksum.
inline TarBlock file_header(const std::string& name, std::uint64_t size) {
    TarBlock block{};
    std::memcpy(block.data(), name.data(), name.size() < 100 ? name.size() : 100);
    std::memcpy(block.data() + 100, "0000644\0" "0001750\0" "0001750", 23);
    std::memcpy(block.data() + 136, "15123456701", 11);  // mtime
    block[156] = '0';
    std::memcpy(block.data() + 257, "ustar\0" "00", 8);
    put_octal_field(block.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH, size);
    set_checksum(block);
    return block;
}

inline TarBlock placeholder_header(const std::string& name) {
    TarBlock block = file_header(name, 0);
    make_placeholder(block);
    return block;
}

// A data block that no test takes for a header: its chksum bytes hold no number.
inline TarBlock data_block(unsigned char fill) {
    TarBlock block;
    block.fill(fill);
    return block;
}

// Where two archives first differ, with a short hex dump of both sides.
inline std::string first_difference(const std::string& got, const std::string& want) {
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    if (at == got.size() && at == want.size()) return "";
    auto dump = [&](const std::string& bytes) {
        std::string out;
        for (std::size_t i = at; i < bytes.size() && i < at + 16; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x ", static_cast<unsigned char>(bytes[i]));
            out += hex;
        }
        return out.empty() ? std::string("(end)") : out;
    };
    return "lengths " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
           ", first difference at offset " + std::to_string(at) + " (block " + std::to_string(at / 512) +
           ")\n  got:  " + dump(got) + "\n  want: " + dump(want);
}
