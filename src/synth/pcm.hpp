// PCM output: stereo float frames to 16- or 24-bit integers, and the header
// of a WAV file holding them (RF64 when the data passes 4 GB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ostina::synth {

// What the conversion has seen: the largest magnitude and how many samples
// lay beyond full scale (and were clipped).
struct Meter {
    float peak = 0.0f;
    std::uint64_t clipped = 0;
    void measure(std::span<const float> samples);
};

// Little-endian integer samples, 2 or 3 bytes each: every float scaled by
// full scale (32767 or 8388607), rounded to nearest (ties to even) and
// clipped there. NaN becomes 0. `out` holds samples.size() * bits / 8 bytes.
void to_pcm(std::span<const float> samples, int bits, std::span<std::byte> out);

// The header that precedes `data_bytes` of interleaved PCM in a WAV file of
// 2 channels at `rate`. Its size is the same whatever the data's (a JUNK
// chunk keeps the room that RF64's ds64 chunk takes), so that it can be
// written first and rewritten once the data's length is known.
std::string wav_header(std::uint32_t rate, int bits, std::uint64_t data_bytes);

inline constexpr std::size_t kWavHeaderBytes = 80;  // RIFF, JUNK (or ds64), fmt and the data chunk's head

}  // namespace ostina::synth
