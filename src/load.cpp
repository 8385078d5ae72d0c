#include "load.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "encoding.hpp"
#include "gzip.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

Status os_error(int code) { return ParseError::os(code); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    // Hands the descriptor to someone else, who closes it.
    void release() noexcept { fd_ = -1; }

private:
    int fd_;
};

// Plain files from this size on are mapped rather than read (see
// FileMapping), where a lease allows it: below it, reading costs less than
// setting the mapping up.
constexpr std::uint64_t kMapMin = std::uint64_t{1} << 20;

// How long a read may wait for data before the caller is asked again
// whether to stop: well within the tenth of a second a person waits for
// Ctrl-C to take.
constexpr int kWaitMilliseconds = 50;

// read(2) of what is there, retried when a signal interrupts it unless the
// caller then asks to stop. A file that may keep the reader waiting (a pipe,
// a terminal) is polled, so that the caller is asked while it waits.
Status read_some(int fd, bool may_wait, char* buffer, std::size_t capacity, std::size_t& count,
                 const Interruption& interruption) {
    for (;;) {
        if (may_wait) {
            pollfd ready{fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, kWaitMilliseconds);
            if (polled <= 0) {
                if (polled < 0 && errno != EINTR) {
                    return os_error(errno);
                }
                if (interruption.stop()) {
                    return ParseError::interrupted();
                }
                continue;
            }
        }
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n >= 0) {
            count = static_cast<std::size_t>(n);
            return {};
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
        if (interruption.stop()) {
            return ParseError::interrupted();
        }
    }
}

// Opening a pipe waits for its writer; a signal that interrupts the wait
// lets the caller stop.
Status open_file(std::string_view path, int& fd, const Interruption& interruption) {
    if (path.find('\0') != std::string_view::npos) {
        return ParseError::io("file name contains a NUL byte");
    }
    const std::string terminated(path);
    for (;;) {
        fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            return {};
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
        if (interruption.stop()) {
            return ParseError::interrupted();
        }
    }
}

// The whole file, in a buffer sized from its length when it has one. Each
// piece read is checked as UTF-8 while it is still in the cache, which saves
// the check a pass over the whole document; `valid_utf8` tells the result.
Status read_whole(int fd, const struct stat& info, HeapArray<char>& out, bool& valid_utf8,
                  const Interruption& interruption) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        out.reserve_large_in_own_mapping(static_cast<std::size_t>(info.st_size) + 1);
    }
    const bool may_wait = !S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode);
    Utf8Check utf8;
    for (;;) {
        if (out.capacity() - out.size() < 4096) {
            out.reserve(out.size() + std::max<std::size_t>(out.size() / 2, 1 << 16));
        }
        std::size_t count = 0;
        QV_TRY(read_some(fd, may_wait, out.data() + out.size(), std::min(out.capacity() - out.size(), kPiece), count,
                         interruption));
        if (count == 0) {
            valid_utf8 = utf8.valid(out.size());
            return {};
        }
        out.grow_by(count);
        utf8.grow(out.data(), out.size());
        if (interruption.stop()) {
            return ParseError::interrupted();
        }
    }
}

// The text is UTF-8 now: an XML declaration at its start (after a UTF-8
// byte-order mark) that names Latin-1 as its encoding (ISO-8859-1 or
// iso-8859-1) is made to say UTF-8, so that nothing decodes the text a
// second time; nothing else is touched. The declaration gets shorter, so it
// is written in place, flush against the rest, and the returned offset is
// where the text now starts.
std::size_t rewrite_declared_encoding(char* text, std::size_t size) {
    const std::string_view all(text, size);
    const std::size_t start = all.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    if (all.substr(start, 5) != "<?xml" || size < start + 6 || !is_xml_space(all[start + 5])) {
        return 0;
    }
    const std::size_t close = all.find("?>", start);
    const std::size_t name = all.substr(0, close).find("encoding", start);
    if (close == std::string_view::npos || name == std::string_view::npos) {
        return 0;
    }
    std::size_t at = name + 8;
    const auto skip_space = [&] {
        while (at < close && is_xml_space(all[at])) {
            ++at;
        }
    };
    skip_space();
    if (at == close || all[at] != '=') {
        return 0;
    }
    ++at;
    skip_space();
    if (at == close || (all[at] != '"' && all[at] != '\'')) {
        return 0;
    }
    const std::string_view value = all.substr(at + 1, 10);
    if ((value != "ISO-8859-1" && value != "iso-8859-1") || at + 11 >= close || all[at + 11] != all[at]) {
        return 0;
    }
    // Everything before the name moves right by the five bytes it loses.
    constexpr std::size_t kShorter = 10 - 5;
    std::memmove(text + at + 1 + kShorter, "UTF-8", 5);
    std::memmove(text + kShorter, text, at + 1);
    return kShorter;
}

}  // namespace

// A mapped file that is UTF-8, the usual case, is the document as it lies;
// one in another encoding is decoded into memory. The check goes a piece at
// a time, so that the caller can stop it.
Status finish_mapped_document(FileMapping mapping, Document& document, const Interruption& interruption) {
    constexpr std::size_t kPiece = std::size_t{4} << 20;
    Utf8Check utf8;
    for (std::size_t at = 0; at < mapping.size(); at += kPiece) {
        utf8.grow(mapping.data(), at + std::min(kPiece, mapping.size() - at));
        if (interruption.stop()) {
            return ParseError::interrupted();
        }
    }
    if (!utf8.valid(mapping.size())) {
        HeapArray<char> raw;
        raw.append(mapping.data(), mapping.size());
        return finish_document(std::move(raw), document);
    }
    const std::size_t offset = rewrite_declared_encoding(mapping.data(), mapping.size());
    document = Document(std::move(mapping), offset);
    return {};
}

bool has_gz_extension(std::string_view path) noexcept {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name == "..") {
        return false;
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return false;
    }
    return name.substr(dot + 1) == "gz";
}

Status finish_document(HeapArray<char> raw, Document& document, bool known_utf8) {
    QV_TRY(decode_to_utf8(raw, known_utf8));
    const std::size_t offset = rewrite_declared_encoding(raw.data(), raw.size());
    document = Document(std::move(raw), offset);
    return {};
}

Status load_document(std::string_view path, Document& document, const Interruption& interruption) {
    int raw_fd = -1;
    QV_TRY(open_file(path, raw_fd, interruption));
    FileDescriptor fd(raw_fd);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return os_error(errno);
    }
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) >= kMapMin && !has_gz_extension(path)) {
        FileMapping mapping;
        if (mapping.map(fd.get())) {
            fd.release();
            return finish_mapped_document(std::move(mapping), document, interruption);
        }
    }
    HeapArray<char> raw;
    bool valid_utf8 = false;
    QV_TRY(read_whole(fd.get(), info, raw, valid_utf8, interruption));
    if (has_gz_extension(path)) {
        HeapArray<char> inflated;
        QV_TRY(inflate_gzip(std::string_view(raw.data(), raw.size()), inflated, valid_utf8));
        raw = std::move(inflated);
    }
    return finish_document(std::move(raw), document, valid_utf8);
}

Status load_document_from_bytes(std::string_view bytes, bool gzip, Document& document) {
    HeapArray<char> raw;
    bool valid_utf8 = false;
    if (gzip) {
        QV_TRY(inflate_gzip(bytes, raw, valid_utf8));
    } else {
        raw.reserve_large_in_own_mapping(bytes.size() + 1);
        raw.append(bytes.data(), bytes.size());
    }
    return finish_document(std::move(raw), document, valid_utf8);
}

}  // namespace quorvel
