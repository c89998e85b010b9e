// In-memory input, output and message sink for running the pass without files.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "convert.h"

struct MemoryInput : InputFile {
    std::string bytes;
    explicit MemoryInput(std::string contents, std::string file_name = "in.plint")
        : InputFile(std::move(file_name)), bytes(std::move(contents)) {}
    std::int64_t read_at(std::int64_t offset, unsigned char* buf, std::size_t len, int*) override {
        if (offset >= static_cast<std::int64_t>(bytes.size())) return 0;
        std::size_t count = std::min(len, bytes.size() - static_cast<std::size_t>(offset));
        std::memcpy(buf, bytes.data() + offset, count);
        return static_cast<std::int64_t>(count);
    }
};

// With rewritable set it lets the pass mend and cut back what it wrote, as
// a regular file does; a mend or cut past the end is a fault of the pass.
struct MemoryOutput : OutputFile {
    std::string bytes;
    bool rewritable = false;
    explicit MemoryOutput(std::string file_name = "out.tar") : OutputFile(std::move(file_name)) {}
    int write_all(const unsigned char* buf, std::size_t len) override {
        bytes.append(reinterpret_cast<const char*>(buf), len);
        return 0;
    }
    bool can_rewrite() override { return rewritable; }
    int rewrite_at(std::int64_t offset, const unsigned char* buf, std::size_t len) override {
        if (offset < 0 || static_cast<std::size_t>(offset) + len > bytes.size()) return EINVAL;
        bytes.replace(static_cast<std::size_t>(offset), len, reinterpret_cast<const char*>(buf), len);
        return 0;
    }
    int truncate_to(std::int64_t length) override {
        if (length < 0 || static_cast<std::size_t>(length) > bytes.size()) return EINVAL;
        bytes.resize(static_cast<std::size_t>(length));
        return 0;
    }
};

// Keeps every message, each behind its level and a space: "0 no footer ...\n".
struct RecordingSink : MessageSink {
    std::string text;
    void emit(int level, const std::string& message) override {
        text += std::to_string(level) + " " + message;
    }
};
