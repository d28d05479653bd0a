// AudioFormat and AudioBuffer.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using audio::AudioBuffer;
using audio::AudioFormat;

std::string format_repr(const AudioFormat& format) {
    return concat("AudioFormat(sample_rate=", format.sample_rate, ", channels=", format.channels, ")");
}

std::string format_str(const AudioFormat& format) {
    return concat(format.sample_rate, "Hz ", format.channels, "ch");
}

std::string buffer_repr(const AudioBuffer& buffer) {
    return concat("AudioBuffer(frames=", buffer.frames(), ", sample_rate=", buffer.format().sample_rate,
                  ", channels=", buffer.format().channels, ")");
}

}  // namespace

const ClassDefinition& Bound<AudioFormat>::definition() {
    static const ClassDefinition definition = define<AudioFormat>(
        Constructor<"AudioFormat(sample_rate=44100, channels=2)", &construct<AudioFormat, std::uint32_t, std::uint16_t>>{},
        Property<"sample_rate", &AudioFormat::sample_rate>{},
        Property<"channels", &AudioFormat::channels>{},
        Repr<&format_repr>{},
        Str<&format_str>{},
        Equality{});
    return definition;
}

const ClassDefinition& Bound<AudioBuffer>::definition() {
    static const ClassDefinition definition = define<AudioBuffer>(
        Constructor<"AudioBuffer(frames, sample_rate=44100, channels=1)", &construct<AudioBuffer, std::uint64_t, std::uint32_t, std::uint16_t>>{},
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
