// A gzip file inflated on a thread of its own, ahead of the parse that reads
// it: the parse reads what is inflated already and waits where it catches
// up, so that the inflate and the parse share the time of the longer one
// instead of adding up.
//
// The output goes into one buffer of the size the file's trailer announces,
// which never moves while it is read. Everything out of the common run (a
// file of several members, whose last trailer does not give the size of the
// whole; a text that is not UTF-8; corrupt, cut or otherwise failing data)
// makes it give up, and the caller then reads the file the one-thread way,
// which gives the results, the errors and their texts as always.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "error.hpp"
#include "heap_array.hpp"
#include "text_supply.hpp"

namespace quorvel {

class InflateAhead final : public TextSupply {
public:
    // Whether this build inflates ahead at all (it needs ISA-L's streaming
    // decoder).
    static bool available() noexcept;

    // The output handed to the reader at a time (512 KiB unless set): the
    // tests make it small, to meet the reader at many more places.
    static void set_piece_size(std::size_t bytes) noexcept;

    // Starts inflating the gzip data `compressed`, which it takes over, and
    // waits until the first piece is there. Null, with `compressed` left as
    // it was, when this cannot be done: no decoder in this build, no length
    // announced, no memory or no thread to be had. Does not throw.
    static std::unique_ptr<InflateAhead> start(HeapArray<char>& compressed) noexcept;

    // Stops the thread, if it still runs, and waits for it.
    ~InflateAhead() override;
    InflateAhead(const InflateAhead&) = delete;
    InflateAhead& operator=(const InflateAhead&) = delete;

    // The output buffer, of the announced size; the bytes before `ready()`
    // are inflated and stay as they are (the reader may change them).
    char* data() noexcept { return out_.data(); }
    std::size_t size() const noexcept { return out_.size(); }
    bool owns_mapping() const noexcept { return out_.owns_mapping(); }
    std::size_t ready() noexcept;

    Status wait_for(const char* want, const char*& end, bool& whole) override;

    // While the reader waits (see wait_for), it maps the pages of the buffer
    // that the inflate has not come to yet, a run at a time, so that the
    // inflating thread writes into pages already there instead of taking a
    // fault for each: the system's part of the work, done by a thread that
    // would wait otherwise. False when there is nothing left to map.
    bool map_ahead() noexcept;

    // Waits for the inflate to end: true when the whole data was inflated
    // into the buffer to its last byte, every member's length and CRC-32
    // checked, and the text found to be valid UTF-8.
    bool finish() noexcept;

    // The compressed data, once finished (for the one-thread way).
    HeapArray<char> take_compressed() noexcept;

private:
    explicit InflateAhead(HeapArray<char>& compressed) noexcept;
    void run() noexcept;
    bool inflate_all();
    void publish(std::size_t ready, bool done, bool succeeded = false) noexcept;

    HeapArray<char> compressed_;
    HeapArray<char> out_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t ready_ = 0;     // bytes of out_ inflated
    std::atomic<std::size_t> ready_now_{0};  // the same, read without the lock
    std::size_t mapped_ = 0;    // the reader mapped the pages before this
    bool done_ = false;         // the thread has nothing more to do
    bool succeeded_ = false;
    bool waiting_ = false;      // the reader waits for the next piece
    bool stop_ = false;         // the reader wants no more
    std::thread thread_;
};

}  // namespace quorvel
