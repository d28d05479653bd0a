// AudioOutput.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using audio_output::AudioOutput;

std::string audio_output_repr(const AudioOutput& output) {
    return concat("AudioOutput(device='", output.device_name(), "', playing=",
                  output.is_playing(), ")");
}

}  // namespace

const ClassDefinition& Bound<AudioOutput>::definition() {
    static const ClassDefinition definition = define<AudioOutput>(
        Constructor<"AudioOutput(sample_rate=44100, channels=2, buffer_size=512)",
                    &construct<AudioOutput, std::uint32_t, std::uint16_t, std::uint32_t>>{},
        StaticMethod<"list_devices()", static_cast<std::vector<std::string> (*)()>(&audio_output::list_devices)>{},
        Method<"device_name($self)", &AudioOutput::device_name>{},
        Method<"is_playing($self)", &AudioOutput::is_playing>{},
        Method<"stop($self)", &AudioOutput::stop>{},
        Repr<&audio_output_repr>{});
    return definition;
}

}  // namespace ostina::py
