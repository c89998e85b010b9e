// Messages of the tool, all on standard output.
#pragma once

// Messages of a level above this are not shown. 1: errors, the banner and
// the file names; the level-2 entry positions stay hidden.
extern int message_level;

// Formats like printf and writes to standard output when level <= message_level.
void emit_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
