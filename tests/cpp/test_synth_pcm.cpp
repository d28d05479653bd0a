// PCM conversion (rounding, clipping, NaN, byte order), the meter, and the
// WAV and RF64 headers' bytes.
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "synth/pcm.hpp"

using namespace ostina::synth;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

std::int32_t sample_at(const std::vector<std::byte>& bytes, std::size_t i, int width) {
    std::uint32_t value = 0;
    for (int b = 0; b < width; ++b) value |= std::to_integer<std::uint32_t>(bytes[i * width + b]) << (8 * b);
    const int unused = 32 - 8 * width;
    return static_cast<std::int32_t>(value << unused) >> unused;
}

std::vector<std::int32_t> convert(const std::vector<float>& samples, int bits) {
    std::vector<std::byte> bytes(samples.size() * bits / 8);
    to_pcm(samples, bits, bytes);
    std::vector<std::int32_t> values;
    for (std::size_t i = 0; i < samples.size(); ++i) values.push_back(sample_at(bytes, i, bits / 8));
    return values;
}

void test_rounding_and_clipping() {
    // ±0.5 are the only exact halves below full scale (both scales are odd).
    struct Case { float sample; std::int32_t s16, s24; };
    const Case cases[] = {
        {0.0f, 0, 0}, {-0.0f, 0, 0}, {0.5f, 16384, 4194304}, {-0.5f, -16384, -4194304},
        {std::nextafter(0.5f, 0.0f), 16383, 4194303}, {std::nextafter(0.5f, 1.0f), 16384, 4194304},
        {0x1p-16f, 0, 128}, {-0.3f, -9830, -2516582}, {1.0f, 32767, 8388607}, {-1.0f, -32767, -8388607},
        {std::nextafter(1.0f, 2.0f), 32767, 8388607}, {kInf, 32767, 8388607}, {-kInf, -32767, -8388607},
        {kNan, 0, 0}, {-kNan, 0, 0},
    };
    for (const Case& c : cases) {
        CHECK_EQ(convert({c.sample}, 16)[0], c.s16);
        CHECK_EQ(convert({c.sample}, 24)[0], c.s24);
    }
}

// Every exponent, through nearest-even rounding done another way.
void test_matches_nearbyint() {
    std::mt19937 random(3);
    std::vector<float> samples(200000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::uint32_t bits = random();
        samples[i] = i % 2 ? std::bit_cast<float>(bits) : std::bit_cast<float>((bits & 0x807F'FFFF) | 0x3F00'0000);
    }
    for (int bits : {16, 24}) {
        const double full = bits == 16 ? 32767.0 : 8388607.0;
        const std::vector<std::int32_t> values = convert(samples, bits);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double scaled = std::isnan(samples[i]) ? 0.0 : std::fmin(std::fmax(samples[i] * full, -full), full);
            CHECK_EQ(values[i], static_cast<std::int32_t>(std::nearbyint(scaled)));
        }
    }
}

// The table above reads the bytes back through sample_at; here they are spelled out.
void test_byte_order_and_sizes() {
    std::vector<std::byte> bytes(9);
    to_pcm(std::vector<float>{1.0f, -1.0f, 0.5f}, 24, bytes);
    CHECK(bytes == std::vector<std::byte>({std::byte{0xFF}, std::byte{0xFF}, std::byte{0x7F}, std::byte{0x01}, std::byte{0},
                                           std::byte{0x80}, std::byte{0}, std::byte{0}, std::byte{0x40}}));
    CHECK_THROWS(ostina::ValueError, "PCM samples have 16 or 24 bits, not 32", to_pcm(std::vector<float>{0}, 32, bytes));
    CHECK_THROWS(ostina::ValueError, "4 samples of 24 bits do not fit in 9 bytes", to_pcm(std::vector<float>(4), 24, bytes));
}

// NaN counts as clipped and sets no peak; a second block adds to the first.
void test_meter() {
    struct Case { std::vector<float> samples; float peak; std::uint64_t clipped; };
    const Case cases[] = {
        {{}, 0.0f, 0}, {{0.25f, -0.75f, 1.0f, -1.0f}, 1.0f, 0}, {{0.5f, kNan, -kNan}, 0.5f, 2},
        {{-1.5f, std::nextafter(1.0f, 2.0f)}, 1.5f, 2}, {{-kInf, 0.1f}, kInf, 1}, {{-0.0f}, 0.0f, 0},
    };
    for (const Case& c : cases) {
        Meter meter;
        meter.measure(c.samples);
        CHECK(meter.peak == c.peak && meter.clipped == c.clipped);
    }
    Meter meter;
    for (const auto& block : {std::vector<float>{0.5f, 2.0f}, {-0.25f, 3.0f, kNan}, {1.0f}}) meter.measure(block);
    CHECK(meter.peak == 3.0f && meter.clipped == 3);
}

std::uint64_t field(const std::string& header, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(header[at + i]);
    return value;
}

void test_wav_headers() {
    const std::string riff = wav_header(44100, 16, 1000);
    const std::string expected = std::string("RIFF\x30\x04\0\0WAVEJUNK\x1C\0\0\0", 20) + std::string(28, '\0') +
                                 std::string("fmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0data\xE8\x03\0\0", 32);
    CHECK(riff == expected);

    constexpr std::uint64_t kLargestRiff = 0xFFFF'FFFFull - 72;  // the RIFF size then reads 0xFFFFFFFF
    struct Case { std::uint64_t data; const char* form; };
    for (const Case& c : {Case{kLargestRiff, "RIFF"}, {kLargestRiff + 1, "RF64"}, {6'000'000'006ull, "RF64"}}) {
        const std::string h = wav_header(48000, 24, c.data);
        const bool rf64 = std::string(c.form) == "RF64";
        CHECK_EQ(h.size(), kWavHeaderBytes);
        CHECK(h.substr(0, 4) == c.form && h.substr(12, 4) == (rf64 ? "ds64" : "JUNK"));
        CHECK_EQ(field(h, 4, 4), rf64 ? 0xFFFF'FFFFull : c.data + 72);
        CHECK_EQ(field(h, 20, 8), rf64 ? c.data + 72 : 0);
        CHECK_EQ(field(h, 28, 8), rf64 ? c.data : 0);
        CHECK_EQ(field(h, 36, 8), rf64 ? c.data / 6 : 0);
        CHECK(field(h, 64, 4) == 288000 && field(h, 68, 2) == 6 && field(h, 70, 2) == 24);
        CHECK_EQ(field(h, 76, 4), rf64 ? 0xFFFF'FFFFull : c.data);
    }
    CHECK_THROWS(ostina::ValueError, "WAV files are written with 16 or 24 bits, not 8", wav_header(44100, 8, 0));
    CHECK_THROWS(ostina::ValueError, "a WAV file cannot play 0 frames per second", wav_header(0, 16, 0));
    CHECK_THROWS(ostina::ValueError, "a WAV file cannot play 1000000000 frames per second", wav_header(1'000'000'000, 24, 0));
}

}  // namespace

int main() {
    test_rounding_and_clipping();
    test_matches_nearbyint();
    test_byte_order_and_sizes();
    test_meter();
    test_wav_headers();
    return check::finish();
}
