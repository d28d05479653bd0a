// A test-only extension over the binding frame, reaching the conversions and
// property rules that the module's own classes do not use yet.
#include "frame.hpp"

namespace probe {

struct Probe {
    bool flag = false;
    std::string text = "start";
    float level = 0.0f;
};

}  // namespace probe

namespace ostina::py {

template <>
struct Bound<probe::Probe> {
    static constexpr bool value = true;
    static constexpr const char* name = "Probe";
    static const ClassDefinition& definition();
};

namespace {

probe::Probe make_probe(bool flag, std::string text) { return {flag, std::move(text), 0.0f}; }
std::vector<float> samples(std::vector<float> data) { return data; }
std::vector<std::vector<float>> nested(std::vector<std::vector<float>> channel_buffers) {
    return channel_buffers;
}
std::tuple<std::string, bool> pair(std::string text, bool flag) { return {text, flag}; }
void set_flag(probe::Probe& probe, bool flag) { probe.flag = flag; }
void set_text(probe::Probe& probe, std::string text) { probe.text = std::move(text); }
void set_level(probe::Probe& probe, float level) { probe.level = level; }

}  // namespace

const ClassDefinition& Bound<probe::Probe>::definition() {
    static const ClassDefinition definition = define<probe::Probe>(
        Constructor<"Probe(flag=False, text=\"Channel\")", &make_probe>{},
        StaticMethod<"samples(data)", &samples>{},
        StaticMethod<"nested(channel_buffers)", &nested>{},
        StaticMethod<"pair(text, flag)", &pair>{},
        WritableProperty<"flag", &probe::Probe::flag, &set_flag, "solo">{},
        WritableProperty<"text", &probe::Probe::text, &set_text>{},
        WritableProperty<"level", &probe::Probe::level, &set_level, "gain">{});
    return definition;
}

namespace {

int exec_probe(PyObject* module) {
    auto* type = reinterpret_cast<PyObject*>(type_of<probe::Probe>());
    return type == nullptr ? -1 : PyModule_AddObjectRef(module, "Probe", type);
}

PyModuleDef_Slot probe_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_probe)}, {0, nullptr}};
PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "frame_probe", "", 0, nullptr, probe_slots,
                            nullptr, nullptr, nullptr};

}  // namespace
}  // namespace ostina::py

PyMODINIT_FUNC PyInit_frame_probe() { return PyModuleDef_Init(&ostina::py::probe_module); }
