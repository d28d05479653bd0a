// The module entry: one exec step registers every class in table order.
#include "classes.hpp"

namespace ostina::py {
namespace {

#define OSTINA_REGISTRATION(area, Name) registration<area::Name>(),

constexpr Registration kClasses[] = {OSTINA_CLASSES(OSTINA_REGISTRATION)};

#undef OSTINA_REGISTRATION

}  // namespace
}  // namespace ostina::py

PyMODINIT_FUNC PyInit_ostina() { return ostina::py::module_init<ostina::py::kClasses, "ostina", "">(); }
