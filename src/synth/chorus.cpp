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
constexpr double kFixedOne = 4294967296.0;       // 2^32: read positions are 32.32 fixed point
constexpr float kFraction = 1.0f / 16777216.0f;  // 2^-24
constexpr std::array<float, kChunk> kSilence{};
constexpr std::uint64_t kNoChunk = UINT64_MAX;  // no delays settled yet

std::uint32_t power_of_two_above(double frames) {
    std::uint32_t size = 1;
    while (size < frames) size <<= 1;
    return size;
}

}  // namespace

Chorus::Chorus(const ChorusSettings& settings, std::uint32_t rate, std::uint32_t chunk_frames)
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
                           static_cast<float>(std::sin(angle)), kNoChunk, 0, 0});
    }
    // The oldest frame read lies the longest delay and one frame before the
    // last written, a chunk after the first.
    line_.assign(power_of_two_above(shortest_ + sweep_ + 2 + kChunk), 0.0f);
    mask_ = static_cast<std::uint32_t>(line_.size() - 1);
    periods_.reserve(chunk_frames);  // a frame a period at most
    outcomes_.reserve(chunk_frames);
    for (std::vector<float>& sums : sums_) sums.resize(chunk_frames);
}

// The delay, in 32.32 fixed point frames, at a frame that starts a chunk
// of the synthesizer's frames.
std::int64_t Chorus::delay_at(const Copy& copy, std::uint64_t frame) const {
    double cycles = std::fmod(static_cast<double>(frame) * cycles_per_frame_ + copy.phase, 1.0);
    double frames = shortest_ + sweep_ * 0.5 * (1.0 + std::sin(2.0 * kPi * cycles));
    return std::llround(frames * kFixedOne);
}

// The copy's delays at the ends of the chunk `frame` lies in, the last
// chunk's end reused as this one's start.
void Chorus::settle(Copy& copy, std::uint64_t frame) const {
    std::uint64_t chunk = frame / kChunk;
    if (chunk == copy.chunk) return;
    bool next = copy.chunk != kNoChunk && chunk == copy.chunk + 1;
    copy.start = next ? copy.end : delay_at(copy, chunk * kChunk);
    copy.end = delay_at(copy, (chunk + 1) * kChunk);
    copy.chunk = chunk;
}

void Chorus::write(const float* send, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) line_[(at_ + i) & mask_] = send[i];
}

// A copy's delay moves in a straight line across each chunk of 64 frames,
// counted from the synthesizer's first: over 64 frames a sine of a few
// hertz is a line to within rounding, and one sine a chunk costs little.
// The read position, the frame written less the delay, then steps by a
// fixed increment, in integers; between two frames of the line the copy is
// read by linear interpolation, the fraction to 24 bits, which a float
// holds exactly.
Chorus::Read Chorus::read_for(Copy& copy, std::uint64_t frame) const {
    settle(copy, frame);
    std::int64_t step = (copy.end - copy.start) / static_cast<std::int64_t>(kChunk);
    std::int64_t first = copy.start + step * static_cast<std::int64_t>(frame % kChunk);
    // The line's length added keeps the position above 0; the mask takes it off again.
    std::uint64_t position = (static_cast<std::uint64_t>(at_ + line_.size()) << 32) - static_cast<std::uint64_t>(first);
    std::uint64_t increment = (std::uint64_t{1} << 32) - static_cast<std::uint64_t>(step);
    return {position, increment, copy.left * gain_, copy.right * gain_};
}

// Copy by copy over the chunk, into sums that start from silence and so
// hold each frame's copies in their order before the sides are touched.
void Chorus::sum_copies(std::uint64_t frame, float* sum_left, float* sum_right, std::uint32_t frames) {
    std::fill_n(sum_left, frames, 0.0f);
    std::fill_n(sum_right, frames, 0.0f);
    const float* line = line_.data();
    for (Copy& copy : copies_) {
        const Read read = read_for(copy, frame);
        std::uint64_t position = read.position;
        for (std::uint32_t i = 0; i < frames; ++i, position += read.increment) {
            auto older = static_cast<std::uint32_t>(position >> 32) & mask_;
            float fraction = static_cast<float>(static_cast<std::uint32_t>(position) >> 8) * kFraction;
            float sample = line[older] * (1.0f - fraction) + line[(older + 1) & mask_] * fraction;
            sum_left[i] += sample * read.to_left;
            sum_right[i] += sample * read.to_right;
        }
    }
}

void Chorus::begin(const float* send, std::span<const FedPeriod> periods, std::uint64_t frame) {
    send_ = send;
    frame_ = frame;
    plan_periods(send, periods, periods_);
    // What a chunk that needs no `run` leaves: no period played, the unit as it was.
    outcomes_.assign(periods_.size(), {false, !resting_});
    const std::uint32_t frames = periods_.empty() ? 0 : periods_.back().at + periods_.back().frames;
    for (std::vector<float>& sums : sums_)
        if (sums.size() < frames) sums.resize(frames);
}

bool Chorus::plays() const {
    auto fed = [](const PlannedPeriod& period) { return period.fed; };
    return !copies_.empty() && (!resting_ || std::any_of(periods_.begin(), periods_.end(), fed));
}

void Chorus::run() {
    for (std::size_t index = 0; index < periods_.size(); ++index) {
        const bool played = play_period(periods_[index]);
        outcomes_[index] = {played, !resting_};
    }
}

// A period played as it comes: its frames written to the line and its
// copies summed, unless the unit rests through it.
bool Chorus::play_period(const PlannedPeriod& period) {
    if (copies_.empty() || (!period.fed && resting_)) return false;
    resting_ = false;
    for (std::uint32_t done = 0; done < period.frames;) {
        const std::uint32_t at = period.at + done;
        const std::uint64_t frame = frame_ + at;
        auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(period.frames - done, kChunk - frame % kChunk));
        write(period.fed ? send_ + at : kSilence.data(), count);
        sum_copies(frame, sums_[0].data() + at, sums_[1].data() + at, count);
        at_ = (at_ + count) & mask_;
        silent_ = period.fed ? 0 : silent_ + count;
        done += count;
    }
    // A line's length of silent frames written: it holds only zeros.
    if (silent_ >= line_.size()) {
        resting_ = true;
        silent_ = 0;
    }
    return true;
}

void Chorus::add(std::size_t index, float* left, float* right) const {
    if (!outcomes_[index].played) return;
    const PlannedPeriod& period = periods_[index];
    const float* sum_left = sums_[0].data() + period.at;
    const float* sum_right = sums_[1].data() + period.at;
    for (std::uint32_t i = 0; i < period.frames; ++i) {
        left[i] += sum_left[i];
        right[i] += sum_right[i];
    }
}

}  // namespace ostina::synth
