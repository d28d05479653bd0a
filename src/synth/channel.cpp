#include "synth/channel.hpp"

namespace ostina::synth {
namespace {

constexpr std::uint8_t kDefaultVolume = 100;  // as General MIDI starts a channel
constexpr std::uint8_t kCentre = 64;
constexpr std::uint8_t kFull = 127;
constexpr std::uint8_t kModulationWheel = 1;
constexpr std::uint8_t kPortamento = 65;

enum Parameter : std::uint16_t { kBendRange = 0, kFineTuning = 1, kCoarseTuning = 2, kNull = 0x3FFF };

}  // namespace

Channel::Channel(bool drums) : drums_(drums) {
    controllers_[cc::kVolume] = kDefaultVolume;
    controllers_[cc::kPan] = kCentre;
    controllers_[cc::kExpression] = kFull;
    controllers_[cc::kRpn] = controllers_[cc::kRpnFine] = kFull;  // the null parameter
}

void Channel::program_change(std::uint8_t program) {
    program_ = program & 0x7F;
    chosen_bank_ = controllers_[cc::kBankSelect];  // bank select takes effect at the program change
    preset_known_ = false;
}

ChannelAction Channel::control_change(std::uint8_t number, std::uint8_t value) {
    number &= 0x7F;
    value &= 0x7F;
    bool was_sustain = sustain(), was_sostenuto = sostenuto();
    if (number < cc::kAllSoundOff) controllers_[number] = value;
    switch (number) {
        case cc::kRpn:
        case cc::kRpnFine:
            rpn_selected_ = true;
            return ChannelAction::none;
        case cc::kNrpn:
        case cc::kNrpnFine:
            rpn_selected_ = false;  // parameters this core does not have
            return ChannelAction::none;
        case cc::kDataEntry:
            controllers_[cc::kDataEntryFine] = 0;  // a new coarse value starts its fine part afresh
            data_entry();
            return ChannelAction::modulate;
        case cc::kDataEntryFine:
            data_entry();
            return ChannelAction::modulate;
        case cc::kSustain:
            return was_sustain && !sustain() ? ChannelAction::sustain_up : ChannelAction::none;
        case cc::kSostenuto:
            if (!was_sostenuto && sostenuto()) return ChannelAction::sostenuto_down;
            return was_sostenuto && !sostenuto() ? ChannelAction::sostenuto_up : ChannelAction::none;
        case cc::kSoft: return ChannelAction::none;  // it shapes the notes that begin while it is down
        case cc::kAllSoundOff: return ChannelAction::all_sound_off;
        case cc::kResetControllers:
            reset_controllers();
            return ChannelAction::reset;
        case cc::kAllNotesOff: return ChannelAction::all_notes_off;
        default:
            if (number >= cc::kOmniOff) return ChannelAction::all_notes_off;
            return ChannelAction::modulate;
    }
}

void Channel::data_entry() {
    if (!rpn_selected_) return;
    auto parameter = static_cast<std::uint16_t>(controllers_[cc::kRpn] << 7 | controllers_[cc::kRpnFine]);
    std::uint8_t coarse = controllers_[cc::kDataEntry], fine = controllers_[cc::kDataEntryFine];
    switch (parameter) {
        case kBendRange: bend_cents_ = static_cast<std::uint16_t>(coarse * 100 + (fine < 100 ? fine : 99)); break;
        case kFineTuning: fine_tuning_ = coarse << 7 | fine; break;
        case kCoarseTuning: coarse_tuning_ = coarse; break;
        default: break;
    }
}

// As General MIDI recommends: volume, pan, bank and program stay.
void Channel::reset_controllers() {
    for (std::uint8_t number : {kModulationWheel, kPortamento, cc::kSustain, cc::kSostenuto, cc::kSoft})
        controllers_[number] = 0;
    controllers_[cc::kExpression] = kFull;
    controllers_[cc::kRpn] = controllers_[cc::kRpnFine] = kFull;
    controllers_[cc::kNrpn] = controllers_[cc::kNrpnFine] = kFull;
    rpn_selected_ = false;
    pitch_wheel_ = 8192;
    pressure_ = 0;
    key_pressure_.fill(0);
}

std::optional<std::uint64_t> Channel::lift(std::uint8_t key) {
    auto& notes = held_[key & 0x7F];
    if (notes.empty()) return std::nullopt;
    std::uint64_t note = notes.front();
    notes.pop_front();
    return note;
}

std::vector<std::uint64_t> Channel::lift_all() {
    std::vector<std::uint64_t> notes;
    for (auto& key : held_) {
        notes.insert(notes.end(), key.begin(), key.end());
        key.clear();
    }
    return notes;
}

ControllerState Channel::state(std::uint8_t key, std::uint8_t velocity) const {
    ControllerState state;
    state.velocity = velocity;
    state.key = key;
    state.poly_pressure = key_pressure_[key & 0x7F];
    state.channel_pressure = pressure_;
    state.pitch_wheel = pitch_wheel_;
    state.pitch_wheel_sensitivity = bend_cents_ / 100.0;
    state.controllers = controllers_.data();
    return state;
}

ChannelTuning Channel::tuning() const {
    double fine = (fine_tuning_ - 8192) * (100.0 / 8192.0);  // +-100 cents over the 14 bits
    double coarse = (coarse_tuning_ - 64) * 100.0;
    return {fine + coarse, soft()};
}

}  // namespace ostina::synth
