// The synthesizer: sixteen MIDI channels playing a library's presets on a
// fixed pool of voices, mixed into stereo.
//
// Events take effect between two frames; slow parameters are settled at
// every event and every control period, counted from the synthesizer's
// first frame. The same calls give the same bits; where a caller splits its
// frames is a place where messages may arrive, and so part of the calls.
//
// When every voice is in use, a new note takes the voice that is quietest
// among those already in their release; when none is, the voice of the
// oldest note still sounding. A stolen voice stops at once.
//
// The voices play in a fixed number of groups, each into buffers of its own,
// and the groups' sums are added in their order; the groups, and then the
// reverb's two sides and the chorus, may play on threads of their own,
// which changes how long a render takes, never its bits.
//
// Each voice also feeds a reverb and a chorus unit through its sends; their
// outputs join the voices' in the mix. The chorus does not feed the reverb:
// each send then sets its own effect's level alone, as the sends' controllers
// promise.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "synth/bank.hpp"
#include "synth/channel.hpp"
#include "synth/chorus.hpp"
#include "synth/fed_period.hpp"
#include "synth/midi_file.hpp"
#include "synth/reverb.hpp"
#include "synth/voice.hpp"
#include "synth/workers.hpp"

namespace ostina::synth {

struct SynthesizerSettings {
    std::uint32_t rate = 44100;       // frames per second
    std::uint32_t polyphony = 256;    // voices at most
    double gain = 1.0;                // of the mix, linear
    // The mix's gain against which a voice is judged inaudible: a render
    // made louder to normalize another ends its voices where that one did.
    double judged_gain = 1.0;
    bool reverb = true;               // the effect units play the voices' sends
    bool chorus = true;
    unsigned threads = 1;             // that play the voices, the caller's included
};

class Synthesizer {
public:
    Synthesizer(std::shared_ptr<Library> library, SynthesizerSettings settings);

    void apply(const MidiEvent& event);  // a channel message; tempo changes are the caller's
    void note_on(std::uint8_t channel, std::uint8_t key, std::uint8_t velocity);
    void note_off(std::uint8_t channel, std::uint8_t key);
    void control_change(std::uint8_t channel, std::uint8_t number, std::uint8_t value);
    void program_change(std::uint8_t channel, std::uint8_t program);
    void pitch_bend(std::uint8_t channel, std::uint16_t value);
    void channel_pressure(std::uint8_t channel, std::uint8_t value);
    void key_pressure(std::uint8_t channel, std::uint8_t key, std::uint8_t value);

    // The end of a song: the pedals rise and every note still held is released.
    void release_all();

    // Writes the next `frames` frames of the mix to `left` and `right`.
    // Returns how many of them were heard, counted from the start: `frames`
    // while voices still play; once none does, up to the last frame a voice
    // sounded in or the effects' output reached a 16-bit step (at the judged
    // gain).
    std::uint32_t render(float* left, float* right, std::uint32_t frames);

    std::size_t active_voices() const { return active_.size(); }
    // Whether the effect units hold any sound, which may ring on without voices.
    bool ringing() const { return (settings_.reverb && reverb_.ringing()) || (settings_.chorus && chorus_.ringing()); }
    std::uint64_t frame() const { return clock_; }
    std::uint32_t rate() const { return settings_.rate; }
    // Chooses (and builds) the preset of a bank and program, as a note on it
    // would; a song's presets can so be built before it plays.
    PresetChoice choose(std::uint16_t bank, std::uint8_t program) { return library_->choose(bank, program); }

private:
    Channel& channel(std::uint8_t number) { return channels_[number & 0x0F]; }
    std::size_t take_voice(std::uint64_t note);
    void choke_class(std::uint8_t channel, int exclusive_class, std::uint64_t note);
    void end_note(std::uint8_t channel, std::uint64_t note);
    void remodulate(std::uint8_t channel);
    void settle_moved();
    void act(std::uint8_t channel, ChannelAction action);
    template <class Each>
    void each_voice(std::uint8_t channel, Each&& each);
    // A chunk of a render: its frames, where it begins in the call, and the
    // channels whose voices read their controllers at its first period's
    // start (`settle_at`, from the chunk's start; none when past its end).
    struct Chunk {
        std::uint32_t frames, begins;
        std::uint32_t settle_at;
        std::uint16_t pending;
    };
    // What one voice did in a chunk: the frames heard up to (counted from
    // the call's start), the periods it fed the effects in, as a mask, and
    // how many periods it played in.
    struct Take {
        std::uint32_t heard = 0, fed = 0, periods = 0;
    };
    void divide_periods(std::uint32_t frames);
    std::uint32_t render_chunk(float* left, float* right, const Chunk& chunk);
    Take render_voice(Voice& voice, const Chunk& chunk, float* left, float* right, SendBuses buses);
    // Where a group of voices plays a chunk: the first into the chunk's own buffers.
    struct Mix {
        float *left, *right;
        SendBuses buses;
    };
    Mix group_mix(std::size_t group, float* left, float* right);
    void play_group(std::size_t group, std::size_t groups, const Chunk& chunk, float* left, float* right);
    void add_groups(std::size_t groups, std::uint32_t frames, float* left, float* right);
    bool effects() const { return settings_.reverb || settings_.chorus; }
    void play_effects();
    bool ringing_after(std::size_t period) const;
    std::uint32_t heard_in(const float* left, const float* right, std::uint32_t frames) const;

    std::shared_ptr<Library> library_;
    SynthesizerSettings settings_;
    std::vector<Channel> channels_;
    std::vector<Voice> voices_;
    std::vector<std::size_t> active_;  // indices into voices_, ascending: the mixing order
    std::vector<VoicePlan> plans_;     // reused by every note-on
    double judged_scale_;              // the mix at the judged gain, per unit of the mix
    Reverb reverb_;
    Chorus chorus_;
    std::vector<float> reverb_bus_, chorus_bus_;  // a chunk's sends
    std::vector<FedPeriod> periods_;              // a chunk's control periods, and which the voices fed
    std::vector<float> group_buffers_;  // every group's but the first: its sides and sends
    std::unique_ptr<Workers> workers_;  // none for one thread
    std::vector<Take> takes_;          // of each active voice, in a chunk, in their order
    std::array<bool, 16> moved_{};     // channels whose controllers moved since their voices read them
    std::array<std::uint64_t, 16> settled_in_{};  // the control period a channel's voices last read them in
    std::uint64_t clock_ = 0;
    std::uint64_t next_note_ = 1;
};

}  // namespace ostina::synth
