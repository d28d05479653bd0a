// MidiInput.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using midi_input::MidiInput;

// The count is taken afresh: ports come and go between calls.
std::string midi_input_repr(const MidiInput& input) {
    return concat("MidiInput(ports=", input.list_ports().size(), ")");
}

}  // namespace

const ClassDefinition& Bound<MidiInput>::definition() {
    static const ClassDefinition definition = define<MidiInput>(
        Constructor<"MidiInput(client_name=\"ostina\")", &construct<MidiInput, std::string>>{},
        Method<"list_ports($self)", &MidiInput::list_ports>{},
        Repr<&midi_input_repr>{});
    return definition;
}

}  // namespace ostina::py
