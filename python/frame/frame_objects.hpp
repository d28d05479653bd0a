// Binding frame: the objects of the bound classes, their access counts and
// thread confinement, and their type objects.
#pragma once

#include "frame_refs.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <span>

namespace ostina::py {

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
            if (!object_->access.try_take()) raise(PyExc_RuntimeError, pinned::kAlreadyBorrowed);
        } else {
            if (!object_->access.try_share()) raise(PyExc_RuntimeError, pinned::kAlreadyMutablyBorrowed);
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

// A class as a module's exec step registers it.
struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

template <BoundType T>
constexpr Registration registration() {
    return {Bound<T>::name, &type_of<T>};
}

// The exec step of a module of `classes`: each type, created, is added under
// its name, in order. 0, or -1 with the exception set.
int add_classes(PyObject* module, std::span<const Registration> classes);

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

}  // namespace ostina::py
