// The built-in General MIDI bank: a preset for every program of bank 0 and
// a drum kit (bank 128, program 0), made from the engine's oscillators and
// noise when first asked for, so that a song renders with nothing
// installed and builds only the presets it plays, and of their pitched
// zones only those its keys reach. Their frames are made once a process
// for each rate and shared by every bank of that rate.
#pragma once

#include <cstdint>
#include <memory>

#include "synth/bank.hpp"

namespace ostina::synth {

class BuiltinBank : public PresetSource {
public:
    // Samples are made for output at `rate` (frames per second).
    explicit BuiltinBank(std::uint32_t rate);
    ~BuiltinBank() override;

    bool has(std::uint16_t bank, std::uint8_t program) override;
    void voices(std::uint16_t bank, std::uint8_t program, std::uint8_t key, std::uint8_t velocity,
                std::vector<VoicePlan>& plans) override;

    // How many presets have been built so far.
    std::size_t built() const;

    // Every preset at once in one bank (the kit as one preset of all its
    // notes), as a soundfont holds them: for writing the bank out.
    std::shared_ptr<Bank> whole_bank();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ostina::synth
