#include "synth/synthesizer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "errors.hpp"

namespace ostina::synth {
namespace {

constexpr float kStep = 1.0f / 32768.0f;  // one step of 16-bit output: below it, nothing is heard
// Renders are cut into chunks, each voice playing a chunk's periods in a
// row while its state stays in cache.
constexpr std::uint32_t kChunkFrames = 1024;
constexpr std::uint32_t kNone = UINT32_MAX;
// The voices' groups at most: as many threads may play them.
constexpr std::size_t kVoiceGroups = 4;
static_assert(kVoiceGroups <= Workers::kMostTasks);
static_assert(kChunkFrames / kControlFrames + 1 <= 32, "a chunk's periods fit a mask of 32 bits");

double judged_scale(const SynthesizerSettings& settings) {
    return settings.gain > 0.0 ? settings.judged_gain / settings.gain : 1.0;
}

}  // namespace

Synthesizer::Synthesizer(std::shared_ptr<Library> library, SynthesizerSettings settings)
    : library_(std::move(library)),
      settings_(settings),
      judged_scale_(judged_scale(settings)),
      reverb_(ReverbSettings{}, std::max(settings.rate, 1u), judged_scale_, kChunkFrames),
      chorus_(ChorusSettings{}, std::max(settings.rate, 1u), kChunkFrames) {
    if (settings_.rate == 0) throw ValueError("a sample rate of 0");
    if (settings_.polyphony == 0) throw ValueError("a polyphony of 0 voices");
    for (std::uint8_t number = 0; number < 16; ++number) channels_.emplace_back(number == kDrumChannel);
    voices_.resize(settings_.polyphony);
    settled_in_.fill(UINT64_MAX);  // no period yet
    active_.reserve(settings_.polyphony);
    reverb_bus_.resize(kChunkFrames);
    chorus_bus_.resize(kChunkFrames);
    periods_.reserve(kChunkFrames / kControlFrames + 1);
    takes_.reserve(settings_.polyphony);
    group_buffers_.resize((kVoiceGroups - 1) * 4 * kChunkFrames);
    unsigned helpers = std::min<unsigned>(std::max(settings_.threads, 1u), kVoiceGroups) - 1;
    if (helpers > 0 && settings_.polyphony > 1) workers_ = std::make_unique<Workers>(helpers);
}

void Synthesizer::apply(const MidiEvent& event) {
    switch (event.kind) {
        case MidiKind::note_off: note_off(event.channel, event.data1); break;
        case MidiKind::note_on: note_on(event.channel, event.data1, event.data2); break;
        case MidiKind::key_pressure: key_pressure(event.channel, event.data1, event.data2); break;
        case MidiKind::control_change: control_change(event.channel, event.data1, event.data2); break;
        case MidiKind::program_change: program_change(event.channel, event.data1); break;
        case MidiKind::channel_pressure: channel_pressure(event.channel, event.data1); break;
        case MidiKind::pitch_bend: pitch_bend(event.channel, static_cast<std::uint16_t>(event.value)); break;
        case MidiKind::tempo: break;
    }
}

template <class Each>
void Synthesizer::each_voice(std::uint8_t channel, Each&& each) {
    for (std::size_t index : active_)
        if (voices_[index].active() && voices_[index].channel() == channel) each(voices_[index]);
}

void Synthesizer::note_on(std::uint8_t number, std::uint8_t key, std::uint8_t velocity) {
    number &= 0x0F;
    key &= 0x7F;
    velocity &= 0x7F;
    if (velocity == 0) return note_off(number, key);
    Channel& channel = this->channel(number);
    if (!channel.preset_known()) channel.know_preset(library_->choose(channel.bank(), channel.program()));
    plans_.clear();
    library_->voices(channel.preset(), key, velocity, plans_);
    if (plans_.empty()) return;
    if (plans_.size() > voices_.size()) plans_.resize(voices_.size());  // a note of more zones than voices
    std::uint64_t note = next_note_++;
    ControllerState state = channel.state(key, velocity);
    ChannelTuning tuning = channel.tuning();
    for (const VoicePlan& plan : plans_) {
        std::size_t index = take_voice(note);
        voices_[index].start(plan, state, tuning, number, note, settings_.rate,
                             {settings_.gain, settings_.judged_gain, settings_.reverb, settings_.chorus});
        if (int exclusive = voices_[index].exclusive_class()) choke_class(number, exclusive, note);
    }
    channel.hold(key, note);
}

// A free voice, or the one the stealing order gives up; never one of `note`'s own.
std::size_t Synthesizer::take_voice(std::uint64_t note) {
    if (active_.size() < voices_.size()) {
        std::size_t free = 0;
        for (std::size_t index : active_) {  // ascending: the first gap is the lowest free voice
            if (index != free) break;
            ++free;
        }
        active_.insert(active_.begin() + static_cast<std::ptrdiff_t>(free), free);
        return free;
    }
    std::size_t chosen = voices_.size();
    for (std::size_t index : active_) {
        const Voice& voice = voices_[index];
        if (!voice.active()) return index;  // stopped since the last render
        if (voice.note() == note) continue;
        if (chosen == voices_.size()) {
            chosen = index;
            continue;
        }
        const Voice& best = voices_[chosen];
        bool quieter_release = voice.releasing() && (!best.releasing() || voice.level() < best.level());
        bool older_held = !voice.releasing() && !best.releasing() && voice.note() < best.note();
        if (quieter_release || older_held) chosen = index;
    }
    if (chosen == voices_.size()) throw Fault("a note has more voices than the polyphony");
    voices_[chosen].stop();
    return chosen;  // still listed as active: the new voice takes its place
}

void Synthesizer::choke_class(std::uint8_t channel, int exclusive_class, std::uint64_t note) {
    each_voice(channel, [&](Voice& voice) {
        if (voice.note() != note && voice.exclusive_class() == exclusive_class) voice.choke();
    });
}

void Synthesizer::note_off(std::uint8_t number, std::uint8_t key) {
    number &= 0x0F;
    key &= 0x7F;
    // A note-off without its note-on ends nothing.
    if (auto note = channel(number).lift(key)) end_note(number, *note);
}

// The key of `note` is up: it ends, unless a pedal holds it.
void Synthesizer::end_note(std::uint8_t number, std::uint64_t note) {
    bool sustain = channel(number).sustain();
    each_voice(number, [&](Voice& voice) {
        if (voice.note() != note || voice.held() != Voice::Hold::key) return;
        if (voice.latched() || sustain) voice.hold(Voice::Hold::sustained);
        else voice.release();
    });
}

void Synthesizer::control_change(std::uint8_t number, std::uint8_t controller, std::uint8_t value) {
    number &= 0x0F;
    act(number, channel(number).control_change(controller, value));
}

void Synthesizer::act(std::uint8_t number, ChannelAction action) {
    Channel& channel = this->channel(number);
    switch (action) {
        case ChannelAction::none: return;
        case ChannelAction::modulate: return remodulate(number);
        case ChannelAction::all_notes_off:
            for (std::uint64_t note : channel.lift_all()) end_note(number, note);
            return;
        case ChannelAction::all_sound_off:
            each_voice(number, [](Voice& voice) { voice.stop(); });
            channel.lift_all();
            return;
        case ChannelAction::sostenuto_down:
            each_voice(number, [](Voice& voice) {
                if (voice.held() == Voice::Hold::key) voice.latch(true);
            });
            return;
        case ChannelAction::reset:
            remodulate(number);
            [[fallthrough]];  // the pedals are up now
        case ChannelAction::sostenuto_up:
        case ChannelAction::sustain_up: {
            bool sustain = channel.sustain(), sostenuto = channel.sostenuto();
            each_voice(number, [&](Voice& voice) {
                if (!sostenuto) voice.latch(false);
                if (voice.held() == Voice::Hold::sustained && !voice.latched() && !sustain) voice.release();
            });
            return;
        }
    }
}

// A channel's voices read its controllers again before the next frame is
// rendered, once however many messages came on one frame; the sources they
// share are read once for all of them. A channel's first change in a
// control period acts from its own frame, later ones from the period's end:
// a flood of messages costs no more than two readings a period.
void Synthesizer::remodulate(std::uint8_t number) { moved_[number & 0x0F] = true; }

void Synthesizer::settle_moved() {
    std::uint64_t period = clock_ / kControlFrames;
    bool period_starts = clock_ % kControlFrames == 0;
    for (std::uint8_t number = 0; number < 16; ++number) {
        if (!moved_[number] || (!period_starts && settled_in_[number] == period)) continue;
        moved_[number] = false;
        settled_in_[number] = period;
        Channel& channel = this->channel(number);
        double cents = channel.tuning().cents;
        SourceCache shared;
        each_voice(number, [&](Voice& voice) {
            voice.modulate(channel.state(voice.key(), voice.velocity()), cents, shared);
            voice.control();
        });
    }
}

void Synthesizer::program_change(std::uint8_t number, std::uint8_t program) { channel(number).program_change(program); }

void Synthesizer::pitch_bend(std::uint8_t number, std::uint16_t value) {
    channel(number).pitch_bend(static_cast<std::uint16_t>(value & 0x3FFF));
    remodulate(number & 0x0F);
}

void Synthesizer::channel_pressure(std::uint8_t number, std::uint8_t value) {
    channel(number).channel_pressure(value & 0x7F);
    remodulate(number & 0x0F);
}

void Synthesizer::key_pressure(std::uint8_t number, std::uint8_t key, std::uint8_t value) {
    channel(number).key_pressure(key, value & 0x7F);
    remodulate(number & 0x0F);
}

void Synthesizer::release_all() {
    for (std::uint8_t number = 0; number < 16; ++number) {
        Channel& channel = this->channel(number);
        channel.control_change(cc::kSustain, 0);
        channel.control_change(cc::kSostenuto, 0);
        channel.lift_all();
        each_voice(number, [](Voice& voice) {
            if (voice.held() != Voice::Hold::released) voice.release();
        });
    }
}

std::uint32_t Synthesizer::render(float* left, float* right, std::uint32_t frames) {
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
    settle_moved();
    // A channel left moved reads its controllers at the first period's
    // start within the call, as if the call were cut there.
    std::uint16_t pending = 0;
    for (std::uint8_t number = 0; number < 16; ++number) pending |= moved_[number] ? 1u << number : 0u;
    std::uint32_t first_start = static_cast<std::uint32_t>((kControlFrames - clock_ % kControlFrames) % kControlFrames);
    std::uint32_t settle_at = pending != 0 && first_start > 0 && first_start < frames ? first_start : kNone;
    std::uint32_t done = 0, sounded = 0;
    while (done < frames) {
        // Chunks end on a period's end, so that no period is cut in two.
        std::uint32_t size = std::min(frames - done, kChunkFrames - static_cast<std::uint32_t>(clock_ % kControlFrames));
        bool settles = settle_at != kNone && settle_at >= done && settle_at < done + size;
        Chunk chunk{size, done, settles ? settle_at - done : kNone, pending};
        sounded = std::max(sounded, render_chunk(left + done, right + done, chunk));
        if (settles) {
            for (std::uint8_t number = 0; number < 16; ++number) {
                if (!(pending >> number & 1)) continue;
                moved_[number] = false;
                settled_in_[number] = (clock_ - size + chunk.settle_at) / kControlFrames;
            }
        }
        done += size;
    }
    return active_.empty() ? sounded : frames;
}

// The chunk's control periods, none fed yet: the first may be the rest of
// a period an earlier chunk began.
void Synthesizer::divide_periods(std::uint32_t frames) {
    periods_.clear();
    for (std::uint32_t done = 0; done < frames;) {
        std::uint32_t span = std::min(frames - done, kControlFrames - static_cast<std::uint32_t>((clock_ + done) % kControlFrames));
        periods_.push_back({span, false});
        done += span;
    }
}

// Every group of voices plays the chunk, each voice in turn, then the effects
// follow period by period: each frame's sum is each group's voices' in their
// order, the groups' added in theirs, as if all voices played each period
// before the next.
std::uint32_t Synthesizer::render_chunk(float* left, float* right, const Chunk& chunk) {
    if (effects()) {
        std::fill_n(reverb_bus_.begin(), chunk.frames, 0.0f);
        std::fill_n(chorus_bus_.begin(), chunk.frames, 0.0f);
    }
    divide_periods(chunk.frames);
    std::size_t count = active_.size();
    std::size_t groups = std::min(count, kVoiceGroups);
    takes_.resize(count);
    if (workers_ && groups > 1) {
        workers_->run(groups, [&](std::size_t group) { play_group(group, groups, chunk, left, right); });
    } else {
        for (std::size_t group = 0; group < groups; ++group) play_group(group, groups, chunk, left, right);
    }
    add_groups(groups, chunk.frames, left, right);
    std::uint32_t sounded = 0, fed = 0, silent_from = 0;  // the period from whose end no voice plays
    for (std::size_t at = 0; at < count; ++at) {
        const Take& take = takes_[at];
        sounded = std::max(sounded, take.heard);
        fed |= take.fed;
        silent_from = std::max(silent_from, voices_[active_[at]].active() ? kNone : take.periods - 1);
    }
    std::erase_if(active_, [&](std::size_t index) { return !voices_[index].active(); });
    for (std::size_t period = 0; period < periods_.size(); ++period) periods_[period].fed = (fed >> period & 1) != 0;
    if (effects()) play_effects();
    std::uint32_t done = 0;
    for (std::size_t period = 0; period < periods_.size(); ++period) {
        std::uint32_t span = periods_[period].frames;
        if (settings_.reverb) reverb_.add(period, left + done, right + done);
        if (settings_.chorus) chorus_.add(period, left + done, right + done);
        if (period >= silent_from && ringing_after(period))
            if (std::uint32_t loud = heard_in(left + done, right + done, span))
                sounded = std::max(sounded, chunk.begins + done + loud);
        clock_ += span;
        done += span;
    }
    return sounded;
}

// The effect units over the chunk: the reverb's two sides and the chorus,
// each a task, on threads when there are.
void Synthesizer::play_effects() {
    std::size_t sides = 0;
    bool chorus = false;
    if (settings_.reverb) {
        reverb_.begin(reverb_bus_.data(), periods_);
        sides = reverb_.plays() ? Reverb::kSides : 0;
    }
    if (settings_.chorus) {
        chorus_.begin(chorus_bus_.data(), periods_, clock_);
        chorus = chorus_.plays();
    }
    auto play = [&](std::size_t task) {
        if (task < sides) reverb_.run_side(task);
        else chorus_.run();
    };
    std::size_t tasks = sides + (chorus ? 1 : 0);
    if (workers_ && tasks > 1) {
        workers_->run(tasks, play);
    } else {
        for (std::size_t task = 0; task < tasks; ++task) play(task);
    }
}

// Whether either unit held sound after a period of the chunk: the reverb
// has come to that period, the chorus has played the chunk.
bool Synthesizer::ringing_after(std::size_t period) const {
    return (settings_.reverb && reverb_.ringing()) || (settings_.chorus && chorus_.ringing_after(period));
}

Synthesizer::Mix Synthesizer::group_mix(std::size_t group, float* left, float* right) {
    if (group == 0) return {left, right, {reverb_bus_.data(), chorus_bus_.data()}};
    float* buffers = group_buffers_.data() + (group - 1) * 4 * kChunkFrames;
    return {buffers, buffers + kChunkFrames, {buffers + 2 * kChunkFrames, buffers + 3 * kChunkFrames}};
}

// A group's voices are a share of the active ones in their order, the shares
// as near equal in count as can be.
void Synthesizer::play_group(std::size_t group, std::size_t groups, const Chunk& chunk, float* left, float* right) {
    Mix mix = group_mix(group, left, right);
    if (group > 0) {
        std::fill_n(mix.left, chunk.frames, 0.0f);
        std::fill_n(mix.right, chunk.frames, 0.0f);
        if (effects()) {
            std::fill_n(mix.buses.reverb, chunk.frames, 0.0f);
            std::fill_n(mix.buses.chorus, chunk.frames, 0.0f);
        }
    }
    std::size_t count = active_.size();
    for (std::size_t at = count * group / groups, end = count * (group + 1) / groups; at < end; ++at)
        takes_[at] = render_voice(voices_[active_[at]], chunk, mix.left, mix.right, mix.buses);
}

void Synthesizer::add_groups(std::size_t groups, std::uint32_t frames, float* left, float* right) {
    for (std::size_t group = 1; group < groups; ++group) {
        const Mix mix = group_mix(group, left, right);
        for (std::uint32_t i = 0; i < frames; ++i) left[i] += mix.left[i];
        for (std::uint32_t i = 0; i < frames; ++i) right[i] += mix.right[i];
        if (!effects()) continue;
        for (std::uint32_t i = 0; i < frames; ++i) reverb_bus_[i] += mix.buses.reverb[i];
        for (std::uint32_t i = 0; i < frames; ++i) chorus_bus_[i] += mix.buses.chorus[i];
    }
}

// One voice's part of a chunk: its periods in turn while it plays, settled
// at each period's start. A voice that stopped since the last render still
// takes its first period, ending in it.
Synthesizer::Take Synthesizer::render_voice(Voice& voice, const Chunk& chunk, float* left, float* right,
                                            SendBuses buses) {
    Take take;
    std::uint32_t done = 0;
    const bool first_starts = clock_ % kControlFrames == 0;
    for (const FedPeriod& period : periods_) {
        if (take.periods > 0 && !voice.active()) break;
        if (take.periods > 0 || first_starts) {
            if (done == chunk.settle_at && (chunk.pending >> voice.channel() & 1) && voice.active()) {
                Channel& channel = this->channel(voice.channel());
                SourceCache cache;
                voice.modulate(channel.state(voice.key(), voice.velocity()), channel.tuning().cents, cache);
                voice.control();
            }
            voice.control();
        }
        if (voice.sends()) take.fed |= 1u << take.periods;
        std::uint32_t heard =
            voice.render(left + done, right + done, {buses.reverb + done, buses.chorus + done}, period.frames);
        take.heard = std::max(take.heard, chunk.begins + done + heard);
        done += period.frames;
        ++take.periods;
    }
    return take;
}

// Frames up to the last whose either side reaches a 16-bit step at the judged gain.
std::uint32_t Synthesizer::heard_in(const float* left, const float* right, std::uint32_t frames) const {
    for (std::uint32_t i = frames; i > 0; --i)
        if (std::max(std::fabs(left[i - 1]), std::fabs(right[i - 1])) * judged_scale_ >= kStep) return i;
    return 0;
}

}  // namespace ostina::synth
