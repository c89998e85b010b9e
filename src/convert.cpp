#include "convert.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/mman.h>

#include "tar_block.h"

std::int64_t entry_size_for(std::uint32_t footer_size, std::int64_t data_blocks) {
    if (data_blocks <= 0) return footer_size == 0 ? 0 : -1;
    // ceil(t / 512) = data_blocks holds for t in [lowest, lowest + 511]; that
    // range is shorter than 2^32, so at most one t in it has the footer's
    // value modulo 2^32.
    std::int64_t lowest = (data_blocks - 1) * std::int64_t{BLOCK_SIZE} + 1;
    std::uint32_t step = footer_size - static_cast<std::uint32_t>(lowest);
    std::int64_t t = lowest + step;
    return t <= data_blocks * std::int64_t{BLOCK_SIZE} ? t : -1;
}

namespace {

std::string format_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string format_message(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < sizeof text) return std::string(text, length);
    std::string long_text(length + 1, '\0');
    va_start(args, format);
    std::vsnprintf(long_text.data(), long_text.size(), format, args);
    va_end(args);
    long_text.pop_back();
    return long_text;
}

constexpr std::int64_t BLOCK = BLOCK_SIZE;
// The scan buffers take the input as it comes, in a ring: they let reading
// run ahead of writing, and, on an output that cannot be rewritten, they
// hold a placeholder entry while the pass searches it for its footer, so
// that an entry of up to six buffers (3 MiB at the default chunk) is read
// only once. Copy buffers take entry data that had to leave the ring and is
// read a second time. Seven and two keep the whole pass under 8 MiB of
// resident memory. An output that can be rewritten takes the entry as it
// is read and needs no more than four, which stay warmer in the caches.
constexpr int SCAN_BUFFERS = CONVERT_SCAN_CHUNKS;
constexpr int STREAMING_SCAN_BUFFERS = 4;
constexpr int COPY_BUFFERS = 2;
// Writes into a file's page cache cost less when they start and end on page
// boundaries of the output; a pass that drops footers shifts the output
// against the input by 512 bytes a footer, so it sizes its reads to end
// where the output is page-aligned. 4 KiB is the page size that matters.
constexpr std::int64_t OUTPUT_PAGE = 4096;

// Writes the pass's output and messages on a thread of its own, in the order
// they are handed over, so that writing one chunk overlaps reading and
// checking the next. After a write fails it writes and says nothing more:
// whatever was handed over after the failing write would not have happened
// had the pass stopped there. Only this thread touches the output and the
// message sink while it runs.
//
// On an output that can be rewritten, a placeholder entry goes out while
// the pass still searches for its footer, between begin_entry and
// end_entry. A write that fails in there is held back: had the pass waited
// for the footer, it would have written those bytes only if the entry is
// kept, after the footer's messages. end_entry then reports it, or forgets
// it along with the entry's bytes.
class OutputThread {
public:
    OutputThread(OutputFile& output, MessageSink& messages)
        : out_(output), messages_(messages), thread_([this] { run(); }) {}
    ~OutputThread() { finish(); }
    OutputThread(const OutputThread&) = delete;
    OutputThread& operator=(const OutputThread&) = delete;

    // Bytes that must stay as they are until wait_done(handed()) returns.
    void write(const unsigned char* bytes, std::size_t length) {
        Op op;
        op.kind = Op::BYTES;
        op.bytes = bytes;
        op.length = length;
        hand_over(std::move(op));
    }
    // The output from here on is a placeholder entry, its header as read
    // first.
    void begin_entry() {
        Op op;
        op.kind = Op::BEGIN_ENTRY;
        hand_over(std::move(op));
    }
    // Ends the entry begun last: with a header, writes it over the one read
    // and keeps the bytes written after it, or with keep_data false cuts
    // them off; without one, cuts the whole entry off.
    void end_entry(const TarBlock* header, bool keep_data) {
        Op op;
        op.kind = Op::END_ENTRY;
        op.keep_data = keep_data;
        op.has_block = header != nullptr;
        if (header) op.block = *header;
        hand_over(std::move(op));
    }
    // A block the thread keeps a copy of.
    void write_copy(const TarBlock& block) {
        Op op;
        op.kind = Op::BLOCK;
        op.block = block;
        hand_over(std::move(op));
    }
    void message(int level, std::string text) {
        Op op;
        op.kind = Op::MESSAGE;
        op.level = level;
        op.text = std::move(text);
        hand_over(std::move(op));
    }

    // The number of operations handed over so far.
    std::uint64_t handed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handed_;
    }
    // Waits until the first `count` operations are done.
    void wait_done(std::uint64_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (done_ >= count) return;
        awaited_ = count;
        progress_.wait(lock, [&] { return done_ >= count; });
        awaited_ = 0;
    }
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // What failed was a write, so the output's close should not report again.
    // Read once the thread has finished.
    bool write_failed() const { return write_failed_; }

    // Waits for everything handed over, then ends the thread.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        work_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    struct Op {
        enum Kind { BYTES, BLOCK, MESSAGE, BEGIN_ENTRY, END_ENTRY } kind = BYTES;
        const unsigned char* bytes = nullptr;
        std::size_t length = 0;
        bool has_block = false;
        bool keep_data = false;
        TarBlock block{};
        int level = 0;
        std::string text;
    };

    void hand_over(Op op) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(op));
            ++handed_;
        }
        work_.notify_one();
    }

    void run() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return !queue_.empty() || closing_; });
            if (queue_.empty()) return;
            Op op = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            if (!failed()) perform(op);
            lock.lock();
            ++done_;
            // Waking the pass only once what it waits for is done spares it,
            // and this thread, a wake-up per operation.
            const bool wake = awaited_ != 0 && done_ >= awaited_;
            lock.unlock();
            if (wake) progress_.notify_all();
        }
    }

    void perform(const Op& op) {
        switch (op.kind) {
        case Op::MESSAGE:
            messages_.emit(op.level, op.text);
            return;
        case Op::BEGIN_ENTRY:
            in_entry_ = true;
            entry_start_ = position_;
            return;
        case Op::END_ENTRY:
            end_entry(op);
            return;
        case Op::BYTES:
        case Op::BLOCK:
            break;
        }
        if (held_error_) return;
        const unsigned char* bytes = op.kind == Op::BLOCK ? op.block.data() : op.bytes;
        const std::size_t length = op.kind == Op::BLOCK ? op.block.size() : op.length;
        if (int error_number = out_.write_all(bytes, length)) {
            if (in_entry_) {
                held_error_ = error_number;
                held_at_ = position_;
            } else {
                write_failed(error_number);
            }
            return;
        }
        position_ += static_cast<std::int64_t>(length);
    }

    void end_entry(const Op& op) {
        in_entry_ = false;
        const std::int64_t header_end = entry_start_ + BLOCK_SIZE;
        int held = held_error_;
        held_error_ = 0;
        if (!op.has_block) {
            cut(entry_start_);
        } else if (held && held_at_ <= entry_start_) {
            // The header's own write failed: nothing of the entry went out.
            cut(entry_start_);
            if (!failed()) write_failed(held);
        } else if (int error_number = out_.rewrite_at(entry_start_, op.block.data(), op.block.size())) {
            write_failed(error_number);
        } else if (!op.keep_data) {
            if (position_ > header_end || held) cut(header_end);
        } else if (held) {
            write_failed(held);
        }
    }

    // Cuts the output back to length bytes.
    void cut(std::int64_t length) {
        if (int error_number = out_.truncate_to(length)) {
            write_failed(error_number);
            return;
        }
        position_ = length;
    }

    void write_failed(int error_number) {
        messages_.emit(0, format_message("write of output file %s failed %s\n", out_.name.c_str(),
                                         std::strerror(error_number)));
        write_failed_ = true;
        failed_.store(true, std::memory_order_release);
    }

    OutputFile& out_;
    MessageSink& messages_;
    std::int64_t position_ = 0;     // bytes written so far
    bool in_entry_ = false;         // between begin_entry and end_entry
    std::int64_t entry_start_ = 0;  // where the entry's header went
    int held_error_ = 0;            // a failed write held back until end_entry
    std::int64_t held_at_ = 0;      // where that write started
    bool write_failed_ = false;
    std::mutex mutex_;
    std::condition_variable work_;      // the thread waits for operations
    std::condition_variable progress_;  // the pass waits for buffers to be written
    std::deque<Op> queue_;
    std::uint64_t handed_ = 0;
    std::uint64_t done_ = 0;
    std::uint64_t awaited_ = 0;  // the count wait_done waits for, 0 when it does not wait
    bool closing_ = false;
    std::atomic<bool> failed_{false};
    std::thread thread_;  // last: starts once everything above is ready
};

// Memory for a buffer, mapped with all its pages in place from the start:
// on some virtual machines each page touched for the first time costs
// several microseconds, much less when the kernel maps them all in one go.
// That is milliseconds at the start of every conversion.
class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer() {
        if (mapped_) ::munmap(data_, size_);
        else delete[] data_;
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    void allocate(std::size_t size) {
        int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
        flags |= MAP_POPULATE;
#endif
        void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
        size_ = size;
        mapped_ = memory != MAP_FAILED;
        data_ = mapped_ ? static_cast<unsigned char*>(memory) : new unsigned char[size];
    }
    bool empty() const { return data_ == nullptr; }
    unsigned char* data() { return data_; }

private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

// A buffer of input bytes [offset, offset + length) and how many operations
// must be done before it may be filled again, since some of them write from
// it.
struct Buffer {
    PageBuffer bytes;
    std::int64_t offset = 0;
    std::size_t length = 0;
    std::uint64_t in_use_until = 0;
};

// One run of the pass. The input is read in chunks into the current scan
// buffer, which holds input bytes [buf_off, buf_off + buf_len); blocks to
// copy unchanged are gathered as a run of that buffer and handed to the
// output thread in one go. The pass reads into the next scan buffer while
// the output thread still writes from earlier ones; the buffers from oldest_
// to current_ hold consecutive stretches of the input. Input positions are
// 64-bit, so archives past 2 GiB and entries past 4 GiB convert.
class Pass {
public:
    Pass(InputFile& input, OutputFile& output, MessageSink& messages, std::size_t chunk_size)
        : in_(input), capacity_(chunk_size), streaming_(output.can_rewrite()),
          ring_(streaming_ ? STREAMING_SCAN_BUFFERS : SCAN_BUFFERS), writer_(output, messages) {
        for (int index = 0; index < ring_; ++index) scan_[index].bytes.allocate(chunk_size);
    }

    ConvertResult run() {
        std::int64_t pos = 0;
        while (!stopped() && !ended_) {
            std::int64_t got = block_bytes(pos);
            if (got < BLOCK) break;  // the input ends here, or a read failed
            const unsigned char* block = at(pos);
            if (checksum_can_match(block)) {
                TarBlock work;
                std::memcpy(work.data(), block, BLOCK);
                if (check_placeholder_header(work) == BLOCK_SIZE_UNKNOWN) {
                    pos = convert_entry(pos);
                    oldest_ = current_;
                    continue;
                }
            }
            queue(pos, pos + BLOCK);
            pos += BLOCK;
        }
        flush();
        if (!stopped() && input_end_ % BLOCK != 0)
            error(format_message("input file ends with a partial block of %d bytes\n",
                                 static_cast<int>(input_end_ % BLOCK)));
        writer_.finish();
        if (writer_.failed()) result_.failed = true;
        if (writer_.write_failed()) result_.write_failed = true;
        return result_;
    }

private:
    std::int64_t buf_end() const { return buf_off_ + static_cast<std::int64_t>(buf_len_); }
    // The scan buffer holding offset, which must lie in the buffers from
    // oldest_ to current_.
    int buffer_index(std::int64_t offset) const {
        int index = current_;
        while (offset < scan_[index].offset && index != oldest_) index = (index + ring_ - 1) % ring_;
        return index;
    }
    unsigned char* at(std::int64_t offset) {
        Buffer& buffer = scan_[offset >= buf_off_ ? current_ : buffer_index(offset)];
        return buffer.bytes.data() + (offset - buffer.offset);
    }
    // A read, write or change error ended the pass.
    bool stopped() const { return stopped_ || writer_.failed(); }

    void error(std::string text) {
        writer_.message(0, std::move(text));
        result_.failed = true;
    }

    void read_failed(int error_number) {
        error(format_message("read of input file %s failed %s\n", in_.name.c_str(),
                             std::strerror(error_number)));
        stopped_ = true;
    }

    // Waits until the output thread no longer writes from buffer; after
    // release, it may write from it until everything handed over so far is
    // done.
    void claim(Buffer& buffer) { writer_.wait_done(buffer.in_use_until); }
    void release(Buffer& buffer) { buffer.in_use_until = writer_.handed(); }

    // How many bytes of the block at offset, the end of the current buffer
    // or inside it, the scan buffers hold after reading the next chunk if
    // needed: 512, fewer where the input ends inside the block, or -1 after
    // a read failure. Reading hands over the pending run first. With
    // keep_entry the buffers from oldest_ on stay as they are, but for the
    // oldest when the ring is full: its bytes will have to be read again.
    std::int64_t block_bytes(std::int64_t offset, bool keep_entry = false) {
        std::int64_t have = buf_end() - offset;
        if (have >= BLOCK) return BLOCK;
        if (input_end_ >= 0 && buf_end() == input_end_ && have >= 0) return have;
        flush();
        if (stopped()) return -1;
        const int next_index = (current_ + 1) % ring_;
        if (!keep_entry)
            oldest_ = next_index;
        else if (next_index == oldest_)
            oldest_ = (oldest_ + 1) % ring_;
        Buffer& next = scan_[next_index];
        claim(next);
        current_ = next_index;
        std::size_t want = capacity_;
        if (streaming_ && capacity_ >= 2 * OUTPUT_PAGE)
            want -= static_cast<std::size_t>((out_pos_ + static_cast<std::int64_t>(capacity_)) % OUTPUT_PAGE);
        int error_number = 0;
        std::int64_t got = in_.read_at(offset, next.bytes.data(), want, &error_number);
        next.offset = buf_off_ = offset;
        next.length = buf_len_ = got < 0 ? 0 : static_cast<std::size_t>(got);
        if (got < 0) {
            read_failed(error_number);
            return -1;
        }
        if (buf_len_ < want) input_end_ = buf_end();
        return std::min<std::int64_t>(got, BLOCK);
    }

    // Queues input bytes [from, to), which one scan buffer holds, for output
    // right after what is queued already; a run grows only within a buffer.
    void queue(std::int64_t from, std::int64_t to) {
        const int index = from >= buf_off_ ? current_ : buffer_index(from);
        if (pending_end_ != from || pending_start_ == pending_end_ || index != pending_buffer_) {
            flush();
            pending_start_ = from;
            pending_buffer_ = index;
        }
        pending_end_ = to;
    }

    void flush() {
        std::int64_t from = pending_start_, to = pending_end_;
        pending_start_ = pending_end_ = 0;
        if (to <= from || stopped()) return;
        Buffer& buffer = scan_[pending_buffer_];
        writer_.write(buffer.bytes.data() + (from - buffer.offset), static_cast<std::size_t>(to - from));
        release(buffer);
        out_pos_ += to - from;
    }

    // Writes a block that is not part of the input as it stands, after the
    // queued run.
    void write_block(const TarBlock& block) {
        flush();
        if (stopped()) return;
        writer_.write_copy(block);
        out_pos_ += BLOCK;
    }

    // The output thread's begin_entry and end_entry, with out_pos_ kept.
    void begin_entry(const TarBlock& header) {
        entry_out_ = out_pos_;
        writer_.begin_entry();
        writer_.write_copy(header);
        out_pos_ += BLOCK;
    }
    void end_entry(const TarBlock* header, bool keep_data) {
        writer_.end_entry(header, keep_data);
        if (!header)
            out_pos_ = entry_out_;
        else if (!keep_data)
            out_pos_ = entry_out_ + BLOCK;
    }

    std::int64_t convert_entry(std::int64_t header_start);
    void copy_entry_data(std::int64_t from, std::int64_t to);

    InputFile& in_;
    Buffer scan_[SCAN_BUFFERS];
    int current_ = 0;
    int oldest_ = 0;  // the oldest scan buffer the pass still needs
    const std::size_t capacity_;  // bytes in each buffer
    // The output can be rewritten: an entry's data goes out during the
    // footer search, and its header is mended afterwards.
    const bool streaming_;
    const int ring_;  // scan buffers in use
    Buffer copy_[COPY_BUFFERS];  // for entry data that has left the scan buffers, allocated on first use
    int copy_current_ = 0;
    std::int64_t buf_off_ = 0;
    std::size_t buf_len_ = 0;
    std::int64_t input_end_ = -1;  // the input's length, once a read has met its end
    std::int64_t pending_start_ = 0;
    std::int64_t pending_end_ = 0;
    int pending_buffer_ = 0;  // the scan buffer holding the pending run
    // Output bytes handed over, as the output thread will leave them; only a
    // streaming pass, which sizes its reads by it, keeps it up to date.
    std::int64_t out_pos_ = 0;
    std::int64_t entry_out_ = 0;  // out_pos_ where the entry being converted began
    std::uint32_t size_ = 0;  // carried from entry to entry, set only by a footer
    bool stopped_ = false;    // a read or change error ended the pass
    bool ended_ = false;      // a placeholder header without footer ended the pass
    ConvertResult result_;
    OutputThread writer_;  // last: gone, and joined, before the buffers it writes from
};

// Converts the placeholder entry whose header starts at header_start and
// returns where the main loop goes on: after the footer.
std::int64_t Pass::convert_entry(std::int64_t header_start) {
    const std::int64_t header_end = header_start + BLOCK;
    TarBlock header;
    std::memcpy(header.data(), at(header_start), BLOCK);
    flush();
    if (stopped()) return header_start;
    writer_.message(2, format_message("Plint header pos: start:%lld end:%lld\n",
                                     static_cast<long long>(header_start),
                                     static_cast<long long>(header_end)));
    if (streaming_) begin_entry(header);

    // Footer search. A read that meets the end inside a block overwrites only
    // the start of the block read before, so the candidate there is the
    // input's last bytes followed by the tail of the previous block.
    TarBlock footer;
    TarBlock previous;
    std::int64_t footer_start = header_end;
    BlockStatus status = BLOCK_NOT_FOOTER;
    bool whole = true;
    for (;; footer_start += BLOCK) {
        if (footer_start + BLOCK > buf_end())
            std::memcpy(previous.data(), at(footer_start - BLOCK), BLOCK);
        std::int64_t got = block_bytes(footer_start, !streaming_);
        if (got < 0) {
            if (streaming_) end_entry(nullptr, false);
            return footer_start;
        }
        if (got < BLOCK) {
            footer = previous;
            std::memcpy(footer.data(), at(footer_start), static_cast<std::size_t>(got));
            TarBlock work = footer;
            status = check_footer(work, size_);
            whole = false;
            break;
        }
        const unsigned char* block = at(footer_start);
        if (checksum_can_match(block)) {
            std::memcpy(footer.data(), block, BLOCK);
            TarBlock work = footer;
            status = check_footer(work, size_);
            if (status == BLOCK_OK) break;
        }
        if (streaming_) queue(footer_start, footer_start + BLOCK);
    }
    flush();
    if (status != BLOCK_OK) {
        if (streaming_) end_entry(nullptr, false);
        error(format_message("no footer for placeholder header at offset %lld\n",
                             static_cast<long long>(header_start)));
        ended_ = true;
        return footer_start;
    }
    const std::int64_t footer_end = whole ? footer_start + BLOCK : input_end_;
    writer_.message(2, format_message("PFooter pos: start:%lld end:%lld\n",
                                     static_cast<long long>(footer_start),
                                     static_cast<long long>(footer_end)));

    const std::int64_t data_blocks = (footer_start - header_end) / BLOCK;
    std::int64_t entry_size = size_;
    if (!read_octal_field(footer.data() + SIZE_FIELD.offset, SIZE_FIELD.width)) {
        error(format_message("footer at offset %lld holds no size\n",
                             static_cast<long long>(footer_start)));
    } else if (std::int64_t t = entry_size_for(size_, data_blocks); t >= 0) {
        entry_size = t;
    } else {
        error(format_message("footer at offset %lld gives size %u for %lld data blocks\n",
                             static_cast<long long>(footer_start), size_,
                             static_cast<long long>(data_blocks)));
    }
    if (entry_size >= ENTRY_SIZE_LIMIT) {
        error(format_message("entry at offset %lld is too large for a tar header\n",
                             static_cast<long long>(header_start)));
        if (streaming_) end_entry(nullptr, false);
        return footer_end;
    }

    put_octal_field(header.data() + SIZE_FIELD.offset, SIZE_WRITE_WIDTH,
                    static_cast<std::uint64_t>(entry_size));
    std::memset(header.data() + CHKSUM_FIELD.offset, ' ', CHKSUM_FIELD.width);
    put_octal_field(header.data() + CHKSUM_FIELD.offset, CHKSUM_WRITE_WIDTH,
                    header_checksum(header));
    if (streaming_) {
        // The data went out during the search; an entry of size 0 keeps none.
        end_entry(&header, entry_size != 0);
    } else if (header_start >= scan_[oldest_].offset) {
        // Rewritten in place, so the header and data still in its buffer go
        // out in one write. No handed-over run covers the header's bytes.
        std::memcpy(at(header_start), header.data(), BLOCK);
        queue(header_start, header_end);
    } else {
        write_block(header);
    }
    if (entry_size == 0) return footer_end;
    if (data_blocks == 0) {
        // The copy of the entry's one block reads the footer itself.
        if (whole)
            queue(footer_start, footer_end);
        else
            write_block(footer);
    } else if (!streaming_) {
        copy_entry_data(header_end, footer_start);
    }
    return footer_end;
}

// Writes input bytes [from, to), whole blocks that the footer search read:
// the part still in the scan buffers from there, the rest read again into
// the two copy buffers in turn.
void Pass::copy_entry_data(std::int64_t from, std::int64_t to) {
    const std::int64_t reread_end = std::max(from, std::min(to, scan_[oldest_].offset));
    if (from < reread_end) flush();
    for (std::int64_t offset = from; offset < reread_end && !stopped();) {
        Buffer& buffer = copy_[copy_current_];
        copy_current_ = (copy_current_ + 1) % COPY_BUFFERS;
        if (buffer.bytes.empty()) buffer.bytes.allocate(capacity_);
        claim(buffer);
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(reread_end - offset, capacity_));
        int error_number = 0;
        std::int64_t got = in_.read_at(offset, buffer.bytes.data(), want, &error_number);
        if (got < 0) {
            read_failed(error_number);
            return;
        }
        if (static_cast<std::size_t>(got) < want) {
            // These blocks were whole when the footer search read them: the
            // input shrank. What is left of them goes out up to the last
            // whole block.
            std::size_t whole = static_cast<std::size_t>(got) / BLOCK_SIZE * BLOCK_SIZE;
            if (whole > 0) writer_.write(buffer.bytes.data(), whole);
            release(buffer);
            error("input file changed during conversion\n");
            stopped_ = true;
            return;
        }
        writer_.write(buffer.bytes.data(), want);
        release(buffer);
        offset += got;
    }
    for (int index = oldest_; !stopped(); index = (index + 1) % ring_) {
        const Buffer& buffer = scan_[index];
        std::int64_t piece_from = std::max(reread_end, buffer.offset);
        std::int64_t piece_to = std::min(to, buffer.offset + static_cast<std::int64_t>(buffer.length));
        if (piece_from < piece_to) queue(piece_from, piece_to);
        if (index == current_) break;
    }
}

}  // namespace

ConvertResult convert_archive(InputFile& input, OutputFile& output, MessageSink& messages,
                              std::size_t chunk_size) {
    if (chunk_size < BLOCK_SIZE || chunk_size % BLOCK_SIZE != 0) chunk_size = CONVERT_CHUNK_SIZE;
    return Pass(input, output, messages, chunk_size).run();
}
