#include "message.h"

#include <cstdarg>
#include <cstdio>

int message_level = 1;

void emit_message(int level, const char* format, ...) {
    if (level > message_level) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
