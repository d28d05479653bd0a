// Storage of a long event sequence, counted by the allocator: whatever the
// order of insertion, its events and their chunk index take at most 36 bytes
// an event.
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "check.hpp"
#include "sequencer.hpp"

using ostina::sequencer::EventSequence;
using ostina::sequencer::NoteEvent;

namespace {

// Bytes the C library holds for live allocations, its rounding included.
std::size_t live_bytes = 0;

constexpr std::size_t kEvents = 1000000;
constexpr double kMostBytesPerEvent = 36.0;

std::vector<double> quarter_beats() {
    std::vector<double> beats(kEvents);
    for (std::size_t index = 0; index < kEvents; ++index) beats[index] = 0.25 * static_cast<double>(index);
    return beats;
}

double bytes_per_event(const std::vector<double>& beats) {
    const std::size_t before = live_bytes;
    EventSequence sequence;
    for (double beat : beats) sequence.add_event(NoteEvent::make(beat, 0.5, 60, 100));
    CHECK_EQ(sequence.size(), beats.size());
    return static_cast<double>(live_bytes - before) / static_cast<double>(beats.size());
}

void check_storage(const char* order, const std::vector<double>& beats) {
    const double bytes = bytes_per_event(beats);
    std::printf("%s: %.2f bytes per event\n", order, bytes);
    CHECK(bytes <= kMostBytesPerEvent);
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    live_bytes += malloc_usable_size(block);
    return block;
}

void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    live_bytes -= malloc_usable_size(block);
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

int main() {
    std::vector<double> beats = quarter_beats();
    check_storage("ascending", beats);
    std::reverse(beats.begin(), beats.end());
    check_storage("descending", beats);
    std::shuffle(beats.begin(), beats.end(), std::mt19937_64(1));
    check_storage("random order", beats);
    for (double& beat : beats) beat = std::floor(beat / 1000.0);  // long runs of equal beats
    check_storage("equal beats", beats);
    return check::finish();
}
