#include "synth/chorus.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "errors.hpp"

namespace ostina::synth {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kShortestSeconds = 0.005;  // the least delay: shorter ones colour the sound as a comb would
// The copies' gain per unit of level: at full send and the default level a
// steady note's copies sum to about its own loudness.
constexpr double kCopyScale = 2.0;
constexpr std::uint32_t kChunk = 64;  // frames written before they are read back
constexpr std::array<float, kChunk> kSilence{};

bool sounds(const float* samples, std::uint32_t frames) {
    return std::any_of(samples, samples + frames, [](float sample) { return sample != 0.0f; });
}

std::uint32_t power_of_two_above(double frames) {
    std::uint32_t size = 1;
    while (size < frames) size <<= 1;
    return size;
}

}  // namespace

Chorus::Chorus(const ChorusSettings& settings, std::uint32_t rate)
    : cycles_per_frame_(settings.speed / rate),
      shortest_(kShortestSeconds * rate),
      sweep_(settings.depth_ms / 1000.0 * rate),
      gain_(static_cast<float>(settings.level * kCopyScale)) {
    bool valid = settings.voices <= 99 && settings.level >= 0.0 && settings.level <= 10.0 && settings.speed >= 0.1 &&
                 settings.speed <= 5.0 && settings.depth_ms >= 0.0 && settings.depth_ms <= 256.0;
    if (!valid) throw ValueError("a chorus setting outside its range");
    for (std::uint32_t index = 0; index < settings.voices; ++index) {
        double place = settings.voices > 1 ? static_cast<double>(index) / (settings.voices - 1) : 0.5;  // 0 left, 1 right
        double angle = place * (kPi / 2);
        copies_.push_back({static_cast<double>(index) / settings.voices, static_cast<float>(std::cos(angle)),
                           static_cast<float>(std::sin(angle))});
    }
    // The oldest frame read lies the longest delay and one frame before the
    // last written, a chunk after the first.
    line_.assign(power_of_two_above(shortest_ + sweep_ + 2 + kChunk), 0.0f);
    mask_ = static_cast<std::uint32_t>(line_.size() - 1);
}

double Chorus::delay_at(const Copy& copy, std::uint64_t frame) const {
    double cycles = std::fmod(static_cast<double>(frame) * cycles_per_frame_ + copy.phase, 1.0);
    return shortest_ + sweep_ * 0.5 * (1.0 + std::sin(2.0 * kPi * cycles));
}

void Chorus::write(const float* send, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) line_[(at_ + i) & mask_] = send[i];
}

// A copy's delay moves in a straight line from the chunk's first frame to
// the next chunk's: over 64 frames a sine of a few hertz is a line to
// within rounding, and one sine a chunk costs little. Between two frames of
// the line the copy is read by linear interpolation.
void Chorus::add_copy(const Copy& copy, std::uint64_t frame, float* left, float* right, std::uint32_t frames) const {
    double first = delay_at(copy, frame), step = (delay_at(copy, frame + frames) - first) / frames;
    float to_left = copy.left * gain_, to_right = copy.right * gain_;
    for (std::uint32_t i = 0; i < frames; ++i) {
        double delay = first + step * i;
        auto whole = static_cast<std::uint32_t>(delay);
        auto fraction = static_cast<float>(delay - whole);
        std::uint32_t newer = (at_ + i - whole) & mask_;
        float sample = line_[newer] * (1.0f - fraction) + line_[(newer - 1) & mask_] * fraction;
        left[i] += sample * to_left;
        right[i] += sample * to_right;
    }
}

void Chorus::process(const float* send, bool fed, std::uint64_t frame, float* left, float* right,
                     std::uint32_t frames) {
    if (copies_.empty()) return;
    fed = fed && sounds(send, frames);
    if (!fed && resting_) return;
    resting_ = false;
    for (std::uint32_t done = 0; done < frames;) {
        std::uint32_t count = std::min(frames - done, kChunk);
        write(fed ? send + done : kSilence.data(), count);
        for (const Copy& copy : copies_) add_copy(copy, frame + done, left + done, right + done, count);
        at_ = (at_ + count) & mask_;
        silent_ = fed ? 0 : silent_ + count;
        done += count;
    }
    // A line's length of silent frames written: it holds only zeros.
    if (silent_ >= line_.size()) {
        resting_ = true;
        silent_ = 0;
    }
}

}  // namespace ostina::synth
