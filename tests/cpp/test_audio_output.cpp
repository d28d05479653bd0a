// The card and hint walks of AudioOutput over the fake system layer, and the
// process-wide configuration hold.
#include "audio_output.hpp"
#include "check.hpp"
#include "errors.hpp"
#include "fake_alsa.hpp"

#include <string>
#include <vector>

using namespace ostina::audio_output;
using Names = std::vector<std::string>;

namespace {

const PcmCalls kFake = fake::pcm_calls();
constexpr const char* kHostUnavailable = "the default host should always be available: HostUnavailable";

Names listed() { return list_devices(&kFake); }

void hold(const PcmCalls* calls) { ConfigHold held(calls); }

void test_display_names() {
    struct Case {
        fake::Text description;
        std::string name;
    };
    const Case cases[] = {
        {std::nullopt, "pcm"},       {"", "pcm"},           {"One", "One"},
        {"One\nTwo", "One"},         {"One\r\nTwo", "One"}, {"\nTwo", ""},
        {"\r\nTwo", ""},             {"A\rB", "A\rB"},      {"Tail\r", "Tail\r"},
        {"One\r\r\nTwo", "One\r"},   {"One\n", "One"},
    };
    for (const Case& c : cases)
        if (display_name({"pcm", c.description, Direction::both}) != c.name)
            check::fail(__FILE__, __LINE__, "display name of " + c.description.value_or("<none>"));
}

void test_hold_count() {
    fake_alsa_reset();
    CHECK_EQ(ConfigHold::holders(), 0);
    {
        ConfigHold first(&kFake);
        ConfigHold second(&kFake);
        ConfigHold moved(std::move(first));
        CHECK_EQ(ConfigHold::holders(), 2);
        CHECK_EQ(fake_alsa_calls("snd_config_update"), 1);
        CHECK_EQ(fake_alsa_calls("snd_config_update_free_global"), 0);
    }
    CHECK_EQ(ConfigHold::holders(), 0);
    CHECK_EQ(fake_alsa_calls("snd_config_update_free_global"), 1);
    hold(&kFake);
    CHECK_EQ(fake_alsa_calls("snd_config_update"), 2);
    CHECK_EQ(fake_alsa_calls("snd_config_update_free_global"), 2);
}

void test_failed_update_takes_no_hold() {
    fake_alsa_reset();
    fake_alsa_fail("snd_config_update");
    CHECK_THROWS(ostina::Fault, kHostUnavailable, hold(&kFake));
    CHECK_THROWS(ostina::Fault, kHostUnavailable, listed());
    CHECK_THROWS(ostina::Fault, kHostUnavailable, AudioOutput(&kFake, 44100, 2, 512));
    CHECK_THROWS(ostina::Fault, kHostUnavailable, hold(nullptr));
    CHECK_EQ(ConfigHold::holders(), 0);
    CHECK_EQ(fake_alsa_calls("snd_config_update"), 3);
    CHECK_EQ(fake_alsa_calls("snd_config_update_free_global"), 0);
    CHECK_EQ(fake_alsa_calls("snd_card_next"), 0);
}

void test_output_object_holds_while_it_lives() {
    fake_alsa_reset();
    {
        AudioOutput output(&kFake, 0, 70, 0);
        CHECK_EQ(output.device_name(), "Default Audio Device");
        CHECK(!output.is_playing());
        output.stop();
        CHECK(!output.is_playing());
        CHECK(listed().empty());
        CHECK_EQ(ConfigHold::holders(), 1);
        CHECK_EQ(fake_alsa_calls("snd_config_update"), 1);  // the listing joined the object's hold
    }
    CHECK_EQ(ConfigHold::holders(), 0);
    CHECK_EQ(fake_alsa_calls("snd_config_update_free_global"), 1);
}

void add_onboard_card() {
    fake_alsa_add_card(0, "Onboard");
    fake_alsa_add_pcm(0, 0, 1, 0, "Analog", nullptr);
}

void test_card_entries_follow_hints() {
    fake_alsa_reset();
    add_onboard_card();
    fake_alsa_add_pcm(0, 1, 0, 1, nullptr, "Mic");
    fake_alsa_add_pcm(0, 3, 1, 1, "Duplex", "Duplex capture");
    fake_alsa_add_card(2, "USB");
    fake_alsa_add_pcm(2, 0, 1, 0, "Out", nullptr);
    fake_alsa_add_hint("default", "Default device", nullptr);
    CHECK(listed() == (Names{"Default device", "Onboard, Analog", "Onboard, Analog", "Onboard, Duplex",
                             "Onboard, Duplex", "USB, Out", "USB, Out"}));
    CHECK_EQ(fake_alsa_live_records(), 0);
    CHECK_EQ(ConfigHold::holders(), 0);
}

void test_card_walk_records() {
    fake_alsa_reset();
    add_onboard_card();
    fake_alsa_add_pcm(0, 1, 0, 1, "Play name", "Mic");
    fake_alsa_add_pcm(0, 3, 1, 1, "Duplex", "Duplex capture");
    fake_alsa_add_pcm(0, 4, 0, 0, "Nothing", "Nothing");
    auto found = walk_cards(kFake);
    CHECK_EQ(found.size(), 3u);
    if (found.size() != 3) return;
    CHECK(found[0].direction == Direction::playback_only && found[0].pcm_name == "Analog");
    CHECK(found[1].direction == Direction::capture_only && found[1].pcm_name == "Mic");
    CHECK(found[2].direction == Direction::both && found[2].pcm_name == "Duplex");
    CHECK(found[2].card == 0 && found[2].device == 3 && found[2].card_name == "Onboard");
    CHECK_EQ(fake_alsa_live_records(), 0);
}

void test_unreadable_names() {
    fake_alsa_reset();
    add_onboard_card();
    fake_alsa_add_pcm(0, 2, 1, 0, nullptr, nullptr);
    fake_alsa_add_pcm(0, 5, 1, 0, "Bad\xff", nullptr);
    fake_alsa_add_card(1, "\xf5\x80\x80\x80");  // beyond U+10FFFF
    fake_alsa_add_pcm(1, 0, 1, 0, "Line", nullptr);
    CHECK(listed() == (Names{"Onboard, Analog", "Onboard, Analog", "Onboard, Device 2", "Onboard, Device 2",
                             "Onboard, Device 5", "Onboard, Device 5", "Line", "Line"}));
    for (const char* failing : {"snd_ctl_card_info", "snd_ctl_card_info_malloc"}) {
        fake_alsa_reset();
        fake_alsa_add_card(0, "Onboard");
        fake_alsa_add_pcm(0, 2, 1, 0, nullptr, nullptr);
        fake_alsa_fail(failing);
        CHECK(listed() == (Names{"Device 2", "Device 2"}));
    }
}

void test_failing_card_calls_skip_devices() {
    for (const char* failing : {"snd_ctl_open", "snd_pcm_info_malloc", "snd_ctl_pcm_info", "snd_card_next",
                                "snd_ctl_pcm_next_device"}) {
        fake_alsa_reset();
        add_onboard_card();
        fake_alsa_add_hint("default", nullptr, nullptr);
        fake_alsa_fail(failing);
        if (listed() != Names{"default"}) check::fail(__FILE__, __LINE__, std::string("failing ") + failing);
        CHECK_EQ(fake_alsa_live_records(), 0);
    }
}

void test_hint_directions_and_names() {
    fake_alsa_reset();
    fake_alsa_add_hint("out", "Output hint", "Output");
    fake_alsa_add_hint("in", "Input hint", "Input");
    fake_alsa_add_hint("plain", "No IOID", nullptr);
    fake_alsa_add_hint("odd", "Other IOID", "input");
    fake_alsa_add_hint("bad", "Broken IOID", "Inp\xffut");
    fake_alsa_add_hint(nullptr, "No name", nullptr);
    fake_alsa_add_hint("\xff", "Broken name", nullptr);
    fake_alsa_add_hint("two", "First line\nSecond line", nullptr);
    fake_alsa_add_hint("crlf", "First\r\nSecond", nullptr);
    fake_alsa_add_hint("empty", "", nullptr);
    fake_alsa_add_hint("nodesc", nullptr, nullptr);
    fake_alsa_add_hint("baddesc", "\xc3", nullptr);
    fake_alsa_add_hint("plain", "Again", nullptr);
    CHECK(listed() == (Names{"Output hint", "No IOID", "Other IOID", "Broken IOID", "First line", "First",
                             "empty", "nodesc", "baddesc", "Again"}));
    CHECK_EQ(fake_alsa_calls("snd_device_name_get_hint"), 3 * 13);
    CHECK_EQ(fake_alsa_live_records(), 0);
}

void test_hints_suppress_exact_card_ids() {
    fake_alsa_reset();
    add_onboard_card();
    fake_alsa_add_hint("hw:CARD=0,DEV=0", "Hinted hw", nullptr);
    CHECK(listed() == (Names{"Hinted hw", "Onboard, Analog"}));
    fake_alsa_reset();
    add_onboard_card();
    fake_alsa_add_hint("plughw:CARD=0,DEV=0", "Hinted plughw", "Input");  // suppresses though not listed
    fake_alsa_add_hint("hw:CARD=Onboard,DEV=0", "Named card", nullptr);
    CHECK(listed() == (Names{"Named card", "Onboard, Analog"}));
}

void test_nothing_to_list() {
    fake_alsa_reset();
    fake_alsa_fail("snd_device_name_hint");
    CHECK(listed().empty());
    add_onboard_card();
    CHECK(listed() == (Names{"Onboard, Analog", "Onboard, Analog"}));
    fake_alsa_reset();
    fake_alsa_add_card(0, "Capture card");
    fake_alsa_add_pcm(0, 0, 0, 1, nullptr, "Mic");
    fake_alsa_add_hint("in", "Input", "Input");
    CHECK(listed().empty());
}

}  // namespace

int main() {
    test_display_names();
    test_hold_count();
    test_failed_update_takes_no_hold();
    test_output_object_holds_while_it_lives();
    test_card_entries_follow_hints();
    test_card_walk_records();
    test_unreadable_names();
    test_failing_card_calls_skip_devices();
    test_hint_directions_and_names();
    test_hints_suppress_exact_card_ids();
    test_nothing_to_list();
    return check::finish();
}
