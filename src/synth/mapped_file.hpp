// A file mapped read-only into memory: its pages are read from the file when
// first touched, so a large file costs memory only for the parts used.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace ostina::synth {

class MappedFile {
public:
    // Throws RuntimeError with the system's reason when the file cannot be mapped.
    static std::shared_ptr<const MappedFile> open(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::byte> bytes() const { return {start_, size_}; }

private:
    MappedFile(const std::byte* start, std::size_t size) : start_(start), size_(size) {}
    const std::byte* start_;
    std::size_t size_;
};

}  // namespace ostina::synth
