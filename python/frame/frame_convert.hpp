// Binding frame: conversions between Python objects and engine values, both
// ways (sample lists in frame_samples.cpp).
#pragma once

#include "frame_objects.hpp"

#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace ostina::py {

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
struct Convert<std::int32_t> {
    static std::int32_t from(PyObject* object);
    static PyObject* to(std::int32_t value) { return PyLong_FromLong(value); }
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

// Lists and tuples are read by index, as their own iterators read them.
// Reading an exact float runs no Python code, so it is read borrowed; any
// other item is held while it is read and the length is looked up again
// afterwards, since a conversion that calls back may change a list.
template <Py_ssize_t (*SizeOf)(PyObject*), PyObject* (*ItemAt)(PyObject*, Py_ssize_t), class Read>
void read_by_index(PyObject* container, Read& read) {
    Py_ssize_t size = SizeOf(container);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = ItemAt(container, i);
        if (PyFloat_CheckExact(item)) {
            read(item);
            continue;
        }
        Ref held = Ref::borrow(item);
        read(item);
        size = SizeOf(container);
    }
}

// Calls `read` on every item of a sequence that passed check_sequence.
template <class Read>
void read_items(PyObject* object, Read&& read) {
    if (PyList_CheckExact(object)) {
        read_by_index<PyList_Size, PyList_GetItem>(object, read);
    } else if (PyTuple_CheckExact(object)) {
        read_by_index<PyTuple_Size, PyTuple_GetItem>(object, read);
    } else {
        Ref iterator = checked(PyObject_GetIter(object));
        while (Ref item{PyIter_Next(iterator.get())}) read(item.get());
        if (PyErr_Occurred()) throw PythonError{};
    }
}

// The items converted, appended to `items`.
template <class Item>
void read_sequence_into(PyObject* object, std::vector<Item>& items) {
    items.reserve(items.size() + known_size(object));
    read_items(object, [&](PyObject* item) { items.push_back(Convert<Item>::from(item)); });
}

// A new list of the items of a sized range, each converted.
template <class Items>
PyObject* list_of(const Items& items) {
    using Item = std::ranges::range_value_t<const Items>;
    Ref list{new_list(std::ranges::size(items))};
    Py_ssize_t index = 0;
    for (const Item& item : items) PyList_SetItem(list.get(), index++, checked(Convert<Item>::to(item)).release());
    return list.release();
}

template <class Item>
struct Convert<std::vector<Item>> {
    static std::vector<Item> from(PyObject* object) {
        check_sequence(object);
        std::vector<Item> items;
        read_sequence_into(object, items);
        return items;
    }
    static PyObject* to(const std::vector<Item>& items) { return list_of(items); }
};

// A view over storage the engine keeps (std::string_view aside, which is
// text) becomes the list that a vector of its items would.
template <class View>
    requires(std::ranges::view<View> && std::ranges::sized_range<const View>)
struct Convert<View> {
    static PyObject* to(const View& items) { return list_of(items); }
};

// Sample lists, the hot path of every audio call (frame_samples.cpp): the
// usual shapes of audio data are read and built without the general
// machinery, with the same results and failures.
template <>
struct Convert<std::vector<float>> {
    static std::vector<float> from(PyObject* object);
    static PyObject* to(const std::vector<float>& samples);
};

// The value an argument of type T is held in for the call: T itself, unless
// the frame keeps more around it. The function receives it as T.
template <class T>
struct Held {
    using type = T;
};

template <class T>
using HeldArgument = typename Held<T>::type;

// A list of sample lists that nothing keeps beyond the call (the mixer's
// channel buffers). Its storage comes from a small pool and goes back to it:
// converted channels are large blocks, and the C library returns large freed
// blocks to the system, so fresh ones would have their pages faulted in
// again on every call.
class PooledSampleLists {
public:
    PooledSampleLists() = default;
    explicit PooledSampleLists(std::vector<std::vector<float>> lists) : lists_(std::move(lists)) {}
    PooledSampleLists(PooledSampleLists&&) = default;
    PooledSampleLists& operator=(PooledSampleLists&&) = default;
    ~PooledSampleLists();

    operator const std::vector<std::vector<float>>&() const { return lists_; }
    // An empty list whose storage may come from the pool, appended.
    std::vector<float>& add();

private:
    std::vector<std::vector<float>> lists_;
};

template <>
struct Held<std::vector<std::vector<float>>> {
    using type = PooledSampleLists;
};

template <>
struct Convert<PooledSampleLists> {
    static PooledSampleLists from(PyObject* object);
};

// Binary data: in from any object with a buffer (bytes, bytearray,
// memoryview), out as bytes.
using Bytes = std::vector<std::byte>;

template <>
struct Convert<Bytes> {
    static Bytes from(PyObject* object);
    static PyObject* to(const Bytes& bytes) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
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

// A tuple of exactly as many items: in from any sequence, out as a tuple.
void check_item_count(PyObject* tuple, std::size_t count);

template <class... Items>
struct Convert<std::tuple<Items...>> {
    static std::tuple<Items...> from(PyObject* object) {
        check_sequence(object);
        Ref items = checked(PySequence_Tuple(object));
        check_item_count(items.get(), sizeof...(Items));
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::tuple<Items...>{Convert<Items>::from(PyTuple_GetItem(items.get(), I))...};
        }(std::index_sequence_for<Items...>{});
    }
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

// An argument of one of the module's classes must be exactly that class.
template <BoundType T>
void check_instance(PyObject* object) {
    PyTypeObject* type = type_of<T>();
    if (type == nullptr) throw PythonError{};
    if (Py_TYPE(object) != type) raise_class_cast_failure(object, Bound<T>::name);
}

// Objects of the module's classes: exactly that class, read shared and copied.
template <BoundType T>
struct Convert<T> {
    static T from(PyObject* object) {
        check_instance<T>(object);
        return Access<T, false>(object).value();
    }
    static PyObject* to(T value) { return wrap(std::move(value)); }
};

// An object of the module's classes that the call copies when it uses it,
// after the later arguments have converted: their conversion may change it.
// Borrowed, like every argument, from the caller's references.
template <BoundType T>
class Later {
public:
    explicit Later(PyObject* object) : object_(object) {}
    T read() const { return Access<T, false>(object_).value(); }

private:
    PyObject* object_;
};

template <BoundType T>
struct Convert<Later<T>> {
    static Later<T> from(PyObject* object) {
        check_instance<T>(object);
        return Later<T>(object);
    }
};

// Any object, kept beyond the call (a callback) by one reference that
// every copy shares.
struct SharedObject {
    std::shared_ptr<Ref> held;
    PyObject* get() const { return held->get(); }
};

template <>
struct Convert<SharedObject> {
    static SharedObject from(PyObject* object) { return {std::make_shared<Ref>(Ref::borrow(object))}; }
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

}  // namespace ostina::py
