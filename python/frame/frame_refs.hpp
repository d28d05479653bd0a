// Binding frame: owned references, the Python error that unwinds an entry
// point, and the translation of engine failures at its edge.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "frame_texts.hpp"

namespace ostina::py {

// ---------------------------------------------------------------------------
// References and errors

// Owner of one strong reference; releases it on every path.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference.
    explicit Ref(PyObject* owned) : object_(owned) {}
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* borrowed) { return Ref(Py_NewRef(borrowed)); }
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

// The pending Python error, taken out of the interpreter and owned: put back
// with `restore`, or released with its owner.
class FetchedError {
public:
    FetchedError();

    PyObject* kind() const { return kind_.get(); }
    PyObject* value() const { return value_.get(); }
    // Makes the value an instance of the kind, as a handler would see it.
    void normalize();
    void restore();

private:
    Ref kind_, value_, traceback_;
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

}  // namespace ostina::py
