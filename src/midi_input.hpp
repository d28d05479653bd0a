// A client of the ALSA sequencer that lists the ports a MIDI input could
// subscribe to. It only lists: it never connects, receives or creates a port.
#pragma once

#include <string>
#include <vector>

#include "alsa.hpp"

namespace ostina::midi_input {

class MidiInput {
public:
    // Registers a sequencer client named `client_name` through libasound;
    // RuntimeError when the library, the sequencer or the naming fails.
    explicit MidiInput(const std::string& client_name);
    // The same over a given system layer (tests hand in a fake one).
    MidiInput(const alsa::SequencerCalls* calls, const std::string& client_name);

    MidiInput(MidiInput&& other) noexcept;
    MidiInput& operator=(MidiInput&&) = delete;
    ~MidiInput();  // closing the handle removes the client

    // "{client_name}:{port_name} {client}:{port}" for every readable MIDI
    // port, in the sequencer's client order, then port order. Ports that
    // vanish or have unusable names while listing are left out.
    std::vector<std::string> list_ports() const;

private:
    const alsa::SequencerCalls* calls_;
    alsa::snd_seq_t* handle_;
};

}  // namespace ostina::midi_input
