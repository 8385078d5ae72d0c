#include "interruptible_parse.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <cxxabi.h>
#include <sys/stat.h>

#include "faults.hpp"
#include "load.hpp"

namespace quorvel {

namespace {

// As often as the caller's own look for signals.
constexpr std::chrono::milliseconds kLookInterval{20};

// Regular files below these sizes are parsed in place: some milliseconds of
// work. A gzip file of 64 KiB can hold up to 64 MiB.
constexpr std::uint64_t kInPlacePlain = std::uint64_t{8} << 20;
constexpr std::uint64_t kInPlaceGzip = std::uint64_t{64} << 10;

bool in_place(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return true;  // the parse says what is wrong with it
    }
    struct stat info {};
    if (::stat(std::string(path).c_str(), &info) != 0) {
        return true;
    }
    // Pipes and devices have no size to go by.
    return S_ISREG(info.st_mode) &&
           static_cast<std::uint64_t>(info.st_size) < (has_gz_extension(path) ? kInPlaceGzip : kInPlacePlain);
}

// What the waiting caller and the parsing thread share; whichever lets go
// last destroys it, and the parse's outcome with it.
struct Shared {
    Shared(std::string_view path_, const ParseOptions& options_) : path(path_), options(options_) {}

    const std::string path;
    const ParseOptions options;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    ParseOutcome outcome;
    std::atomic<bool> abandoned{false};
};

bool abandoned(void* context) {
    return static_cast<std::atomic<bool>*>(context)->load(std::memory_order_relaxed);
}

void parse_shared(const std::shared_ptr<Shared>& shared) {
    ParseOutcome outcome = parse(shared->path, shared->options, Interruption{abandoned, &shared->abandoned});
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->outcome = std::move(outcome);
        shared->done = true;
    }
    shared->finished.notify_one();
}

// The thread of a parse: joined once the parse is done, so that its stack is
// free for the next one, or left to end alone when the caller stops waiting.
class ParseThread {
public:
    explicit ParseThread(const std::shared_ptr<Shared>& shared) : thread_([shared] { parse_shared(shared); }) {}
    ParseThread(const ParseThread&) = delete;
    ParseThread& operator=(const ParseThread&) = delete;
    ~ParseThread() {
        if (thread_.joinable()) {
            thread_.detach();
        }
    }
    void join() { thread_.join(); }

private:
    std::thread thread_;
};

ParseOutcome wait_for(const std::shared_ptr<Shared>& shared, ParseThread& thread, const Interruption& interruption) {
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        while (!shared->finished.wait_for(lock, kLookInterval, [&] { return shared->done; })) {
            // Asked without the lock: the question may take the interpreter's.
            // Once the answer is to stop, the caller stops, whether or not the
            // parse has just ended: a handler's exception must not be lost.
            lock.unlock();
            if (interruption.stop()) {
                shared->abandoned.store(true, std::memory_order_relaxed);
                ParseOutcome outcome;
                outcome.status = ParseStatus::Interrupted;
                return outcome;
            }
            lock.lock();
        }
    }
    thread.join();
    return std::move(shared->outcome);
}

}  // namespace

QUORVEL_CATCHES_THREAD_EXIT ParseOutcome parse_interruptibly(std::string_view path, const ParseOptions& options,
                                 const Interruption& interruption) {
    std::shared_ptr<Shared> shared;
    std::unique_ptr<ParseThread> thread;
    try {
        if (interruption.requested != nullptr && !in_place(path)) {
            shared = std::make_shared<Shared>(path, options);
            thread = std::make_unique<ParseThread>(shared);
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        thread.reset();  // no memory or no thread to be had: in place, then
    }
    if (!thread) {
        return parse(path, options, interruption);
    }
    return wait_for(shared, *thread, interruption);
}

}  // namespace quorvel
