#include "synth/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errors.hpp"

namespace ostina::synth {
namespace {

[[noreturn]] void fail(int error) { throw RuntimeError(std::strerror(error)); }

// Closes the descriptor on every path; a mapping outlives it.
struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

}  // namespace

std::shared_ptr<const MappedFile> MappedFile::open(const std::string& path) {
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) fail(errno);
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) fail(errno);
    if (S_ISDIR(status.st_mode)) fail(EISDIR);
    auto size = static_cast<std::size_t>(status.st_size);
    if (size == 0) return std::shared_ptr<const MappedFile>(new MappedFile(nullptr, 0));
    void* start = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (start == MAP_FAILED) fail(errno);
    return std::shared_ptr<const MappedFile>(new MappedFile(static_cast<const std::byte*>(start), size));
}

MappedFile::~MappedFile() {
    if (size_ > 0) ::munmap(const_cast<std::byte*>(start_), size_);
}

}  // namespace ostina::synth
