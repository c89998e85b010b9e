// Makes plint archives from tar archives: chosen entries get a placeholder
// header (size 37777777777) and a footer block with the real size after
// their data. Converting the result gives the tar archive back byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tar_block.h"

struct GenerateOptions {
    int percent = 100;              // share of the eligible entries made placeholder entries
    std::uint64_t seed = 1;         // picks which ones, reproducibly
    bool wrap_footer_size = false;  // footer size modulo 2^32, as a 32-bit writer leaves it
};

struct GenerateStats {
    std::uint64_t entries = 0;
    std::uint64_t placeholders = 0;
};

// A footer block carrying size: both marks, the size as eleven octal digits
// (modulo 2^33), every other byte zero, a valid checksum.
TarBlock make_footer(std::uint64_t size);

// Turns a header into a placeholder header: size field 37777777777 and NUL,
// checksum rewritten the way the converter writes it. Modifies header.
void make_placeholder(TarBlock& header);

// Stores a fresh checksum in a block: six digits, NUL, space. Modifies block.
void set_checksum(TarBlock& block);

// Reads a tar archive from in and writes the plint archive to out. An entry is
// eligible when its header spells size and checksum as the converter writes
// them (so the round trip is exact) and its size is below 8 GiB. Returns an
// empty string, or what went wrong.
std::string generate_plint_archive(std::FILE* in, std::FILE* out, const GenerateOptions& options,
                                   GenerateStats* stats);
