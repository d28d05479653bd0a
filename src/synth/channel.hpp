// A MIDI channel's state: its controllers and pedals, pitch wheel and
// pressure, the registered parameters (bend range, fine and coarse tuning),
// bank and program, and the notes whose keys are down.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "synth/bank.hpp"
#include "synth/modulator.hpp"
#include "synth/voice.hpp"

namespace ostina::synth {

inline constexpr std::uint8_t kDrumChannel = 9;  // channel 10 as musicians count

// Controller numbers with a meaning of their own.
namespace cc {
inline constexpr std::uint8_t kBankSelect = 0, kDataEntry = 6, kDataEntryFine = 38, kBankSelectFine = 32;
inline constexpr std::uint8_t kVolume = 7, kPan = 10, kExpression = 11;
inline constexpr std::uint8_t kSustain = 64, kSostenuto = 66, kSoft = 67;
inline constexpr std::uint8_t kNrpnFine = 98, kNrpn = 99, kRpnFine = 100, kRpn = 101;
inline constexpr std::uint8_t kAllSoundOff = 120, kResetControllers = 121, kAllNotesOff = 123;
inline constexpr std::uint8_t kOmniOff = 124, kPoly = 127;  // 124-127 also end every note
}  // namespace cc

// What a control change asks of the channel's voices, beyond its new value.
enum class ChannelAction : std::uint8_t {
    modulate,         // the modulators read the new value
    sustain_up,
    sostenuto_down,
    sostenuto_up,
    all_notes_off,
    all_sound_off,
    reset,            // controllers reset: modulate, and the pedals are up
    none,
};

class Channel {
public:
    explicit Channel(bool drums);

    ChannelAction control_change(std::uint8_t number, std::uint8_t value);
    void program_change(std::uint8_t program);
    void pitch_bend(std::uint16_t value) { pitch_wheel_ = value; }
    void channel_pressure(std::uint8_t value) { pressure_ = value; }
    void key_pressure(std::uint8_t key, std::uint8_t value) { key_pressure_[key & 0x7F] = value; }

    // The bank and program that notes play now (bank 128 on the drum channel).
    std::uint16_t bank() const { return drums_ ? kDrumBank : chosen_bank_; }
    std::uint8_t program() const { return program_; }
    PresetChoice& preset() { return preset_; }
    bool preset_known() const { return preset_known_; }
    void know_preset(PresetChoice choice) {
        preset_ = choice;
        preset_known_ = true;
    }

    bool sustain() const { return controllers_[cc::kSustain] >= 64; }
    bool sostenuto() const { return controllers_[cc::kSostenuto] >= 64; }
    bool soft() const { return controllers_[cc::kSoft] >= 64; }

    ControllerState state(std::uint8_t key, std::uint8_t velocity) const;
    ChannelTuning tuning() const;

    // The notes whose keys are down, by key, oldest first: a note-off ends
    // the oldest of its key.
    void hold(std::uint8_t key, std::uint64_t note) { held_[key & 0x7F].push_back(note); }
    std::optional<std::uint64_t> lift(std::uint8_t key);
    // Every held note, key by key; the keys are all up afterwards.
    std::vector<std::uint64_t> lift_all();

private:
    void data_entry();
    void reset_controllers();

    bool drums_;
    std::array<std::uint8_t, 128> controllers_{};
    std::array<std::uint8_t, 128> key_pressure_{};
    std::uint16_t pitch_wheel_ = 8192;
    std::uint8_t pressure_ = 0;
    std::uint8_t program_ = 0;
    std::uint16_t chosen_bank_ = 0;  // the bank select at the last program change
    PresetChoice preset_;
    bool preset_known_ = false;
    // Registered parameters.
    bool rpn_selected_ = false;  // an NRPN or the null parameter deselects
    std::uint16_t bend_cents_ = 200;
    std::int32_t fine_tuning_ = 8192;  // 14 bits, 8192: in tune
    std::int32_t coarse_tuning_ = 64;  // semitones above 64
    std::array<std::deque<std::uint64_t>, 128> held_;
};

}  // namespace ostina::synth
