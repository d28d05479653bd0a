#include "synth/reverb.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"

namespace ostina::synth {
namespace {

// Delays at 44.1 kHz, scaled to the rate: the combs' lengths are primes
// from 25 to 35 ms, so that their echoes seldom coincide; the allpasses'
// fall from 14 to 6 ms.
constexpr double kTunedRate = 44100.0;
constexpr std::array<std::uint32_t, 8> kCombFrames = {1123, 1181, 1249, 1307, 1373, 1433, 1499, 1559};
constexpr std::array<std::uint32_t, 4> kAllpassFrames = {601, 479, 367, 251};
constexpr std::uint32_t kSpreadFrames = 31;  // the right side's delays are this much longer: 0.7 ms
constexpr float kAllpassGain = 0.6f;
constexpr double kShortestDecay = 0.65, kLongestDecay = 11.0;  // seconds to -60 dB at room sizes 0 and 1
constexpr double kMostDamping = 0.45;  // the feedback low-pass's pole at damping 1
// The wet output per unit of send and level: the reverberation of a steady
// note at full send and the default level stands about 15 dB below the note.
constexpr double kWetScale = 0.143;
constexpr float kQuiet = 1e-9f;       // -180 dBFS: far below the last bit of 24-bit output
constexpr std::uint32_t kChunk = 64;  // frames judged quiet or not at a time

std::uint32_t scaled(std::uint32_t frames, std::uint32_t rate) {
    return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(frames * (rate / kTunedRate))));
}

float peak_of(const float* left, const float* right, std::uint32_t frames) {
    float peak = 0.0f;
    for (std::uint32_t i = 0; i < frames; ++i) peak = std::max(peak, std::max(std::fabs(left[i]), std::fabs(right[i])));
    return peak;
}

// A comb's echoes come every `length` frames and fall by its feedback each
// time: 60 dB in `decay` seconds is a feedback of 10^(-3 length / (decay rate)).
double feedback_for(std::uint32_t length, double decay, std::uint32_t rate) {
    return std::pow(10.0, -3.0 * length / (decay * rate));
}

}  // namespace

Reverb::Comb::Comb(std::uint32_t length, double feedback, double damping)
    : line_(length, 0.0f),
      feedback_(static_cast<float>(feedback)),
      damping_(static_cast<float>(damping)),
      undamped_(static_cast<float>(1.0 - damping)) {}

// Each frame reads the echo `length` frames old before it writes its own
// place: within a run up to the line's end no frame reads another's write,
// so the undamped loop has no chain from frame to frame.
template <bool Damped>
void Reverb::Comb::run(const float* in, float* out, std::uint32_t frames) {
    const auto length = static_cast<std::uint32_t>(line_.size());
    for (std::uint32_t done = 0; done < frames;) {
        std::uint32_t count = std::min(frames - done, length - at_);
        float* line = line_.data() + at_;
        const float* x = in + done;
        float* y = out + done;
        if constexpr (Damped) {
            float store = store_;
            for (std::uint32_t i = 0; i < count; ++i) {
                float echo = line[i];
                store = echo * undamped_ + store * damping_;
                line[i] = x[i] + store * feedback_;
                y[i] += echo;
            }
            store_ = store;
        } else {
            for (std::uint32_t i = 0; i < count; ++i) {
                float echo = line[i];
                line[i] = x[i] + echo * feedback_;
                y[i] += echo;
            }
        }
        at_ = at_ + count == length ? 0 : at_ + count;
        done += count;
    }
}

void Reverb::Comb::clear() {
    std::fill(line_.begin(), line_.end(), 0.0f);
    store_ = 0.0f;
    at_ = 0;
}

Reverb::Allpass::Allpass(std::uint32_t length) : line_(length, 0.0f) {}

// w[n] = x[n] + g w[n - length], y[n] = w[n - length] - g w[n]: every
// frequency passes at its own gain, its phase smeared.
void Reverb::Allpass::run(float* samples, std::uint32_t frames) {
    const auto length = static_cast<std::uint32_t>(line_.size());
    for (std::uint32_t done = 0; done < frames;) {
        std::uint32_t count = std::min(frames - done, length - at_);
        float* line = line_.data() + at_;
        float* x = samples + done;
        for (std::uint32_t i = 0; i < count; ++i) {
            float echo = line[i];
            float w = x[i] + echo * kAllpassGain;
            x[i] = echo - w * kAllpassGain;
            line[i] = w;
        }
        at_ = at_ + count == length ? 0 : at_ + count;
        done += count;
    }
}

void Reverb::Allpass::clear() {
    std::fill(line_.begin(), line_.end(), 0.0f);
    at_ = 0;
}

Reverb::Reverb(const ReverbSettings& settings, std::uint32_t rate, double judged_scale, std::uint32_t chunk_frames)
    : damped_(settings.damping > 0.0), judged_scale_(judged_scale) {
    for (double value : {settings.room_size, settings.damping, settings.width, settings.level})
        if (!(value >= 0.0 && value <= 1.0)) throw ValueError("a reverb setting outside 0-1");
    double decay = kShortestDecay * std::pow(kLongestDecay / kShortestDecay, settings.room_size);
    double damping = settings.damping * kMostDamping;
    for (std::uint32_t side = 0; side < kSides; ++side) {
        std::uint32_t spread = side * kSpreadFrames;
        for (std::uint32_t frames : kCombFrames) {
            std::uint32_t length = scaled(frames + spread, rate);
            sides_[side].combs.emplace_back(length, feedback_for(length, decay, rate), damping);
        }
        for (std::uint32_t frames : kAllpassFrames) sides_[side].allpasses.emplace_back(scaled(frames + spread, rate));
    }
    longest_ = scaled(kCombFrames.back() + kSpreadFrames, rate) + kChunk;
    for (std::uint32_t frames : kAllpassFrames) longest_ += scaled(frames + kSpreadFrames, rate);
    double wet = settings.level * kWetScale;
    direct_ = static_cast<float>(wet * (1.0 + settings.width) / 2.0);
    across_ = static_cast<float>(wet * (1.0 - settings.width) / 2.0);
    periods_.reserve(chunk_frames);  // a frame a period at most
    for (std::vector<float>& wet_side : wet_) wet_side.resize(chunk_frames);
}

template <bool Damped>
void Reverb::reverberate(Side& side, const float* send, float* out, std::uint32_t frames) {
    std::fill(out, out + frames, 0.0f);
    for (Comb& comb : side.combs) comb.run<Damped>(send, out, frames);
    for (Allpass& allpass : side.allpasses) allpass.run(out, frames);
}

void Reverb::begin(const float* send, std::span<const FedPeriod> periods) {
    send_ = send;
    plan_periods(send, periods, periods_);
    const std::uint32_t frames = periods_.empty() ? 0 : periods_.back().at + periods_.back().frames;
    for (std::vector<float>& wet : wet_)
        if (wet.size() < frames) wet.resize(frames);
    first_played_ = first_playing(0);
}

// The first period from `from` on that the unit plays: the first whose send
// sounds while it rests, else `from` itself.
std::size_t Reverb::first_playing(std::size_t from) const {
    if (resting_)
        while (from < periods_.size() && !periods_[from].fed) ++from;
    return from;
}

void Reverb::run_side(std::size_t side) { play_side(side, first_played_); }

// Once awake the unit plays every period to the chunk's end (only `add`
// may put it to rest), so a side plays them in one run: a comb's or an
// allpass's frames are the same however their run is cut. An unfed
// period's send is read as it is, +0.
void Reverb::play_side(std::size_t side, std::size_t first) {
    if (first >= periods_.size()) return;
    const std::uint32_t at = periods_[first].at;
    const std::uint32_t frames = periods_.back().at + periods_.back().frames - at;
    float* out = wet_[side].data() + at;
    if (damped_) reverberate<true>(sides_[side], send_ + at, out, frames);
    else reverberate<false>(sides_[side], send_ + at, out, frames);
}

void Reverb::add(std::size_t index, float* left, float* right) {
    const PlannedPeriod& period = periods_[index];
    if (!period.fed && resting_) return;
    resting_ = false;
    const float* wet_left = wet_[0].data() + period.at;
    const float* wet_right = wet_[1].data() + period.at;
    for (std::uint32_t done = 0; done < period.frames;) {
        std::uint32_t count = std::min(period.frames - done, kChunk);
        for (std::uint32_t i = done; i < done + count; ++i) {
            left[i] += wet_left[i] * direct_ + wet_right[i] * across_;
            right[i] += wet_right[i] * direct_ + wet_left[i] * across_;
        }
        // Quiet by a bound of the mix: no output frame exceeds the sides'
        // peak times the two wet gains' sum.
        bool quiet = !period.fed && (direct_ + across_) * peak_of(wet_left + done, wet_right + done, count) * judged_scale_ < kQuiet;
        quiet_ = quiet ? quiet_ + count : 0;
        done += count;
    }
    if (quiet_ < longest_) return;
    rest();
    // The sides played on from the state the rest has cleared: they play
    // the chunk's later periods again, from silence.
    for (std::size_t side = 0; side < kSides; ++side) play_side(side, first_playing(index + 1));
}

void Reverb::rest() {
    for (Side& side : sides_) {
        for (Comb& comb : side.combs) comb.clear();
        for (Allpass& allpass : side.allpasses) allpass.clear();
    }
    quiet_ = 0;
    resting_ = true;
}

}  // namespace ostina::synth
