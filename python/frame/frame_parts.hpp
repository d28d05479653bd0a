// Binding frame: the parts a class table is made of (constructor, methods,
// properties, protocols) and `define`, which assembles them.
#pragma once

#include "frame_convert.hpp"
#include "frame_signature.hpp"
#include "staged.hpp"

#include <array>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ostina::py {

// ---------------------------------------------------------------------------
// What a table entry's function looks like: its receiver (if any), whether it
// changes the receiver, and its parameters.

template <class... Params>
struct ParameterList {
    static constexpr std::size_t size = sizeof...(Params);
    using Values = std::tuple<HeldArgument<std::remove_cvref_t<Params>>...>;
    using Defaults = std::tuple<std::optional<std::remove_cvref_t<Params>>...>;

    // A parsed signature with its defaults read once, at type creation.
    struct Call {
        Signature signature;
        Defaults defaults;
    };

    static Call prepare(Signature signature) {
        Defaults defaults = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Defaults{default_of<std::remove_cvref_t<Params>>(signature, I)...};
        }(std::index_sequence_for<Params...>{});
        return {std::move(signature), std::move(defaults)};
    }

    // Converts every argument in parameter order (braces keep that order);
    // a parameter left out takes its default.
    static Values convert(const Call& call, PyObject* const* slots) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Values{argument<std::remove_cvref_t<Params>>(call, std::get<I>(call.defaults), slots[I], I)...};
        }(std::index_sequence_for<Params...>{});
    }

private:
    template <class T>
    static std::optional<T> default_of(const Signature& signature, std::size_t index) {
        const auto& text = signature.parameters[index].default_text;
        if (!text) return std::nullopt;
        return parse_default<T>(signature, *text);
    }

    // Converts one argument, naming the parameter in a TypeError.
    template <class T>
    static HeldArgument<T> argument(const Call& call, const std::optional<T>& fallback, PyObject* given,
                                    std::size_t index) {
        if (given == nullptr) return HeldArgument<T>(*fallback);  // binding only leaves out parameters with defaults
        try {
            return Convert<HeldArgument<T>>::from(given);
        } catch (const PythonError&) {
            name_argument_in_type_error(call.signature.parameters[index].name);
            throw;
        }
    }
};

template <class F>
struct Callable;

template <class R, class... A>
struct Callable<R (*)(A...)> {
    using Params = ParameterList<A...>;
};

// Functions whose receiver is the object: members, or free functions taking
// it first. A const receiver is read shared, any other taken exclusively.
template <class F>
struct Receiving;

template <class R, class Self, class... A>
struct Receiving<R (*)(Self&, A...)> {
    using Result = R;
    using Receiver = std::remove_const_t<Self>;
    static constexpr bool changes = !std::is_const_v<Self>;
    using Params = ParameterList<A...>;
};

template <class R, class Self, class... A>
struct Receiving<R (*)(Self, A...)> {  // a small value taken by copy: read shared
    using Result = R;
    using Receiver = Self;
    static constexpr bool changes = false;
    using Params = ParameterList<A...>;
};

template <class R, class C, class... A>
struct Receiving<R (C::*)(A...)> {
    using Result = R;
    using Receiver = C;
    static constexpr bool changes = true;
    using Params = ParameterList<A...>;
};

template <class R, class C, class... A>
struct Receiving<R (C::*)(A...) const> {
    using Result = R;
    using Receiver = C;
    static constexpr bool changes = false;
    using Params = ParameterList<A...>;
};

template <class R, class C>
struct Receiving<R C::*> {
    using Result = R;
    using Receiver = C;
    static constexpr bool changes = false;
    using Params = ParameterList<>;
};

// Runs `call` and converts what it returns; a void result becomes None.
template <class Call>
PyObject* result_of(Call&& call) {
    if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_python(call());
    }
}

// A str made once and shared by every result that carries it (a name out of
// a fixed set) or every lookup by it, instead of a new one per call: the
// interpreter's attribute cache keys on the name's address, so a fresh name
// would also take a new cache slot. Borrowed: it lives for good.
template <FixedString Text>
PyObject* shared_text() {
    static PyObject* text = nullptr;
    if (text == nullptr) text = checked(PyUnicode_InternFromString(Text.text)).release();
    return text;
}

template <class T>
inline constexpr bool is_staged = false;
template <class Result, class Change>
inline constexpr bool is_staged<Staged<Result, Change>> = true;

// Runs `call` on `receiver` and converts what it returns. A staged change is
// applied only once its result has been converted, so a call that fails
// late leaves the receiver as it was.
template <class Receiver, class Call>
PyObject* result_on(Receiver& receiver, Call&& call) {
    if constexpr (is_staged<std::invoke_result_t<Call>>) {
        auto staged = call();
        Ref result = checked(to_python(std::move(staged.result)));
        staged.change.apply(receiver);
        return result.release();
    } else {
        return result_of(std::forward<Call>(call));
    }
}

// Assigns one field of an engine value: a setter for a plain data member.
template <class M>
struct MemberOf;
template <class C, class V>
struct MemberOf<V C::*> {
    using Class = C;
    using Value = V;
};

template <auto Member>
void assign(typename MemberOf<decltype(Member)>::Class& object, typename MemberOf<decltype(Member)>::Value value) {
    object.*Member = std::move(value);
}

// A poll for long engine loops: runs pending signal handlers and unwinds the
// loop with the exception a handler raised (KeyboardInterrupt for Ctrl-C).
void check_signals();

// Reads the receiver under shared access and converts what `read` returns.
template <class Receiver, class Read>
PyObject* read_shared(PyObject* self, Read&& read) {
    return guarded([&] {
        Access<Receiver, false> receiver(self);
        return result_of([&]() -> decltype(auto) { return read(receiver.value()); });
    });
}

// A constructor that hands its converted arguments to the engine type's own.
template <class T, class... Args>
T construct(Args... args) {
    return T{std::move(args)...};
}

// ---------------------------------------------------------------------------
// The class table. Each part adds itself to the table of class `Owner`; parts
// keep their parsed signatures per owner, so one entry may serve two classes.

struct ClassDefinition {
    ClassDefinition() = default;
    ClassDefinition(ClassDefinition&&) = default;
    ClassDefinition(const ClassDefinition&) = delete;
    ClassDefinition& operator=(const ClassDefinition&) = delete;

    std::string name;            // "AudioBuffer"
    std::string qualified_name;  // "builtins.AudioBuffer"
    std::string docstring;
    int basic_size = 0;
    std::vector<PyType_Slot> slots;  // the table's own; create_type adds the rest
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> properties;
};

void add_slot(ClassDefinition& definition, int slot, void* function);
void add_property(ClassDefinition& definition, const PyGetSetDef& property);

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArguments = PyObject* (*)(PyObject*, PyObject*);

// A method with parameters binds them by the interpreter's fast convention; one
// without leaves "takes no arguments" to the interpreter.
void add_method(ClassDefinition& definition, const Signature& signature, FastCall with_arguments,
                NoArguments without_arguments, bool is_static);

// Methods ---------------------------------------------------------------

// Bind, take the receiver, then convert and run `body(receiver, values)`: a
// conversion that calls back into a receiver being changed meets the held access.
template <class Receiver, bool Exclusive, class Params, class Body>
PyObject* call_method(const typename Params::Call& call, PyObject* self, PyObject* const* args,
                      Py_ssize_t count, PyObject* names, Body&& body) {
    return guarded([&] {
        std::array<PyObject*, Params::size> slots{};
        bind_arguments(call.signature, slots.data(), args, count, names);
        Access<Receiver, Exclusive> receiver(self);
        auto values = Params::convert(call, slots.data());
        return body(receiver.value(), values);
    });
}

template <FixedString Text, auto Function, FixedString Doc = "">
struct Method {
    using Shape = Receiving<decltype(Function)>;
    using Receiver = typename Shape::Receiver;
    using Params = typename Shape::Params;
    // A staged change is the receiver's change even from a const function.
    static constexpr bool kExclusive = Shape::changes || is_staged<typename Shape::Result>;
    static_assert(parameter_count(Text.view()) == Params::size,
                  "the text signature and the function disagree on the parameters");

    template <class Owner>
    static inline typename Params::Call call;

    template <class Owner>
    static PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t count,
                                    PyObject* names) {
        return call_method<Receiver, kExclusive, Params>(
            call<Owner>, self, args, count, names, [](auto& receiver, auto& values) {
                return result_on(receiver, [&]() -> decltype(auto) {
                    return std::apply([&](auto&... value) -> decltype(auto) {
                        return std::invoke(Function, receiver, std::move(value)...);
                    }, values);
                });
            });
    }

    static PyObject* without_arguments(PyObject* self, PyObject*) {
        if constexpr (Params::size == 0) {
            return guarded([&] {
                Access<Receiver, kExclusive> receiver(self);
                return result_on(receiver.value(), [&]() -> decltype(auto) { return std::invoke(Function, receiver.value()); });
            });
        } else {
            return nullptr;  // never registered: the method binds its parameters
        }
    }

    template <class Owner>
    void apply(ClassDefinition& definition) const {
        call<Owner> = Params::prepare(parse_signature(definition.name, Text.view(), Doc.view(), false));
        add_method(definition, call<Owner>.signature, &with_arguments<Owner>, &without_arguments, false);
    }
};

// Static methods and constructors: no receiver, all arguments converted first.
template <FixedString Text, auto Function>
struct FreeCall {
    using Params = typename Callable<decltype(Function)>::Params;
    static_assert(parameter_count(Text.view()) == Params::size,
                  "the text signature and the function disagree on the parameters");

    template <class Owner>
    static inline typename Params::Call call;

    template <class Owner>
    static PyObject* run(PyObject* const* slots) {
        auto values = Params::convert(call<Owner>, slots);
        return result_of([&]() -> decltype(auto) { return std::apply(Function, std::move(values)); });
    }

    template <class Owner>
    static PyObject* with_arguments(PyObject*, PyObject* const* args, Py_ssize_t count, PyObject* names) {
        return guarded([&] {
            std::array<PyObject*, Params::size> slots{};
            bind_arguments(call<Owner>.signature, slots.data(), args, count, names);
            return run<Owner>(slots.data());
        });
    }

    template <class Owner>
    static PyObject* without_arguments(PyObject*, PyObject*) {
        if constexpr (Params::size == 0) {
            return guarded([&] { return run<Owner>(nullptr); });
        } else {
            return nullptr;  // never registered: the method binds its parameters
        }
    }

    template <class Owner>
    static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            std::array<PyObject*, Params::size> slots{};
            bind_arguments(call<Owner>.signature, slots.data(), args, kwargs);
            return run<Owner>(slots.data());
        });
    }

    template <class Owner>
    static const Signature& prepare(const ClassDefinition& definition, bool constructor) {
        call<Owner> = Params::prepare(parse_signature(definition.name, Text.view(), "", constructor));
        return call<Owner>.signature;
    }
};

template <FixedString Text, auto Function>
struct StaticMethod {
    using Call = FreeCall<Text, Function>;
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        const Signature& signature = Call::template prepare<Owner>(definition, false);
        add_method(definition, signature, &Call::template with_arguments<Owner>,
                   &Call::template without_arguments<Owner>, true);
    }
};

// The constructor: its text signature is also the class docstring.
template <FixedString Text, auto Function>
struct Constructor {
    using Call = FreeCall<Text, Function>;
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        definition.docstring = Call::template prepare<Owner>(definition, true).docstring;
        add_slot(definition, Py_tp_new, reinterpret_cast<void*>(&Call::template construct<Owner>));
    }
};

// Properties --------------------------------------------------------------

template <auto Getter>
PyObject* get_property(PyObject* self, void*) {
    return read_shared<typename Receiving<decltype(Getter)>::Receiver>(
        self, [](const auto& value) -> decltype(auto) { return std::invoke(Getter, value); });
}

int refuse_delete();

// Converts first (naming `Parameter` in a TypeError), then takes the receiver.
template <auto Setter, FixedString Parameter>
int set_property(PyObject* self, PyObject* given, void*) {
    if (given == nullptr) return refuse_delete();
    using Shape = Receiving<decltype(Setter)>;
    using Value = std::tuple_element_t<0, typename Shape::Params::Values>;
    return guarded([&] {
        Value value;
        try {
            value = Convert<Value>::from(given);
        } catch (const PythonError&) {
            name_argument_in_type_error(Parameter.view());
            throw;
        }
        Access<typename Shape::Receiver, true> receiver(self);
        std::invoke(Setter, receiver.value(), std::move(value));
        return 0;
    }, -1);
}

template <FixedString Name, auto Getter>
struct Property {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_property(definition, {Name.text, &get_property<Getter>, nullptr, nullptr, nullptr});
    }
};

template <FixedString Name, auto Getter, auto Setter, FixedString Parameter = Name>
struct WritableProperty {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_property(definition, {Name.text, &get_property<Getter>, &set_property<Setter, Parameter>,
                                  nullptr, nullptr});
    }
};

// Protocols ---------------------------------------------------------------

template <auto Text>
PyObject* text_slot(PyObject* self) {
    return read_shared<typename Receiving<decltype(Text)>::Receiver>(
        self, [](const auto& value) -> std::string { return std::invoke(Text, value); });
}

template <auto Text>
struct Repr {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_slot(definition, Py_tp_repr, reinterpret_cast<void*>(&text_slot<Text>));
    }
};

template <auto Text>
struct Str {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_slot(definition, Py_tp_str, reinterpret_cast<void*>(&text_slot<Text>));
    }
};

template <auto Size>
Py_ssize_t length_slot(PyObject* self) {
    return guarded([&] {
        Access<typename Receiving<decltype(Size)>::Receiver, false> receiver(self);
        return static_cast<Py_ssize_t>(std::invoke(Size, receiver.value()));
    }, Py_ssize_t{-1});
}

// len() through the mapping slot only; truth follows it.
template <auto Size>
struct Length {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_slot(definition, Py_mp_length, reinterpret_cast<void*>(&length_slot<Size>));
    }
};

PyObject* negated_equality(PyObject* self, PyObject* other);

template <class T>
PyObject* compare_slot(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) return negated_equality(self, other);
    if (op != Py_EQ || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    prepare_thread();
    try {
        Access<T, false> left(self), right(other);
        return PyBool_FromLong(left.value() == right.value());
    } catch (const PythonError&) {
        // An object that cannot be read right now compares as "not implemented".
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
}

// == on all value fields; != negates the interpreter's ==; no ordering, no hash.
struct Equality {
    template <class Owner>
    void apply(ClassDefinition& definition) const {
        add_slot(definition, Py_tp_richcompare, reinterpret_cast<void*>(&compare_slot<Owner>));
    }
};

// A module's init: its one exec step adds `Classes` (an array of
// Registration) in order. The definition lives as long as the process.
template <const auto& Classes, FixedString Name, FixedString Doc>
PyObject* module_init() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) { return add_classes(module, Classes); })},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Name.text, Doc.text, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&definition);
}

// The module part of a class's qualified name: the toolkit's classes keep
// "builtins."; a class whose Bound names its module gets that module.
template <BoundType T>
std::string type_module() {
    if constexpr (requires { Bound<T>::module; }) return std::string(Bound<T>::module) + ".";
    else return pinned::kTypeModule;
}

// Builds the table of class `T` from its parts.
template <BoundType T, class... Parts>
ClassDefinition define(Parts... parts) {
    ClassDefinition definition;
    definition.name = Bound<T>::name;
    definition.qualified_name = type_module<T>() + definition.name;
    definition.basic_size = static_cast<int>(sizeof(Object<T>));
    add_slot(definition, Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>));
    (parts.template apply<T>(definition), ...);
    return definition;
}

}  // namespace ostina::py
