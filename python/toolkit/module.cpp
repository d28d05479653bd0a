// The module entry: one exec step registers every class in table order.
#include "classes.hpp"

namespace ostina::py {
namespace {

#define OSTINA_REGISTRATION(area, Name) registration<area::Name>(),

constexpr Registration kClasses[] = {OSTINA_CLASSES(OSTINA_REGISTRATION)};

#undef OSTINA_REGISTRATION

int exec_module(PyObject* module) { return add_classes(module, kClasses); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "ostina", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ostina::py

PyMODINIT_FUNC PyInit_ostina() { return PyModuleDef_Init(&ostina::py::module_definition); }
