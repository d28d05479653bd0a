// A million events take at most 36 bytes each, as the C library counts the
// blocks it holds, whatever the order they are added in.
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "check.hpp"
#include "sequencer.hpp"

using ostina::sequencer::EventSequence;
using ostina::sequencer::NoteEvent;

namespace {

std::size_t live_bytes = 0;

bool fits_36_bytes_an_event(const std::vector<double>& beats) {
    const std::size_t before = live_bytes;
    EventSequence sequence;
    for (double beat : beats) sequence.add_event(NoteEvent::make(beat, 0.5, 60, 100));
    return sequence.size() == beats.size() && live_bytes - before <= 36 * beats.size();
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    live_bytes += malloc_usable_size(block);
    return block;
}

void operator delete(void* block) noexcept {
    if (block != nullptr) live_bytes -= malloc_usable_size(block);
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

int main() {
    std::vector<double> beats(1000000);
    for (std::size_t index = 0; index < beats.size(); ++index) beats[index] = 0.25 * static_cast<double>(index);
    CHECK(fits_36_bytes_an_event(beats));
    std::shuffle(beats.begin(), beats.end(), std::mt19937_64(1));
    CHECK(fits_36_bytes_an_event(beats));
    for (double& beat : beats) beat = std::floor(beat / 1000.0);  // long runs of equal beats
    CHECK(fits_36_bytes_an_event(beats));
    return check::finish();
}
