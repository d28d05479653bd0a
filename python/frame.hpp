// The binding frame: everything the class files share. A class file
// describes its class as a table of parts (constructor, methods, properties,
// protocols) over engine functions; the frame binds and converts arguments,
// guards the receiver, translates engine failures and creates the type.
#pragma once

#include <Python.h>

#include <array>
#include <charconv>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "staged.hpp"

namespace ostina::py {

// ---------------------------------------------------------------------------
// References and errors

// Owner of one strong reference; releases it on every path.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Thrown once a Python exception has been set; unwinds to the entry point.
struct PythonError {};

// Throws PythonError when `object` is null (a failed API call), else owns it.
inline Ref checked(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return Ref(object);
}

// Sets `kind` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* kind, const std::string& message);

// The module's exception for internal faults: derives from BaseException,
// created on first use, never a module attribute.
PyObject* panic_exception();

// Sets the Python exception for the C++ exception being handled.
void translate_current_exception() noexcept;

// A thread's first C++ exception and its first use of the module's
// thread-local data have the runtime allocate that thread's blocks for them,
// and when that allocation fails the C library ends the process. Every entry
// point asks for the blocks as it begins, so that they are not first needed
// when the call's own allocations have used up the memory left (the import
// does this for the importing thread).
void prepare_thread() noexcept;

// Runs an entry point body; any C++ exception becomes a Python exception and
// the entry point reports failure with `failed`.
template <class Body, class Result = std::invoke_result_t<Body>>
Result guarded(Body&& body, Result failed) noexcept {
    prepare_thread();
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return failed;
    }
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

// Replaces a pending exception of exactly TypeError by
// "argument '<parameter>': <message>", keeping its cause.
void name_argument_in_type_error(std::string_view parameter);

// "'<type qualname>' object is not an instance of '<target>'".
[[noreturn]] void raise_cast_failure(PyObject* object, std::string_view target);
// The same for a class of the module, which words None on its own:
// "'None' is not an instance of '<target>'".
[[noreturn]] void raise_class_cast_failure(PyObject* object, std::string_view target);

// ---------------------------------------------------------------------------
// Access counts: a number of shared holders, or one exclusive holder.

class AccessCount {
public:
    bool try_share() noexcept;
    void end_share() noexcept { count_.fetch_sub(1, std::memory_order_release); }
    bool try_take() noexcept;
    void end_take() noexcept { count_.store(0, std::memory_order_release); }

private:
    static constexpr long kExclusive = -1;
    std::atomic<long> count_{0};
};

// ---------------------------------------------------------------------------
// Thread confinement: a class whose engine value must stay on the thread that
// created it specialises Confinement with the full name its messages use.

template <class T>
struct Confinement {
    static constexpr const char* name = nullptr;
};

template <class T>
concept ConfinedType = Confinement<T>::name != nullptr;

// A number for the calling thread that no other thread of the process gets,
// unlike the system's thread id, which a new thread inherits from one that
// ended.
std::uint64_t thread_identity() noexcept;

// The creating thread of an object of a confined class.
class CreatingThread {
public:
    CreatingThread() : thread_(thread_identity()) {}
    bool is_current() const { return thread_ == thread_identity(); }

private:
    std::uint64_t thread_;
};

struct Unconfined {};

template <class T>
using ThreadOf = std::conditional_t<ConfinedType<T>, CreatingThread, Unconfined>;

// PanicException "<name> is unsendable, but sent to another thread".
[[noreturn]] void raise_sent_to_another_thread(const char* name);

// Reports RuntimeError "<name> is unsendable, but is being dropped on another
// thread" through the unraisable hook, keeping any exception already set.
void report_dropped_on_another_thread(const char* name);

// Every object of the module's classes: the header, the count, the creating
// thread where the class is confined, one engine value.
template <class T>
struct Object {
    PyObject_HEAD
    AccessCount access;
    [[no_unique_address]] ThreadOf<T> thread;
    T value;
};

template <class T>
Object<T>* object_of(PyObject* self) {
    return reinterpret_cast<Object<T>*>(self);
}

// Holds shared access (`Exclusive` false) or exclusive access for its scope;
// construction raises RuntimeError when the object is held incompatibly.
template <class T, bool Exclusive>
class Access {
public:
    explicit Access(PyObject* self) : object_(object_of<T>(self)) {
        if constexpr (ConfinedType<T>) {
            if (!object_->thread.is_current()) raise_sent_to_another_thread(Confinement<T>::name);
        }
        if constexpr (Exclusive) {
            if (!object_->access.try_take()) raise(PyExc_RuntimeError, "Already borrowed");
        } else {
            if (!object_->access.try_share())
                raise(PyExc_RuntimeError, "Already mutably borrowed");
        }
    }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    ~Access() {
        if constexpr (Exclusive) object_->access.end_take();
        else object_->access.end_share();
    }

    using Value = std::conditional_t<Exclusive, T, const T>;
    Value& value() const { return object_->value; }

private:
    Object<T>* object_;
};

// ---------------------------------------------------------------------------
// Classes: each bound engine type declares its specialisation of Bound in
// classes.hpp and defines `definition()` in its class file.

struct ClassDefinition;

template <class T>
struct Bound {
    static constexpr bool value = false;
};

template <class T>
concept BoundType = Bound<T>::value;

PyObject* create_type(const ClassDefinition& definition);

// The type object of a bound class, created once per process on first use;
// null with the exception set when creation fails.
template <BoundType T>
PyTypeObject* type_of() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(Bound<T>::definition());
    return reinterpret_cast<PyTypeObject*>(type);
}

// A new Python object owning `value`.
template <BoundType T>
PyObject* wrap(T value) {
    PyTypeObject* type = type_of<T>();
    if (type == nullptr) throw PythonError{};
    PyObject* self = checked(PyType_GenericAlloc(type, 0)).release();
    auto* object = object_of<T>(self);
    new (&object->access) AccessCount();
    new (&object->thread) ThreadOf<T>();
    new (&object->value) T(std::move(value));
    return self;
}

template <BoundType T>
void dealloc(PyObject* self) {
    auto* object = object_of<T>(self);
    // A confined value dropped on another thread is abandoned, not released:
    // its resources may only be touched by the thread that made them.
    if constexpr (ConfinedType<T>) {
        prepare_thread();
        if (object->thread.is_current()) object->value.~T();
        else report_dropped_on_another_thread(Confinement<T>::name);
    } else {
        object->value.~T();
    }
    object->access.~AccessCount();
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Conversions between Python objects and engine values.

template <class T>
struct Convert;

// Integers that are read as a signed 64-bit value and range-checked.
std::int64_t read_small_unsigned(PyObject* object, std::int64_t maximum);

template <class T>
    requires(std::same_as<T, std::uint8_t> || std::same_as<T, std::uint16_t> ||
             std::same_as<T, std::uint32_t>)
struct Convert<T> {
    static T from(PyObject* object) {
        return static_cast<T>(read_small_unsigned(object, std::numeric_limits<T>::max()));
    }
    static PyObject* to(T value) { return PyLong_FromUnsignedLong(value); }
};

template <>
struct Convert<std::uint64_t> {
    static std::uint64_t from(PyObject* object);
    static PyObject* to(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
};

template <>
struct Convert<double> {
    static double from(PyObject* object) {
        double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
        return value;
    }
    static PyObject* to(double value) { return PyFloat_FromDouble(value); }
};

// A 32-bit value travels as a double: narrowed to nearest on the way in,
// widened exactly on the way out.
template <>
struct Convert<float> {
    static float from(PyObject* object) {
        return static_cast<float>(Convert<double>::from(object));
    }
    static PyObject* to(float value) { return PyFloat_FromDouble(value); }
};

template <>
struct Convert<bool> {
    static bool from(PyObject* object);
    static PyObject* to(bool value) { return PyBool_FromLong(value); }
};

template <>
struct Convert<std::string> {
    static std::string from(PyObject* object);
    static PyObject* to(std::string_view value) {
        return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    }
};

template <>
struct Convert<std::string_view> {
    static PyObject* to(std::string_view value) { return Convert<std::string>::to(value); }
};

// Sequences (not str) item by item; lists out.
void check_sequence(PyObject* object);
std::size_t known_size(PyObject* object);
PyObject* new_list(std::size_t size);

template <class Item>
struct Convert<std::vector<Item>> {
    static std::vector<Item> from(PyObject* object) {
        check_sequence(object);
        std::vector<Item> items;
        items.reserve(known_size(object));
        if (PyList_CheckExact(object)) read_list(object, items);
        else read_iterable(object, items);
        return items;
    }

    // By index, as the list's own iterator reads it. Reading an exact float
    // runs no Python code, so it is read borrowed; any other item is held
    // while it converts and the length is looked up again afterwards, since
    // a conversion that calls back may change the list.
    static void read_list(PyObject* list, std::vector<Item>& items) {
        Py_ssize_t size = PyList_Size(list);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GetItem(list, i);
            if (PyFloat_CheckExact(item)) {
                items.push_back(Convert<Item>::from(item));
                continue;
            }
            Py_INCREF(item);
            Ref held(item);
            items.push_back(Convert<Item>::from(item));
            size = PyList_Size(list);
        }
    }

    static void read_iterable(PyObject* object, std::vector<Item>& items) {
        Ref iterator = checked(PyObject_GetIter(object));
        while (Ref item{PyIter_Next(iterator.get())}) items.push_back(Convert<Item>::from(item.get()));
        if (PyErr_Occurred()) throw PythonError{};
    }

    static PyObject* to(const std::vector<Item>& items) {
        Ref list{new_list(items.size())};
        for (std::size_t i = 0; i < items.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), checked(Convert<Item>::to(items[i])).release());
        return list.release();
    }
};

// None stands for "no value", both ways.
template <class Item>
struct Convert<std::optional<Item>> {
    static std::optional<Item> from(PyObject* object) {
        if (object == Py_None) return std::nullopt;
        return Convert<Item>::from(object);
    }
    static PyObject* to(const std::optional<Item>& item) {
        if (!item) Py_RETURN_NONE;
        return Convert<Item>::to(*item);
    }
};

template <class... Items>
struct Convert<std::tuple<Items...>> {
    static PyObject* to(const std::tuple<Items...>& items) {
        Ref tuple = checked(PyTuple_New(sizeof...(Items)));
        std::apply([&](const Items&... item) {
            Py_ssize_t index = 0;
            (PyTuple_SetItem(tuple.get(), index++, checked(Convert<Items>::to(item)).release()), ...);
        }, items);
        return tuple.release();
    }
};

template <class First, class Second>
struct Convert<std::pair<First, Second>> : Convert<std::tuple<First, Second>> {};

// Objects of the module's classes: exactly that class, read shared and copied.
template <BoundType T>
struct Convert<T> {
    static T from(PyObject* object) {
        PyTypeObject* type = type_of<T>();
        if (type == nullptr) throw PythonError{};
        if (Py_TYPE(object) != type) raise_class_cast_failure(object, Bound<T>::name);
        return Access<T, false>(object).value();
    }
    static PyObject* to(T value) { return wrap(std::move(value)); }
};

// A borrowed object in a result becomes a new reference.
template <>
struct Convert<PyObject*> {
    static PyObject* to(PyObject* borrowed) { return Py_NewRef(borrowed); }
};

// Engine result to a new Python object; `void` results become None.
template <class Result>
PyObject* to_python(Result&& result) {
    return Convert<std::remove_cvref_t<Result>>::to(std::forward<Result>(result));
}

// ---------------------------------------------------------------------------
// Signatures: the text signature of a callable ("sample_at($self, frame,
// channel)") is written once; the frame derives the method name, the
// parameter names and defaults, and the docstring from it.

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&literal)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// Parameters after "$self", counted at compile time so that a table entry
// whose text and function disagree fails to build.
constexpr std::size_t parameter_count(std::string_view signature) {
    std::size_t commas = 0;
    bool inside = false, quoted = false, empty = true, self = false;
    for (char c : signature) {
        if (c == '(') inside = true;
        else if (!inside || c == ' ') continue;
        else if (c == ')' && !quoted) break;
        else if (c == '"') quoted = !quoted;
        else if (c == '$') self = true;
        else if (c == ',' && !quoted) ++commas;
        else empty = false;
    }
    if (empty) return 0;
    return commas + 1 - (self ? 1 : 0);
}

struct Parameter {
    std::string name;
    std::optional<std::string> default_text;
};

struct Signature {
    std::string name;        // "sample_at"
    std::string docstring;   // the text signature and the doc line
    std::string function;    // "AudioBuffer.sample_at()" for messages
    std::vector<Parameter> parameters;
    std::size_t required = 0;
};

// `owner` names the class; constructors are reported as "<owner>.__new__()".
Signature parse_signature(std::string_view owner, std::string_view text, std::string_view doc,
                          bool constructor);

// Vectorcall layout (positionals, then keyword values named by `names`).
void bind_arguments(const Signature& signature, PyObject** slots, PyObject* const* args,
                    Py_ssize_t positional, PyObject* names);
// Tuple and dict layout, as the constructor slot receives them.
void bind_arguments(const Signature& signature, PyObject** slots, PyObject* args, PyObject* kwargs);

// A default text that does not read as its parameter's type is a fault of
// the class table, reported when the type is created.
[[noreturn]] void reject_default(const Signature& signature, std::string_view text);

// The value a default text stands for ("44100", "440.0", "True", "\"Channel\"").
template <class T>
T parse_default(const Signature& signature, std::string_view text) {
    if constexpr (std::same_as<T, bool>) {
        if (text == "True" || text == "False") return text == "True";
    } else if constexpr (std::same_as<T, std::string>) {
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            return std::string(text.substr(1, text.size() - 2));
    } else if constexpr (std::floating_point<T> || std::integral<T>) {
        std::conditional_t<std::floating_point<T>, double, T> value{};
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc{} && end == text.data() + text.size()) return static_cast<T>(value);
    }
    reject_default(signature, text);
}

// ---------------------------------------------------------------------------
// What a table entry's function looks like: its receiver (if any), whether it
// changes the receiver, and its parameters.

template <class... Params>
struct ParameterList {
    static constexpr std::size_t size = sizeof...(Params);
    using Values = std::tuple<std::remove_cvref_t<Params>...>;
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
    static T argument(const Call& call, const std::optional<T>& fallback, PyObject* given, std::size_t index) {
        if (given == nullptr) return *fallback;  // binding only leaves out parameters with defaults
        try {
            return Convert<T>::from(given);
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
// a fixed set), instead of a new one per result. Borrowed: it lives for good.
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

// Builds the table of class `T` from its parts.
template <BoundType T, class... Parts>
ClassDefinition define(Parts... parts) {
    ClassDefinition definition;
    definition.name = Bound<T>::name;
    definition.qualified_name = "builtins." + definition.name;
    definition.basic_size = static_cast<int>(sizeof(Object<T>));
    add_slot(definition, Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>));
    (parts.template apply<T>(definition), ...);
    return definition;
}

}  // namespace ostina::py
