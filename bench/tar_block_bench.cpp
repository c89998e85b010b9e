// Micro-benchmarks of the block tests, in blocks per second, and of the whole
// pass over an in-memory archive, in bytes per second. The blocks are the
// kinds the pass meets: random data blocks (almost all of an archive), real
// ustar headers, placeholder headers and footers. The wall-clock comparison
// with cat on real files is run_bench.py.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "generate.h"
#include "memory_io.h"
#include "tar_block.h"

namespace {

// 2048 blocks: one 1 MiB chunk of the pass, so the pool sits in cache the
// way the pass's buffer does.
constexpr std::size_t POOL_BLOCKS = 2048;

std::vector<TarBlock> random_blocks(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<TarBlock> blocks(count);
    for (TarBlock& block : blocks)
        for (std::size_t i = 0; i < BLOCK_SIZE; i += 8) {
            std::uint64_t word = random();
            std::memcpy(block.data() + i, &word, 8);
        }
    return blocks;
}

void put_text(TarBlock& block, std::size_t offset, const std::string& text) {
    std::memcpy(block.data() + offset, text.data(), text.size());
}

// A regular-file header the way GNU tar and Python's tarfile write one:
// numbers as zero-padded octal with a NUL, "ustar" magic, a valid checksum.
TarBlock ustar_header(const std::string& name, std::uint64_t size, std::uint64_t mtime) {
    TarBlock block{};
    put_text(block, NAME_FIELD.offset, name.substr(0, NAME_FIELD.width - 1));
    put_octal_field(block.data() + 100, 8, 0644);  // mode
    put_octal_field(block.data() + 108, 8, 1000);  // uid
    put_octal_field(block.data() + 116, 8, 1000);  // gid
    put_octal_field(block.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH, size);
    put_octal_field(block.data() + 136, 12, mtime);
    block[156] = '0';  // regular file
    put_text(block, 257, std::string("ustar\0" "00", 8));
    put_text(block, 265, "bench");  // uname
    put_text(block, 297, "bench");  // gname
    set_checksum(block);
    return block;
}

enum HeaderKind { ORDINARY, PLACEHOLDER, FOOTER };

std::vector<TarBlock> header_blocks(HeaderKind kind, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<TarBlock> blocks;
    blocks.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t size = random() % (std::uint64_t{4} << 20);
        if (kind == FOOTER) {
            blocks.push_back(make_footer(size));
            continue;
        }
        TarBlock header = ustar_header("data/dir" + std::to_string(i % 37) + "/file" +
                                           std::to_string(i) + ".bin",
                                       size, 1700000000 + random() % 10000000);
        if (kind == PLACEHOLDER) make_placeholder(header);
        blocks.push_back(header);
    }
    return blocks;
}

const std::vector<TarBlock>& pool(int kind) {
    // -1: random data blocks; otherwise a HeaderKind.
    static std::map<int, std::vector<TarBlock>> pools;
    auto found = pools.find(kind);
    if (found != pools.end()) return found->second;
    std::vector<TarBlock> blocks = kind < 0 ? random_blocks(POOL_BLOCKS, 7)
                                            : header_blocks(static_cast<HeaderKind>(kind), POOL_BLOCKS, 11);
    return pools.emplace(kind, std::move(blocks)).first->second;
}

constexpr int DATA = -1;

void BM_checksum_can_match(benchmark::State& state, int kind) {
    const auto& blocks = pool(kind);
    std::size_t passed = 0;
    for (auto _ : state) {
        passed = 0;
        for (const TarBlock& block : blocks) passed += checksum_can_match(block.data());
        benchmark::DoNotOptimize(passed);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * blocks.size()));
    state.counters["pass_share"] = static_cast<double>(passed) / static_cast<double>(blocks.size());
}
BENCHMARK_CAPTURE(BM_checksum_can_match, data_blocks, DATA);
BENCHMARK_CAPTURE(BM_checksum_can_match, ustar_headers, ORDINARY);
BENCHMARK_CAPTURE(BM_checksum_can_match, placeholder_headers, PLACEHOLDER);

// Includes the copy into a work block that the test modifies, as the pass
// does it. On data blocks this is the full cost the pre-test saves.
void BM_check_placeholder_header(benchmark::State& state, int kind) {
    const auto& blocks = pool(kind);
    for (auto _ : state) {
        for (const TarBlock& block : blocks) {
            TarBlock work = block;
            benchmark::DoNotOptimize(check_placeholder_header(work));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * blocks.size()));
}
BENCHMARK_CAPTURE(BM_check_placeholder_header, data_blocks, DATA);
BENCHMARK_CAPTURE(BM_check_placeholder_header, ustar_headers, ORDINARY);
BENCHMARK_CAPTURE(BM_check_placeholder_header, placeholder_headers, PLACEHOLDER);

void BM_check_footer(benchmark::State& state, int kind) {
    const auto& blocks = pool(kind);
    std::uint32_t size = 0;
    for (auto _ : state) {
        for (const TarBlock& block : blocks) {
            TarBlock work = block;
            benchmark::DoNotOptimize(check_footer(work, size));
        }
    }
    benchmark::DoNotOptimize(size);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * blocks.size()));
}
BENCHMARK_CAPTURE(BM_check_footer, data_blocks, DATA);
BENCHMARK_CAPTURE(BM_check_footer, ustar_headers, ORDINARY);
BENCHMARK_CAPTURE(BM_check_footer, footers, FOOTER);

// The chksum field of data blocks (mostly no digit at all), or the
// eleven-digit size field of real headers.
void BM_read_octal_field(benchmark::State& state, bool headers) {
    const auto& blocks = pool(headers ? ORDINARY : DATA);
    const HeaderField field = headers ? SIZE_FIELD : CHKSUM_FIELD;
    for (auto _ : state) {
        for (const TarBlock& block : blocks)
            benchmark::DoNotOptimize(read_octal_field(block.data() + field.offset, field.width));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * blocks.size()));
}
BENCHMARK_CAPTURE(BM_read_octal_field, chksum_of_data_blocks, false);
BENCHMARK_CAPTURE(BM_read_octal_field, size_of_ustar_headers, true);

// ---- The whole pass over an in-memory archive ----

struct BenchArchive {
    std::string tar;
    std::string plint;
    std::uint64_t entries = 0;
    std::uint64_t placeholders = 0;
    std::string error;
};

// About 64 MiB of files of random sizes up to max_file_size, with random
// contents, then made a plint archive by the project's generator.
BenchArchive make_archive(int percent, std::uint64_t max_file_size) {
    constexpr std::uint64_t TOTAL = std::uint64_t{64} << 20;
    BenchArchive archive;
    std::mt19937_64 random(42);
    std::uint64_t data_bytes = 0;
    for (std::size_t i = 0; data_bytes < TOTAL; ++i) {
        std::uint64_t size = random() % (max_file_size + 1);
        TarBlock header = ustar_header("data/file" + std::to_string(i) + ".bin", size, 1700000000 + i);
        archive.tar.append(reinterpret_cast<const char*>(header.data()), BLOCK_SIZE);
        std::uint64_t padded = (size + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
        std::size_t start = archive.tar.size();
        archive.tar.resize(start + padded, '\0');
        for (std::uint64_t at = 0; at + 8 <= size; at += 8) {
            std::uint64_t word = random();
            std::memcpy(archive.tar.data() + start + at, &word, 8);
        }
        for (std::uint64_t at = size / 8 * 8; at < size; ++at)
            archive.tar[start + at] = static_cast<char>(random());
        data_bytes += padded;
    }
    archive.tar.append(2 * BLOCK_SIZE, '\0');  // end-of-archive blocks

    std::FILE* in = fmemopen(archive.tar.data(), archive.tar.size(), "rb");
    char* out_bytes = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = open_memstream(&out_bytes, &out_size);
    if (!in || !out) {
        archive.error = "fmemopen or open_memstream failed";
        return archive;
    }
    GenerateOptions options;
    options.percent = percent;
    GenerateStats stats;
    archive.error = generate_plint_archive(in, out, options, &stats);
    std::fclose(in);
    std::fclose(out);
    archive.plint.assign(out_bytes, out_size);
    std::free(out_bytes);
    archive.entries = stats.entries;
    archive.placeholders = stats.placeholders;
    return archive;
}

const BenchArchive& archive(int percent, std::uint64_t max_file_size) {
    static std::map<std::pair<int, std::uint64_t>, BenchArchive> archives;
    auto key = std::make_pair(percent, max_file_size);
    auto found = archives.find(key);
    if (found != archives.end()) return found->second;
    return archives.emplace(key, make_archive(percent, max_file_size)).first->second;
}

// The tool formats every level-2 message and prints none by default.
struct DiscardSink : MessageSink {
    void emit(int, const std::string&) override {}
};

// Args: percent of placeholder entries, largest file size in KiB.
void BM_convert_archive(benchmark::State& state) {
    const BenchArchive& source = archive(static_cast<int>(state.range(0)),
                                         static_cast<std::uint64_t>(state.range(1)) << 10);
    if (!source.error.empty()) {
        state.SkipWithError(("generator: " + source.error).c_str());
        return;
    }
    MemoryInput input(source.plint);
    MemoryOutput output;
    output.bytes.reserve(source.tar.size());
    DiscardSink messages;
    // The figure means nothing unless the pass gives the tar back.
    ConvertResult checked = convert_archive(input, output, messages);
    if (checked.failed || output.bytes != source.tar) {
        state.SkipWithError("conversion differs from the original tar");
        return;
    }
    for (auto _ : state) {
        output.bytes.clear();  // keeps the capacity: no reallocation in the loop
        ConvertResult result = convert_archive(input, output, messages);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(output.bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.plint.size()));
    state.counters["entries"] = static_cast<double>(source.entries);
    state.counters["placeholders"] = static_cast<double>(source.placeholders);
}
BENCHMARK(BM_convert_archive)
    ->ArgNames({"percent", "max_kib"})
    ->Args({30, 4096})
    ->Args({100, 4096})
    ->Args({30, 64})
    ->Args({100, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
