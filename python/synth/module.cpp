// The synthesizer core's module entry: one exec step registers every class
// in table order.
#include "classes.hpp"

namespace ostina::py {
namespace {

#define OSTINA_REGISTRATION(Type, Name) registration<Type>(),

constexpr Registration kClasses[] = {OSTINA_SYNTH_CLASSES(OSTINA_REGISTRATION)};

#undef OSTINA_REGISTRATION

}  // namespace
}  // namespace ostina::py

PyMODINIT_FUNC PyInit__synth() {
    return ostina::py::module_init<ostina::py::kClasses, "ostina_render._synth",
                                   "The synthesizer core of ostina-render.">();
}
