// Sampler cases no Python call reaches: messages other than note-on and
// note-off, and the channel of the two that act.
#include "check.hpp"
#include "midi.hpp"
#include "sampler.hpp"

using namespace ostina;
using namespace ostina::sampler;

namespace {

Sampler flat_sampler() {
    Sampler sampler(AudioSample(Samples(16, 0.5f), 44100, 60), 44100, 8);
    sampler.set_envelope(Envelope(0.0, 0.0, 1.0, 0.0));
    return sampler;
}

void other_messages_change_nothing() {
    Sampler sampler = flat_sampler();
    sampler.note_on(60, 127);
    const midi::MidiMessage ignored[] = {
        midi::control_change(0, 123, 0), midi::program_change(0, 1), midi::pitch_bend(0, 0),
        midi::Aftertouch{midi::MidiChannel::make(0), midi::Note::make(60), 0},
        midi::ChannelPressure{midi::MidiChannel::make(0), 0},
        midi::clock(), midi::start(), midi::stop(), midi::Continue{},
    };
    for (const auto& message : ignored) sampler.process_midi(message);
    CHECK_EQ(sampler.voices().size(), 1u);
    CHECK(sampler.voices()[0].stage == EnvelopeStage::Attack);
}

void channel_is_not_consulted() {
    Sampler sampler = flat_sampler();
    sampler.process_midi(midi::note_on(9, 60, 127));
    sampler.process_midi(midi::note_on(15, 61, 64));
    CHECK_EQ(sampler.voices().size(), 2u);
    sampler.process_midi(midi::note_off(3, 60, 127));
    CHECK(sampler.voices()[0].stage == EnvelopeStage::Release);
    CHECK(sampler.voices()[1].stage == EnvelopeStage::Attack);
}

// The voices move only when a render is committed.
void render_waits_for_its_commit() {
    Sampler sampler = flat_sampler();
    sampler.note_on(60, 127);
    auto staged = sampler.render(20);
    CHECK_EQ(staged.result.size(), 20u);
    CHECK_EQ(sampler.voices().size(), 1u);
    CHECK_EQ(sampler.voices()[0].position, 0.0);
    staged.change.apply(sampler);
    CHECK(sampler.voices().empty());
}

}  // namespace

int main() {
    other_messages_change_nothing();
    channel_is_not_consulted();
    render_waits_for_its_commit();
    return check::finish();
}
