// plint inputfile outputfile: arguments, files, messages and exit status.
// The conversion itself is convert_archive's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "file_io.h"
#include "message.h"

namespace {

constexpr std::size_t MAX_NAME_LENGTH = 512;

struct StdoutSink : MessageSink {
    void emit(int level, const std::string& text) override { emit_message(level, "%s", text.c_str()); }
};

[[noreturn]] void finish(int status) {
    std::fflush(stdout);
    std::exit(status);
}

// The platform's text for an error, with the newline that leaves an empty
// line after each open-failure message.
std::string error_text(int error_number) { return std::string(std::strerror(error_number)) + "\n"; }

// Pipes, FIFOs, sockets, terminals and directories cannot be read twice over
// a placeholder entry.
bool seekable(const struct stat& info) { return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode); }

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe or FIFO as the output then fails a write with EPIPE,
    // which is reported, instead of ending the tool without a word.
    std::signal(SIGPIPE, SIG_IGN);

    emit_message(1, "Zavo plint tool version 1.1 (Morquel)\n");
    if (argc == 2 && std::strcmp(argv[1], "-h") == 0) {
        emit_message(1, " command syntax: plint inputfile outputfile\n");
        finish(0);
    }
    if (argc < 3) {
        emit_message(0, "command syntax: plint inputfile outputfile\n");
        finish(1);
    }
    if (std::strlen(argv[1]) > MAX_NAME_LENGTH) {
        emit_message(0, "name of input file too long\n");
        finish(1);
    }
    if (std::strlen(argv[2]) > MAX_NAME_LENGTH) {
        emit_message(0, "name of output file too long\n");
        finish(1);
    }
    const char* input_name = argv[1];
    const char* output_name = argv[2];
    emit_message(1, "input file: %s\n", input_name);
    emit_message(1, "output file: %s\n", output_name);

    // A FIFO is refused before it is opened: opening one waits for a writer.
    struct stat input_info;
    if (::stat(input_name, &input_info) == 0 && (S_ISFIFO(input_info.st_mode) || S_ISSOCK(input_info.st_mode))) {
        emit_message(0, "input file %s is not a seekable file\n", input_name);
        finish(1);
    }
    // O_NONBLOCK keeps the open from waiting should the name turn into a FIFO
    // after the check above; it is cleared before any read.
    int input_fd = ::open(input_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (input_fd < 0) {
        emit_message(0, "Command open file  %s failed  %s\n", input_name, error_text(errno).c_str());
        finish(1);
    }
    if (::fstat(input_fd, &input_info) != 0 || !seekable(input_info)) {
        ::close(input_fd);
        emit_message(0, "input file %s is not a seekable file\n", input_name);
        finish(1);
    }
    ::fcntl(input_fd, F_SETFL, ::fcntl(input_fd, F_GETFL) & ~O_NONBLOCK);

    // Opening the output truncates it: when it is the input under any name,
    // that would destroy the input before it is read.
    struct stat output_info;
    if (::stat(output_name, &output_info) == 0 && output_info.st_dev == input_info.st_dev &&
        output_info.st_ino == input_info.st_ino) {
        ::close(input_fd);
        emit_message(0, "input file and output file are the same\n");
        finish(1);
    }
    int output_fd = ::open(output_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output_fd < 0) {
        int open_error = errno;
        ::close(input_fd);
        emit_message(0, "command open file  %s failed %s\n", output_name, error_text(open_error).c_str());
        finish(1);
    }

    FdInputFile input(input_name, input_fd);
    FdOutputFile output(output_name, output_fd);
    StdoutSink messages;
    ConvertResult result = convert_archive(input, output, messages);

    ::close(input_fd);
    if (::close(output_fd) != 0 && !result.write_failed) {
        emit_message(0, "write of output file %s failed %s\n", output_name, std::strerror(errno));
        result.failed = true;
    }
    finish(result.failed ? 1 : 0);
}
