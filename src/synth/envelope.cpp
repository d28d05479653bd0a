#include "synth/envelope.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ostina::synth {
namespace {

constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
constexpr double kDecibelsPerFall = 5.0;  // a full fall is 100 dB: 10^(-5)
constexpr double kLn10 = 2.302585092994046;

// Frames that a fall from `from` to `to` takes at one full fall per `frames`.
std::uint64_t frames_of_fall(double from, double to, double frames) {
    double count = std::ceil((to - from) * frames);
    return count > 0 ? static_cast<std::uint64_t>(std::min(count, 1e18)) : 0;
}

}  // namespace

Envelope::Envelope(const EnvelopeSettings& settings, Scale scale) : settings_(settings), scale_(scale) {
    settings_.decay = std::max(settings_.decay, 1.0);
    settings_.release = std::max(settings_.release, 1.0);
    settings_.sustain_fall = std::clamp(settings_.sustain_fall, 0.0, 1.0);
    enter(Stage::delay);
}

double Envelope::level_of_fall(double fall) const {
    if (fall >= 1.0) return 0.0;
    return scale_ == Scale::decibels ? std::exp(-kDecibelsPerFall * kLn10 * fall) : 1.0 - fall;
}

double Envelope::fall_of_level(double level) const {
    if (level <= 0.0) return 1.0;
    return scale_ == Scale::decibels ? -std::log10(level) / kDecibelsPerFall : 1.0 - level;
}

void Envelope::enter(Stage stage) {
    stage_ = stage;
    elapsed_ = 0;
    // The factor a frame of a fall that is linear in decibels multiplies by.
    double falls = stage == Stage::decay ? settings_.decay : stage == Stage::release ? settings_.release : 0.0;
    ratio_ = scale_ == Scale::decibels && falls > 0.0 ? std::exp(-kDecibelsPerFall * kLn10 / falls) : 1.0;
    factor_frames_ = 0;
    switch (stage) {
        case Stage::delay: length_ = settings_.delay; break;
        case Stage::attack: length_ = settings_.attack; break;
        case Stage::hold: length_ = settings_.hold; break;
        case Stage::decay:
            fall_start_ = 0.0;
            length_ = frames_of_fall(0.0, settings_.sustain_fall, settings_.decay);
            break;
        case Stage::release: length_ = frames_of_fall(fall_start_, 1.0, settings_.release); break;
        case Stage::sustain:
        case Stage::finished: length_ = kForever; break;
    }
    settle();
}

// Computes the level at `elapsed_` and moves on through stages of no length.
void Envelope::settle() {
    while (elapsed_ >= length_ && stage_ != Stage::sustain && stage_ != Stage::finished) {
        switch (stage_) {
            case Stage::delay: enter(Stage::attack); return;
            case Stage::attack: enter(Stage::hold); return;
            case Stage::hold: enter(Stage::decay); return;
            case Stage::decay:
                // A held note whose volume has fallen 100 dB has ended.
                enter(scale_ == Scale::decibels && settings_.sustain_fall >= 1.0 ? Stage::finished : Stage::sustain);
                return;
            default: enter(Stage::finished); return;
        }
    }
    switch (stage_) {
        case Stage::delay: level_ = 0.0; break;
        // A note sounds from its first frame: the attack's last frame is at the peak.
        case Stage::attack: level_ = static_cast<double>(elapsed_ + 1) / static_cast<double>(length_); break;
        case Stage::hold: level_ = 1.0; break;
        case Stage::decay: level_ = level_of_fall(static_cast<double>(elapsed_) / settings_.decay); break;
        case Stage::sustain: level_ = level_of_fall(settings_.sustain_fall); break;
        case Stage::release:
            level_ = level_of_fall(fall_start_ + static_cast<double>(elapsed_) / settings_.release);
            break;
        case Stage::finished: level_ = 0.0; break;
    }
}

std::uint64_t Envelope::frames_left() const { return length_ == kForever ? kForever : length_ - elapsed_; }

double Envelope::step() const { return stage_ == Stage::attack ? 1.0 / static_cast<double>(length_) : 0.0; }

double Envelope::ratio() const { return ratio_; }

void Envelope::advance(std::uint64_t frames) {
    while (frames > 0 && stage_ != Stage::finished) {  // through as many stages as the frames reach
        std::uint64_t moved = length_ == kForever ? frames : std::min(length_ - elapsed_, frames);
        elapsed_ += moved;
        frames -= moved;
        if (stage_ == Stage::sustain) return;  // the level holds
        if (elapsed_ < length_ && ratio_ != 1.0) {
            // Within a fall that is linear in decibels: the level times the
            // span's factor, kept for the next span of the same length (most
            // are a control period), instead of a call to the math library.
            if (moved != factor_frames_) {
                factor_frames_ = moved;
                factor_ = std::pow(ratio_, static_cast<double>(moved));
            }
            level_ *= factor_;
            return;
        }
        settle();
    }
}

void Envelope::release() {
    if (stage_ == Stage::release || stage_ == Stage::finished) return;
    fall_start_ = fall_of_level(level_);
    enter(Stage::release);
}

void Envelope::hurry(double frames) {
    if (stage_ == Stage::finished) return;
    double fall = fall_of_level(level_);
    settings_.release = std::max(1.0, std::min(settings_.release, frames));
    fall_start_ = fall;
    enter(Stage::release);
}

void Envelope::finish() { enter(Stage::finished); }

}  // namespace ostina::synth
