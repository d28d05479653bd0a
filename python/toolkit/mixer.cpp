// MixerChannel and Mixer.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using mixer::Mixer;
using mixer::MixerChannel;

// Gains and pans print with two decimals, from the exact stored float.
std::string level_text(float value) { return format_fixed(value, 2); }

std::string channel_repr(const MixerChannel& channel) {
    return concat("MixerChannel(name='", channel.name(), "', gain=", level_text(channel.gain()),
                  ", pan=", level_text(channel.pan()), ", mute=", channel.mute(),
                  ", solo=", channel.solo(), ")");
}

std::string mixer_repr(const Mixer& mixer) {
    // Separated by position, not by what came before: a name may be empty.
    std::string names;
    const std::vector<std::string> all = mixer.channel_names();
    for (std::size_t i = 0; i < all.size(); ++i) names += i == 0 ? all[i] : concat(", ", all[i]);
    return concat("Mixer(master_gain=", level_text(mixer.master_gain()), ", channels=[", names, "])");
}

}  // namespace

const ClassDefinition& Bound<MixerChannel>::definition() {
    static const ClassDefinition definition = define<MixerChannel>(
        Constructor<"MixerChannel(name=\"Channel\")", &construct<MixerChannel, std::string>>{},
        WritableProperty<"name", &MixerChannel::name, &MixerChannel::set_name>{},
        WritableProperty<"gain", &MixerChannel::gain, &MixerChannel::set_gain>{},
        WritableProperty<"pan", &MixerChannel::pan, &MixerChannel::set_pan>{},
        WritableProperty<"mute", &MixerChannel::mute, &MixerChannel::set_mute>{},
        WritableProperty<"solo", &MixerChannel::solo, &MixerChannel::set_solo>{},
        Method<"process_sample($self, sample)", &MixerChannel::process_sample>{},
        Repr<&channel_repr>{},
        Equality{});
    return definition;
}

const ClassDefinition& Bound<Mixer>::definition() {
    static const ClassDefinition definition = define<Mixer>(
        Constructor<"Mixer()", &construct<Mixer>>{},
        WritableProperty<"master_gain", &Mixer::master_gain, &Mixer::set_master_gain, "gain">{},
        Method<"add_channel($self, name)", &Mixer::add_channel>{},
        Method<"remove_channel($self, index)", &Mixer::remove_channel>{},
        Method<"get_channel($self, index)", &Mixer::get_channel>{},
        Method<"set_channel_gain($self, index, gain)", &Mixer::set_channel_gain>{},
        Method<"set_channel_pan($self, index, pan)", &Mixer::set_channel_pan>{},
        Method<"set_channel_mute($self, index, mute)", &Mixer::set_channel_mute>{},
        Method<"set_channel_solo($self, index, solo)", &Mixer::set_channel_solo>{},
        Method<"channel_count($self)", &Mixer::channel_count>{},
        Method<"channel_names($self)", &Mixer::channel_names>{},
        Method<"mix_down($self, channel_buffers)", &Mixer::mix_down,
               "Mix a list of per-channel mono sample buffers into interleaved stereo output.">{},
        Length<&Mixer::channel_count>{},
        Repr<&mixer_repr>{});
    return definition;
}

}  // namespace ostina::py
