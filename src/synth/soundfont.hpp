// A SoundFont 2.04 file read into a bank: its presets, instruments, zones,
// generators, modulators and samples, as the format defines them. Sample
// frames stay in the file's bytes (a mapped file costs memory only for what
// plays); the compressed samples of an SF3 file are decoded by the bank's
// decoder when a note first plays them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "synth/bank.hpp"

namespace ostina::synth {

struct SoundFont {
    std::shared_ptr<Bank> bank;
    std::string name;                   // the file's own name for itself
    std::uint16_t major = 2, minor = 1;  // the format's version
    std::vector<std::string> notices;   // what did not stop it from playing
};

// Reads `file`, whose bytes `owner` keeps alive. Damage, or a file that is
// not a soundfont, raises ValueError with the reason in one line; the reader
// never reads past the bytes that remain.
SoundFont read_soundfont(std::span<const std::byte> file, std::shared_ptr<const void> owner);

}  // namespace ostina::synth
