// The volume and modulation envelopes: delay, attack, hold, decay, sustain
// and release, counted in frames.
//
// Both ramp linearly to 1 in the attack, from 1 / attack on its first frame. Decay and release move by a
// "fall" from 0 (peak) to 1 (nothing) at one full fall per decay or release
// time, as SoundFont 2.04 times them: the decay stops at the sustain's
// fall, the release runs from wherever it begins. The volume envelope's
// level is 10^(-5 * fall), so its fall is linear in decibels and a full
// fall is 100 dB; the modulation envelope's level is 1 - fall.
#pragma once

#include <cstdint>

namespace ostina::synth {

struct EnvelopeSettings {
    std::uint32_t delay = 0, attack = 0, hold = 0;  // frames
    double decay = 1.0, release = 1.0;              // frames for one full fall, at least 1
    double sustain_fall = 0.0;                      // 0 (sustain at peak) to 1 (silent)
};

class Envelope {
public:
    enum class Stage : std::uint8_t { delay, attack, hold, decay, sustain, release, finished };
    enum class Scale : std::uint8_t { decibels, linear };

    Envelope() = default;
    Envelope(const EnvelopeSettings& settings, Scale scale);

    Stage stage() const { return stage_; }
    bool finished() const { return stage_ == Stage::finished; }
    double level() const { return level_; }

    // Frames until the stage ends; a sustain lasts until a release.
    std::uint64_t frames_left() const;
    // How the level moves from frame to frame in this stage: by `step`
    // (the attack) or by the factor `ratio` (the others; 1 while it holds).
    bool adds() const { return stage_ == Stage::attack; }
    double step() const;
    double ratio() const;

    // Moves `frames` frames on, through the stages they reach.
    void advance(std::uint64_t frames);
    void release();
    // A release of `frames` for one full fall at most: a note cut short.
    void hurry(double frames);
    void finish();

private:
    void enter(Stage stage);
    double level_of_fall(double fall) const;
    double fall_of_level(double level) const;
    void settle();

    EnvelopeSettings settings_;
    Scale scale_ = Scale::decibels;
    Stage stage_ = Stage::finished;
    std::uint64_t elapsed_ = 0;   // frames in this stage
    std::uint64_t length_ = 0;    // the stage's frames (decay: until the sustain)
    double fall_start_ = 0.0;     // the fall when a decay or release began
    double level_ = 0.0;
    double ratio_ = 1.0;          // a frame's factor in a fall linear in decibels
    std::uint64_t factor_frames_ = 0;
    double factor_ = 1.0;         // ratio_ to the power factor_frames_
};

}  // namespace ostina::synth
