// The port walk of MidiInput over the fake system layer.
#include "check.hpp"
#include "errors.hpp"
#include "fake_alsa.hpp"
#include "midi_input.hpp"

#include <string>
#include <vector>

using ostina::midi_input::MidiInput;
using Entries = std::vector<std::string>;

namespace {

constexpr unsigned kGeneric = 0x2, kSynth = 0x400, kApplication = 0x100000, kHardware = 0x10000;
constexpr unsigned kRead = 0x1, kWrite = 0x2, kSubsRead = 0x20, kSubsWrite = 0x40;
constexpr unsigned kSource = kRead | kSubsRead;

const SequencerCalls kFake = fake::sequencer_calls();

constexpr const char* kCreateFailure = "Failed to create MIDI input: MIDI support could not be initialized";

void create(const SequencerCalls* calls, const std::string& name) { MidiInput input(calls, name); }

Entries ports_listed() {
    MidiInput input(&kFake, "ostina");
    return input.list_ports();
}

void check_failure_text(const char* why) {
    CHECK_THROWS(ostina::RuntimeError, kCreateFailure, create(&kFake, "ostina"));
    if (fake_alsa_open_handles() != 0) check::fail(__FILE__, __LINE__, why);
}

void test_client_is_opened_named_and_closed() {
    fake_alsa_reset();
    {
        MidiInput named(&kFake, "Notebook");
        CHECK_EQ(std::string(fake_alsa_client_name(128)), "Notebook");
        MidiInput moved(std::move(named));
        CHECK_EQ(fake_alsa_open_handles(), 1);
    }
    CHECK_EQ(fake_alsa_open_handles(), 0);
    CHECK(fake_alsa_client_name(128) == nullptr);
}

void test_creation_failures_leave_no_client() {
    fake_alsa_reset();
    CHECK_THROWS(ostina::RuntimeError, kCreateFailure, create(&kFake, std::string("a\0b", 3)));
    CHECK_EQ(fake_alsa_open_handles(), 0);
    CHECK_EQ(fake_alsa_calls("snd_seq_close"), 1);
    fake_alsa_fail("snd_seq_set_client_name");
    check_failure_text("naming failure left a client open");
    fake_alsa_reset();
    fake_alsa_fail("snd_seq_open");
    check_failure_text("open failure left a client open");
    CHECK_THROWS(ostina::RuntimeError, kCreateFailure, create(nullptr, "ostina"));
}

void test_type_and_capability_filter() {
    fake_alsa_reset();
    fake_alsa_add_client(20, "Keys");
    fake_alsa_add_port(20, 0, "Out", kGeneric, kSource);
    fake_alsa_add_port(20, 1, "Hardware only", kHardware, kSource | kWrite | kSubsWrite);
    fake_alsa_add_port(20, 2, "Read only", kGeneric, kRead);
    fake_alsa_add_port(20, 3, "Write only", kGeneric, kWrite | kSubsWrite);
    fake_alsa_add_port(20, 4, "Synth", kSynth | kHardware, kSource);
    fake_alsa_add_port(20, 7, "App", kApplication, kSource | kWrite);
    fake_alsa_add_port(20, 9, "Subscribe only", kGeneric, kSubsRead);
    CHECK(ports_listed() == (Entries{"Keys:Out 20:0", "Keys:Synth 20:4", "Keys:App 20:7"}));
}

void test_clients_in_order_and_walk_moves_on() {
    fake_alsa_reset();
    fake_alsa_add_client(14, "Midi Through");
    fake_alsa_add_client(24, "Drums");
    fake_alsa_add_client(0, "System");
    fake_alsa_add_port(0, 1, "Announce", kGeneric, kSource);
    fake_alsa_add_port(24, 5, "Pads", kGeneric, kSource);
    fake_alsa_add_port(14, 0, "Through", kGeneric, kSource);
    fake_alsa_add_port(24, 2, "Kit", kGeneric, kSource);
    CHECK(ports_listed() ==
          (Entries{"System:Announce 0:1", "Midi Through:Through 14:0", "Drums:Kit 24:2", "Drums:Pads 24:5"}));
    CHECK_EQ(fake_alsa_live_records(), 0);
}

void test_unusable_ports_are_left_out() {
    fake_alsa_reset();
    fake_alsa_add_client(20, "Keys");
    fake_alsa_add_client(21, nullptr);
    fake_alsa_add_client(22, "Bad\xff name");
    fake_alsa_add_client(23, "Ünïcode");
    fake_alsa_add_port(20, 0, nullptr, kGeneric, kSource);
    fake_alsa_add_port(20, 1, "\xc0\xaf", kGeneric, kSource);  // overlong "/"
    fake_alsa_add_port(20, 2, "Gone", kGeneric, kSource);
    fake_alsa_vanish_port(20, 2);
    fake_alsa_add_port(20, 3, "\xed\xa0\x80", kGeneric, kSource);  // a surrogate
    fake_alsa_add_port(20, 4, "Stays", kGeneric, kSource);
    fake_alsa_add_port(21, 0, "Nameless client", kGeneric, kSource);
    fake_alsa_add_port(22, 0, "Port", kGeneric, kSource);
    fake_alsa_add_port(23, 0, "Пορт €𝄞", kGeneric, kSource);
    CHECK(ports_listed() == (Entries{"Keys:Stays 20:4", "Ünïcode:Пορт €𝄞 23:0"}));
    CHECK_EQ(fake_alsa_live_records(), 0);
}

void test_a_vanished_client_skips_its_ports() {
    fake_alsa_reset();
    fake_alsa_add_client(20, "Keys");
    fake_alsa_add_port(20, 0, "Out", kGeneric, kSource);
    fake_alsa_fail("snd_seq_get_any_client_info");
    CHECK(ports_listed().empty());
}

void test_own_clients_have_no_ports() {
    fake_alsa_reset();
    MidiInput first(&kFake, "first");
    MidiInput second(&kFake, "second");
    CHECK(first.list_ports().empty());
    CHECK(second.list_ports().empty());
}

void test_failed_record_allocation_ends_the_call() {
    fake_alsa_reset();
    fake_alsa_add_client(20, "Keys");
    fake_alsa_add_port(20, 0, "Out", kGeneric, kSource);
    MidiInput input(&kFake, "ostina");
    fake_alsa_fail("snd_seq_port_info_malloc");
    bool threw = false;
    try {
        (void)input.list_ports();
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
    CHECK_EQ(fake_alsa_live_records(), 0);
}

}  // namespace

int main() {
    test_client_is_opened_named_and_closed();
    test_creation_failures_leave_no_client();
    test_type_and_capability_filter();
    test_clients_in_order_and_walk_moves_on();
    test_unusable_ports_are_left_out();
    test_a_vanished_client_skips_its_ports();
    test_own_clients_have_no_ports();
    test_failed_record_allocation_ends_the_call();
    return check::finish();
}
