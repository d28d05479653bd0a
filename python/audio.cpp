// AudioFormat and AudioBuffer.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using audio::AudioBuffer;
using audio::AudioFormat;

AudioFormat make_format(std::uint32_t sample_rate, std::uint16_t channels) {
    return {sample_rate, channels};
}

std::string format_repr(const AudioFormat& format) {
    return concat("AudioFormat(sample_rate=", format.sample_rate, ", channels=", format.channels, ")");
}

std::string format_str(const AudioFormat& format) {
    return concat(format.sample_rate, "Hz ", format.channels, "ch");
}

AudioBuffer make_buffer(std::uint64_t frames, std::uint32_t sample_rate, std::uint16_t channels) {
    return AudioBuffer(frames, sample_rate, channels);
}

std::string buffer_repr(const AudioBuffer& buffer) {
    return concat("AudioBuffer(frames=", buffer.frames(), ", sample_rate=", buffer.format().sample_rate,
                  ", channels=", buffer.format().channels, ")");
}

}  // namespace

const ClassDefinition& Bound<AudioFormat>::definition() {
    static const ClassDefinition definition = define<AudioFormat>(
        Constructor<"AudioFormat(sample_rate=44100, channels=2)", &make_format>{},
        Property<"sample_rate", &AudioFormat::sample_rate>{},
        Property<"channels", &AudioFormat::channels>{},
        Repr<&format_repr>{},
        Str<&format_str>{},
        Equality<AudioFormat>{});
    return definition;
}

const ClassDefinition& Bound<AudioBuffer>::definition() {
    static const ClassDefinition definition = define<AudioBuffer>(
        Constructor<"AudioBuffer(frames, sample_rate=44100, channels=1)", &make_buffer>{},
        Property<"frames", &AudioBuffer::frames>{},
        Property<"format", &AudioBuffer::format>{},
        Method<"sample_at($self, frame, channel)", &AudioBuffer::sample_at>{},
        Method<"set_sample($self, frame, channel, value)", &AudioBuffer::set_sample>{},
        Method<"clear($self)", &AudioBuffer::clear>{},
        Method<"to_list($self)", &AudioBuffer::samples>{},
        Length<&AudioBuffer::size>{},
        Repr<&buffer_repr>{});
    return definition;
}

}  // namespace ostina::py
