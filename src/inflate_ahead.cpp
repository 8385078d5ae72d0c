#include "inflate_ahead.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>

#if QUORVEL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "gzip.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

// Output between two pieces handed to the reader: small enough to stay in
// the cache for the CRC-32 and the UTF-8 check, and for the reader to
// follow closely; large enough that handing on costs nothing.
constexpr std::size_t kPiece = std::size_t{512} << 10;
std::atomic<std::size_t> piece_size{kPiece};

// ISA-L takes its input in pieces of at most this size (its counts are 32 bits).
constexpr std::size_t kInputPiece = std::size_t{1} << 30;

}  // namespace

bool InflateAhead::available() noexcept { return QUORVEL_HAVE_ISAL != 0; }

void InflateAhead::set_piece_size(std::size_t bytes) noexcept {
    piece_size.store(bytes != 0 ? bytes : kPiece, std::memory_order_relaxed);
}

InflateAhead::InflateAhead(HeapArray<char>& compressed) noexcept : compressed_(std::move(compressed)) {}

std::unique_ptr<InflateAhead> InflateAhead::start(HeapArray<char>& compressed) noexcept {
    if (!available()) {
        return nullptr;
    }
    const std::string_view in(compressed.data(), compressed.size());
    std::size_t body = 0;
    std::size_t size = 0;
    std::unique_ptr<InflateAhead> ahead;
    try {
        if (!gzip_framing::read_header(in, body).ok() || (size = gzip_framing::announced_size(in, body)) == 0) {
            return nullptr;
        }
        ahead.reset(new InflateAhead(compressed));
        // Mapped piece by piece as the thread writes them.
        ahead->out_.reserve_large_in_own_mapping(size, false);
        ahead->out_.grow_by(size);
        ahead->thread_ = std::thread([raw = ahead.get()] { raw->run(); });
    } catch (...) {
        if (ahead) {
            compressed = std::move(ahead->compressed_);
        }
        return nullptr;
    }
    ahead->ready();
    return ahead;
}

InflateAhead::~InflateAhead() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::size_t InflateAhead::ready() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.wait(lock, [&] { return ready_ != 0 || done_; });
    waiting_ = false;
    return ready_;
}

Status InflateAhead::wait_for(const char* want, const char*& end, bool& whole) {
    const std::size_t wanted = static_cast<std::size_t>(want - out_.data());
    std::size_t ready = 0;
    bool done = false;
    bool succeeded = false;
    for (bool mapping = true;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!mapping) {
            waiting_ = true;
            changed_.wait(lock, [&] { return ready_ >= wanted || done_; });
            waiting_ = false;
        }
        if (ready_ >= wanted || done_) {
            ready = ready_;
            done = done_;
            succeeded = succeeded_;
            break;
        }
        lock.unlock();
        mapping = map_ahead();
    }
    if (done && !succeeded) {
        // Never shown: the caller reads the file again the one-thread way.
        return ParseError::io("gzip data not inflated ahead");
    }
    end = out_.data() + ready;
    whole = done;
    return {};
}

bool InflateAhead::finish() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.wait(lock, [&] { return done_; });
    waiting_ = false;
    return succeeded_;
}

HeapArray<char> InflateAhead::take_compressed() noexcept {
    finish();
    return std::move(compressed_);
}

bool InflateAhead::map_ahead() noexcept {
    // Some tenths of a millisecond of the system's work: the reader looks
    // again soon.
    constexpr std::size_t kRun = std::size_t{1} << 20;
    const std::size_t at = std::max(mapped_, ready_now_.load(std::memory_order_relaxed));
    if (at >= out_.size()) {
        return false;
    }
    mapped_ = at + std::min(kRun, out_.size() - at);
    out_.populate(at, mapped_ - at);
    return true;
}

void InflateAhead::publish(std::size_t ready, bool done, bool succeeded) noexcept {
    ready_now_.store(done ? out_.size() : ready, std::memory_order_relaxed);
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ready_ = ready;
        done_ = done;
        succeeded_ = succeeded;
        wake = waiting_;
    }
    if (wake) {
        changed_.notify_one();
    }
}

void InflateAhead::run() noexcept {
    bool succeeded = false;
    try {
        succeeded = inflate_all();
    } catch (...) {
        succeeded = false;
    }
    publish(succeeded ? out_.size() : ready_, true, succeeded);
}

#if QUORVEL_HAVE_ISAL

bool InflateAhead::inflate_all() {
    const std::string_view in(compressed_.data(), compressed_.size());
    char* const out = out_.data();
    const std::size_t room = out_.size();
    const std::size_t piece = piece_size.load(std::memory_order_relaxed);
    std::size_t produced = 0;
    std::size_t member = 0;
    Utf8Check utf8;
    inflate_state state;
    for (bool another = true; another;) {
        std::size_t body = 0;
        if (!gzip_framing::read_header(in.substr(member), body).ok()) {
            return false;
        }
        body += member;
        isal_inflate_init(&state);
        // The framing is ours; ISA-L computes the CRC-32 while it writes the
        // output.
        state.crc_flag = IGZIP_GZIP_NO_HDR;
        std::size_t fed = body;
        const std::size_t start = produced;
        while (state.block_state != ISAL_BLOCK_FINISH) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) {
                    return false;
                }
            }
            if (state.avail_in == 0) {
                if (fed == in.size()) {
                    return false;  // cut data
                }
                const std::size_t input = std::min(in.size() - fed, kInputPiece);
                state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data() + fed));
                state.avail_in = static_cast<std::uint32_t>(input);
                fed += input;
            }
            const std::size_t step = std::min(piece, room - produced);
            if (step == 0) {
                return false;  // more than announced: several members, or a wrong length
            }
            state.next_out = reinterpret_cast<std::uint8_t*>(out + produced);
            state.avail_out = static_cast<std::uint32_t>(step);
            const std::uint32_t input_before = state.avail_in;
            if (isal_inflate(&state) != ISAL_DECOMP_OK) {
                return false;
            }
            const std::size_t got = step - state.avail_out;
            if (got == 0 && state.avail_in == input_before && state.block_state != ISAL_BLOCK_FINISH) {
                return false;  // no progress
            }
            produced += got;
            utf8.grow(out, produced);
            if (utf8.broken()) {
                return false;
            }
            if (state.block_state != ISAL_BLOCK_FINISH) {
                publish(produced, false);
            }
        }
        // ISA-L reads ahead into its bit buffer: the whole bytes there are
        // past the end of the DEFLATE data. (A version that read the trailer
        // itself would only send every file the one-thread way.)
        const std::size_t trailer = fed - state.avail_in - static_cast<std::size_t>(state.read_in_length / 8);
        if (!gzip_framing::check_trailer(in, trailer, produced - start, state.crc).ok() ||
            !gzip_framing::another_member(in, trailer + 8, another).ok()) {
            return false;
        }
        member = trailer + 8;
    }
    return produced == room && utf8.valid(produced);
}

#else

bool InflateAhead::inflate_all() { return false; }

#endif

}  // namespace quorvel
