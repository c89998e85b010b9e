// libFuzzer target: any bytes as a plint archive, converted in memory by the
// pass the tool runs and compared with the plain block-at-a-time model.
//
// The pass runs three times, with chunks of one block, of 512 * (1 + first
// byte % 8) bytes and of a size that holds the whole input as the tool's
// default chunk does, so headers, footers, entry data and the input's end fall
// on and across chunk boundaries. Any difference from the model in bytes,
// messages or failure, or an output longer than the input rounded up to a
// whole block, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "convert.h"
#include "convert_model.h"
#include "memory_io.h"
#include "tar_block.h"

namespace {

[[noreturn]] void mismatch(const char* what, std::size_t chunk_size, const std::string& expected,
                           const std::string& got) {
    std::fprintf(stderr, "plint_fuzz: %s differs with chunk size %zu\n", what, chunk_size);
    if (expected.size() < 4096 && got.size() < 4096)
        std::fprintf(stderr, "expected:\n%s\ngot:\n%s\n", expected.c_str(), got.c_str());
    else
        std::fprintf(stderr, "expected %zu bytes, got %zu bytes\n", expected.size(), got.size());
    std::abort();
}

void check_once(const std::string& input, const ModelResult& model, std::size_t chunk_size, bool rewritable) {
    MemoryInput in(input);
    MemoryOutput out;
    out.rewritable = rewritable;
    RecordingSink messages;
    ConvertResult result = convert_archive(in, out, messages, chunk_size);

    const std::size_t bound = (input.size() + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
    if (out.bytes.size() > bound)
        mismatch("output longer than the input's whole blocks", chunk_size, std::to_string(bound),
                 std::to_string(out.bytes.size()));
    if (messages.text != model.messages) mismatch("messages", chunk_size, model.messages, messages.text);
    if (out.bytes != model.output) mismatch("output", chunk_size, model.output, out.bytes);
    if (result.failed != model.failed)
        mismatch("failure", chunk_size, model.failed ? "failed" : "ok", result.failed ? "failed" : "ok");
    // Memory files never fail a write, so nothing may claim one did.
    if (result.write_failed) mismatch("write failure", chunk_size, "none", "reported");
}

// Into an output like a pipe, and into one like a regular file, which the
// pass mends and cuts back.
void check(const std::string& input, const ModelResult& model, std::size_t chunk_size) {
    check_once(input, model, chunk_size, false);
    check_once(input, model, chunk_size, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const ModelResult model = model_convert(input);
    const std::size_t chosen = BLOCK_SIZE * (1 + (size > 0 ? data[0] % 8 : 0));
    check(input, model, BLOCK_SIZE);
    check(input, model, chosen);
    // One chunk past the input's end reads it all at once, as the default
    // chunk does for any input the fuzzer makes; allocating the default
    // chunk's buffers on every run instead cut the execution rate tenfold.
    const std::size_t whole = (size / BLOCK_SIZE + 1) * BLOCK_SIZE;
    check(input, model, size < CONVERT_CHUNK_SIZE ? whole : CONVERT_CHUNK_SIZE);
    return 0;
}
