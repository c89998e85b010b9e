// A plain model of the conversion pass: one block at a time over a byte
// string, with a read that behaves like fread of one 512-byte item. Written
// for clarity only; the fast pass must produce the same bytes and messages.
#pragma once

#include <string>

struct ModelResult {
    std::string output;
    std::string messages;  // as RecordingSink keeps them
    bool failed = false;
};

ModelResult model_convert(const std::string& input);
