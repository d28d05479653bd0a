// The module entry: one exec step registers every class in table order.
#include "classes.hpp"

namespace ostina::py {
namespace {

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

template <BoundType T>
constexpr Registration registration() {
    return {Bound<T>::name, &type_of<T>};
}

#define OSTINA_REGISTRATION(area, Name) registration<area::Name>(),

constexpr Registration kClasses[] = {OSTINA_CLASSES(OSTINA_REGISTRATION)};

#undef OSTINA_REGISTRATION

int exec_module(PyObject* module) {
    return guarded([&] {
        if (!PyModule_Check(module)) raise_cast_failure(module, "PyModule");
        for (const Registration& entry : kClasses) {
            auto* type = reinterpret_cast<PyObject*>(entry.type());
            if (type == nullptr || PyModule_AddObjectRef(module, entry.name, type) < 0)
                throw PythonError{};
        }
        return 0;
    }, -1);
}

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
