// A voice: one sample of one zone, played for one note with SoundFont 2.04
// semantics: pitch from the key, root key and tuning generators, the volume
// envelope, the modulation envelope and two LFOs, a resonant low-pass,
// attenuation and pan, all moved by the voice's modulators.
//
// Parameters that change slowly (pitch, cutoff, gain and pan) are settled
// every control period and at every event; the per-frame loop then runs
// without branches on them. Gain and pan glide to each new setting over a
// control period, so that volume and pan changes do not click. The reverb
// and chorus sends are gains too (of the voice's level, not its pan) and
// glide with them.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "synth/bank.hpp"
#include "synth/envelope.hpp"
#include "synth/filter.hpp"
#include "synth/lfo.hpp"
#include "synth/modulator.hpp"

namespace ostina::synth {

inline constexpr std::uint32_t kControlFrames = 64;  // 1.5 ms at 44.1 kHz

// What a channel adds to every voice it plays, beyond its controllers.
struct ChannelTuning {
    double cents = 0.0;        // fine and coarse tuning
    bool soft_pedal = false;   // when the note began
};

// Where a voice's sound goes beyond its own level and pan.
struct VoiceOutput {
    double gain = 1.0;         // scales the voice's level, as the mix's gain
    double judged_gain = 1.0;  // the gain at which the voice is judged inaudible
    bool reverb = false, chorus = false;  // whether the effect units play its sends
};

// The effect units' mono inputs, to which voices add their sends.
struct SendBuses {
    float* reverb;
    float* chorus;
};

class Voice {
public:
    enum class Hold : std::uint8_t {
        key,        // the key is down
        sustained,  // the key is up; the sustain pedal holds the note
        released,
    };

    // Starts `plan` for a note; `state` is the channel's, with the note's
    // key and velocity. Each voice of a note shares its `note` number.
    void start(const VoicePlan& plan, const ControllerState& state, const ChannelTuning& tuning,
               std::uint8_t channel, std::uint64_t note, std::uint32_t rate, const VoiceOutput& output);

    // Reads the modulators again after a controller of the channel moved;
    // the note's own key and velocity replace the state's. `cache` keeps the
    // sources the channel's voices share.
    void modulate(ControllerState state, double tuning_cents, SourceCache& cache);
    // Settles the slow parameters for the frames that follow.
    void control();
    // Adds the next `frames` frames to `left` and `right`, and its sends to
    // the buses; returns how many it sounded in (fewer when it ends).
    std::uint32_t render(float* left, float* right, SendBuses buses, std::uint32_t frames);
    // Whether the next frames may add to the buses.
    bool sends() const { return sends_to_reverb() || sends_to_chorus(); }

    void release();                  // the note ends: the release begins
    void choke();                    // cut short quickly (exclusive class, all sound off)
    void hold(Hold hold) { hold_ = hold; }
    void latch(bool latched) { latched_ = latched; }  // held by the sostenuto pedal

    bool active() const { return active_; }
    std::uint8_t channel() const { return channel_; }
    std::uint64_t note() const { return note_; }
    std::uint8_t key() const { return key_; }
    std::uint8_t velocity() const { return velocity_; }
    Hold held() const { return hold_; }
    bool latched() const { return latched_; }
    int exclusive_class() const { return exclusive_class_; }
    bool releasing() const;
    double level() const;  // the volume envelope's level times the gain, for choosing a voice to steal
    void stop() { active_ = false; }

private:
    double value(Generator generator) const { return values_[index_of(generator)]; }
    void place_sample(const Sample& sample);
    void divide_modulators(const std::vector<Modulator>& modulators, ControllerState state);
    static double settled_value(std::size_t index, double sum);
    void start_envelopes(std::uint8_t key);
    std::uint32_t read_span(float* mono, std::uint32_t frames);
    template <class Frame>
    std::uint32_t read_frames(const Frame* data, float* mono, std::uint32_t frames);
    bool sends_to_reverb() const { return reverb_gain_ != 0.0f || reverb_step_ != 0.0f; }
    bool sends_to_chorus() const { return chorus_gain_ != 0.0f || chorus_step_ != 0.0f; }
    template <bool Filtered, bool Adds, bool ToReverb, bool ToChorus>
    void shape_span(float* mono, float* left, float* right, SendBuses buses, std::uint32_t frames);
    void shape(float* mono, float* left, float* right, SendBuses buses, std::uint32_t frames);
    void glide_to(float left, float right, float reverb, float chorus);
    std::uint32_t direct_frames(std::uint32_t limit) const;
    template <class Frame>
    float fetch(const Frame* data, std::int64_t index) const;
    bool step_position();
    // Whether the voice plays its loop for good: it loops, and has passed the loop's start.
    bool in_loop() const { return loops_ && static_cast<std::int64_t>(position_ >> 32) >= loop_start_; }
    float peak_ahead() const;

    // What the voice plays: floats, or 16-bit integers scaled to full scale
    // by the voice's gain.
    const float* data_ = nullptr;
    const std::int16_t* pcm16_ = nullptr;
    double data_scale_ = 1.0;
    std::int64_t data_size_ = 0;
    std::int64_t start_ = 0, end_ = 0, loop_start_ = 0, loop_end_ = 0;
    bool loops_ = false;           // loops now
    bool loops_until_release_ = false;
    std::uint64_t position_ = 0;   // frames from the data's start, 32.32 fixed point
    std::uint64_t increment_ = 0;

    // The generators and what the modulators add, in their units: `fixed_`
    // with what the modulators that read only the note add, `live_` the
    // modulators that read the channel, and the generators they move.
    GeneratorValues base_{};
    std::array<double, kGeneratorCount> fixed_{};
    std::vector<Modulator> live_;
    std::vector<std::uint8_t> live_destinations_;
    std::array<double, kGeneratorCount> values_{};
    double key_cents_ = 0.0;       // the key's pitch relative to the sample's root, with its correction
    double rate_ratio_ = 1.0;      // the sample's rate over the output rate
    double tuning_cents_ = 0.0;

    Envelope volume_, modulation_;
    Lfo modulation_lfo_, vibrato_lfo_;
    LowPass filter_;
    bool filtered_ = false;
    bool soft_ = false;

    // The inputs of the slow parameters last computed: NaN forces the first.
    struct Settled {
        double cents = std::nan(""), centibels = std::nan(""), pan = std::nan("");
        double reverb = std::nan(""), chorus = std::nan("");
    };
    Settled settled_;
    VoiceOutput output_;
    double loudest_ = 1.0;  // the gain at the least attenuation the controllers allow
    float peak_ = 1.0f;     // the sample's largest magnitude, or what frames read outside it can hold
    float loop_peak_ = 1.0f;  // ...once the voice plays its loop for good
    std::span<const float> peaks_ahead_;  // the sample's, when they cover all the voice reads
    std::int64_t peaks_from_ = 0;         // the sample's start, where they count from

    // Gain per side and per send, gliding to its target.
    float left_gain_ = 0.0f, right_gain_ = 0.0f, left_step_ = 0.0f, right_step_ = 0.0f;
    float left_target_ = 0.0f, right_target_ = 0.0f;
    float reverb_gain_ = 0.0f, chorus_gain_ = 0.0f, reverb_step_ = 0.0f, chorus_step_ = 0.0f;
    float reverb_target_ = 0.0f, chorus_target_ = 0.0f;
    std::uint32_t glide_left_ = 0;

    std::uint64_t age_ = 0;        // frames since the start
    std::uint32_t rate_ = 44100;
    std::uint64_t note_ = 0;
    std::uint8_t channel_ = 0;
    std::uint8_t key_ = 0, velocity_ = 0;  // as the modulators read them
    int exclusive_class_ = 0;
    Hold hold_ = Hold::key;
    bool latched_ = false;
    bool active_ = false;
};

}  // namespace ostina::synth
