// A mapped file cut under the reader: the reader lives on, sees zeros past
// the cut, and is told the file changed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bus_guard.hpp"
#include "file_mapping.hpp"
#include "load.hpp"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

fs::path write_file(const std::string& name, std::size_t size) {
    const fs::path path = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return path;
}

// The descriptor of `path` mapped into `mapping`, or -1 where no read lease
// can be had (a file system without leases).
int open_and_map(const fs::path& path, FileMapping& mapping) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && !mapping.map(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(FileMapping, ACutUnderTheMappingIsSurvivedAndTold) {
    const std::size_t size = std::size_t{4} << 20;
    const fs::path path = write_file("cut-mapping", size);
    FileMapping mapping;
    const int fd = open_and_map(path, mapping);
    if (fd < 0) {
        fs::remove(path);
        GTEST_SKIP() << "no read lease";
    }
    EXPECT_TRUE(mapping.intact());
    EXPECT_EQ(mapping.data()[size - 1], 'x');
    // Let the lease go, as its break time running out does, and cut the file.
    ASSERT_EQ(::fcntl(fd, F_SETLEASE, F_UNLCK), 0);
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    EXPECT_EQ(mapping.data()[0], 'x');
    EXPECT_EQ(mapping.data()[size - 1], '\0');  // SIGBUS without the guard
    EXPECT_EQ(mapping.data()[size / 2], '\0');
    EXPECT_FALSE(mapping.intact());
    fs::remove(path);
}

TEST(FileMapping, AChangeOfTheSameSizeIsTold) {
    const std::size_t size = std::size_t{2} << 20;
    const fs::path path = write_file("rewritten-mapping", size);
    FileMapping mapping;
    const int fd = open_and_map(path, mapping);
    if (fd < 0) {
        fs::remove(path);
        GTEST_SKIP() << "no read lease";
    }
    ASSERT_EQ(::fcntl(fd, F_SETLEASE, F_UNLCK), 0);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(100);
        file << 'y';
    }
    EXPECT_FALSE(mapping.intact());
    fs::remove(path);
}

TEST(BusGuard, OtherFaultsStillEndTheProcess) {
    // A SIGBUS outside every guarded range meets the action it had before
    // the guard: the default, which ends the process (or the sanitizer's,
    // which reports and exits), never the guard's zero pages.
    const std::size_t size = std::size_t{2} << 20;
    const fs::path path = write_file("unguarded-mapping", size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FileMapping guarded;
    const bool mapped = guarded.map(fd);
    EXPECT_EXIT(
        {
            const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            void* at = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, other, 0);
            if (mapped) {
                ::fcntl(fd, F_SETLEASE, F_UNLCK);
            }
            if (::ftruncate(::open(path.c_str(), O_WRONLY), 0) != 0) {
                std::_Exit(3);
            }
            std::printf("%d", static_cast<volatile const char*>(at)[size - 1]);
            std::_Exit(0);
        },
        [](int status) { return WIFSIGNALED(status) ? WTERMSIG(status) == SIGBUS : WEXITSTATUS(status) == 1; },
        "");
    fs::remove(path);
}

}  // namespace
}  // namespace quorvel
