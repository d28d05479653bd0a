#include "synth/pcm.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "errors.hpp"
#include "format.hpp"

namespace ostina::synth {
namespace {

constexpr std::int32_t kFloatInfinityBits = 0x7F80'0000;
constexpr std::int32_t kFloatOneBits = 0x3F80'0000;
constexpr std::int32_t kMagnitudeBits = 0x7FFF'FFFF;  // all but the sign

// 1.5 * 2^52: added to a double below 2^51 in magnitude, it leaves a sum
// whose last place is 1, so the addition itself rounds to an integer (ties
// to even, the default mode), like std::nearbyint but without a call per
// sample, and the integer stands in the sum's low mantissa bits.
constexpr double kRoundingBias = 6755399441055744.0;

constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kHeaderAfterSize = kWavHeaderBytes - 8;  // what the RIFF size counts besides the data
constexpr std::uint32_t kJunkBytes = 28;                          // ds64's body: three sizes and an empty table
constexpr std::uint32_t kFmtBytes = 16;
constexpr std::uint16_t kPcmTag = 1;
constexpr std::uint32_t kUnknownSize = 0xFFFF'FFFF;  // RF64: the size is in ds64

using Pair = double __attribute__((vector_size(16)));             // two lanes of 64 bits
using PairBits = std::int64_t __attribute__((vector_size(16)));

// Two samples' integers, as the low bits of each lane: scaled by full scale
// (exact in a double: 24 bits times at most 23), clipped there, and rounded
// once, by the bias, whose sum keeps the integer in its low mantissa bits.
// NaN, which every comparison fails, becomes 0. The selects are written on
// vectors so that the compiler keeps them branch-free.
template <int Bits>
PairBits rounded(float first, float second) {
    constexpr double kFullScale = (1 << (Bits - 1)) - 1;
    Pair scaled = Pair{first, second} * kFullScale;
    scaled = scaled == scaled ? scaled : Pair{};
    scaled = scaled < kFullScale ? scaled : Pair{} + kFullScale;
    scaled = scaled > -kFullScale ? scaled : Pair{} - kFullScale;
    return std::bit_cast<PairBits>(scaled + kRoundingBias);
}

template <int Bytes>
void store(std::int64_t value, std::byte* out) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < Bytes; ++i) out[i] = static_cast<std::byte>(bits >> (8 * i));
}

template <int Bits>
void convert(std::span<const float> samples, std::byte* out) {
    constexpr int kBytes = Bits / 8;
    const std::size_t pairs = samples.size() / 2;
    for (std::size_t n = 0; n < pairs; ++n, out += 2 * kBytes) {
        const PairBits values = rounded<Bits>(samples[2 * n], samples[2 * n + 1]);
        store<kBytes>(values[0], out);
        store<kBytes>(values[1], out + kBytes);
    }
    if (samples.size() % 2 != 0) store<kBytes>(rounded<Bits>(samples.back(), 0.0f)[0], out);
}

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

}  // namespace

// On the magnitude's bits: for floats of one sign, the order of their bit
// patterns is the order of their values, and integer comparisons let the
// loop run without branches. Above infinity's bits lie the NaNs, which count
// as clipped (they play as silence) but set no peak.
void Meter::measure(std::span<const float> samples) {
    // Signed lanes order the 31-bit magnitudes, and a chunk's count fits in
    // 32 bits: both keep the loop vectorizable.
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    auto peak_bits = std::bit_cast<std::int32_t>(peak);
    for (std::size_t start = 0; start < samples.size(); start += kChunk) {
        std::uint32_t beyond = 0;
        for (const float sample : samples.subspan(start, std::min(kChunk, samples.size() - start))) {
            const std::int32_t magnitude = std::bit_cast<std::int32_t>(sample) & kMagnitudeBits;
            beyond += magnitude > kFloatOneBits;
            const std::int32_t finite = magnitude <= kFloatInfinityBits ? magnitude : 0;
            peak_bits = peak_bits > finite ? peak_bits : finite;
        }
        clipped += beyond;
    }
    peak = std::bit_cast<float>(peak_bits);
}

void to_pcm(std::span<const float> samples, int bits, std::span<std::byte> out) {
    if (bits != 16 && bits != 24) throw ValueError(concat("PCM samples have 16 or 24 bits, not ", bits));
    if (out.size() / (bits / 8) < samples.size())
        throw ValueError(concat(samples.size(), " samples of ", bits, " bits do not fit in ", out.size(), " bytes"));
    if (bits == 16) convert<16>(samples, out.data());
    else convert<24>(samples, out.data());
}

std::string wav_header(std::uint32_t rate, int bits, std::uint64_t data_bytes) {
    if (bits != 16 && bits != 24) throw ValueError(concat("WAV files are written with 16 or 24 bits, not ", bits));
    const std::uint32_t block = kChannels * static_cast<std::uint32_t>(bits) / 8;
    const std::uint64_t byte_rate = std::uint64_t{rate} * block;
    if (rate == 0 || byte_rate > std::numeric_limits<std::uint32_t>::max())
        throw ValueError(concat("a WAV file cannot play ", rate, " frames per second"));
    // Sizes past 2^64 are not files; saturating keeps the arithmetic defined.
    const std::uint64_t riff_size = data_bytes > std::numeric_limits<std::uint64_t>::max() - kHeaderAfterSize
                                        ? std::numeric_limits<std::uint64_t>::max()
                                        : data_bytes + kHeaderAfterSize;
    const bool rf64 = riff_size > kUnknownSize;

    std::string out;
    out.reserve(kWavHeaderBytes);
    out += rf64 ? "RF64" : "RIFF";
    put(out, rf64 ? kUnknownSize : riff_size, 4);
    out += "WAVE";
    out += rf64 ? "ds64" : "JUNK";
    put(out, kJunkBytes, 4);
    // ds64's body; under JUNK, zeros. Its sample count is the frames', as
    // the fact chunk's would be, which PCM files go without.
    put(out, rf64 ? riff_size : 0, 8);
    put(out, rf64 ? data_bytes : 0, 8);
    put(out, rf64 ? data_bytes / block : 0, 8);
    put(out, 0, 4);  // no table of other chunks' sizes
    out += "fmt ";
    put(out, kFmtBytes, 4);
    put(out, kPcmTag, 2);
    put(out, kChannels, 2);
    put(out, rate, 4);
    put(out, byte_rate, 4);
    put(out, block, 2);
    put(out, static_cast<std::uint32_t>(bits), 2);
    out += "data";
    put(out, rf64 ? kUnknownSize : data_bytes, 4);
    return out;
}

}  // namespace ostina::synth
