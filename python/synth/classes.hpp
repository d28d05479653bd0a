// The one list of the classes the synthesizer core's module exposes: it
// declares each class's Bound specialisation here and is the exec step's
// registration table in module.cpp.
#pragma once

#include <memory>

#include "frame.hpp"
#include "synth/bank.hpp"
#include "synth/midi_file.hpp"
#include "synth/pcm.hpp"
#include "synth/song.hpp"
#include "synth/synthesizer.hpp"

namespace ostina::py {

// A bank that songs and synthesizers share: the Python object and every
// player made from it hold the same one.
struct SharedBank {
    std::shared_ptr<synth::Bank> bank = std::make_shared<synth::Bank>();
    std::string name;                   // a soundfont's name for itself
    std::vector<std::string> notices;   // what of a soundfont does not play
};

// A song being rendered, with what its output has measured so far.
struct SongPlayer {
    synth::SongRenderer renderer;
    synth::Meter meter;
};

// X(Type, Name) for every class the module registers, in registration order.
#define OSTINA_SYNTH_CLASSES(X)   \
    X(synth::MidiFile, MidiFile)  \
    X(SharedBank, Bank)           \
    X(synth::Synthesizer, Synthesizer) \
    X(SongPlayer, Song)

#define OSTINA_SYNTH_BOUND(Type, Name)                            \
    template <>                                                   \
    struct Bound<Type> {                                          \
        static constexpr bool value = true;                       \
        static constexpr const char* name = #Name;                \
        static constexpr const char* module = "ostina_render._synth"; \
        static const ClassDefinition& definition();               \
    };

OSTINA_SYNTH_CLASSES(OSTINA_SYNTH_BOUND)

#undef OSTINA_SYNTH_BOUND

// Frames of one call: a block, not a whole song.
inline constexpr std::uint32_t kMostFrames = 1u << 24;

inline void check_frames(std::uint32_t frames) {
    if (frames > kMostFrames)
        throw ValueError(std::to_string(frames) + " frames in one call: at most " + std::to_string(kMostFrames));
}

// Floats as the bytes of their 32-bit values.
inline Bytes bytes_of(std::span<const float> samples) {
    const auto* start = reinterpret_cast<const std::byte*>(samples.data());
    return Bytes(start, start + samples.size_bytes());
}

// The library a player plays: the banks' presets in their order, then (unless left
// out) the built-in General MIDI bank made for `rate`.
std::shared_ptr<synth::Library> make_library(const std::vector<SharedBank>& banks, bool builtin, std::uint32_t rate);

}  // namespace ostina::py
