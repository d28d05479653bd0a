#include "frame.hpp"

#include <exception>
#include <new>

#include "errors.hpp"

namespace ostina::py {

// ---------------------------------------------------------------------------
// Errors

void raise(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw PythonError{};
}

PyObject* panic_exception() {
    static PyObject* type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("ostina.PanicException",
                                         "An internal fault: a broken invariant or an impossible size.",
                                         PyExc_BaseException, nullptr);
    return type;
}

FetchedError::FetchedError() {
    PyObject *kind = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&kind, &value, &traceback);
    kind_ = Ref(kind);
    value_ = Ref(value);
    traceback_ = Ref(traceback);
}

void FetchedError::normalize() {
    PyObject *kind = kind_.release(), *value = value_.release(), *traceback = traceback_.release();
    PyErr_NormalizeException(&kind, &value, &traceback);
    kind_ = Ref(kind);
    value_ = Ref(value);
    traceback_ = Ref(traceback);
}

void FetchedError::restore() { PyErr_Restore(kind_.release(), value_.release(), traceback_.release()); }

namespace {

void set_panic(const char* message) {
    if (PyObject* panic = panic_exception()) PyErr_SetString(panic, message);
}

}  // namespace

void prepare_thread() noexcept {
    static thread_local bool prepared = false;  // the module's own block
    if (prepared) return;
    prepared = true;
    // The runtime's exception state; the volatile keeps the call.
    volatile int pending = std::uncaught_exceptions();
    static_cast<void>(pending);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        // The exception is already set.
    } catch (const ostina::ValueError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const ostina::IndexError& error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const ostina::RuntimeError& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const ostina::Fault& error) {
        set_panic(error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
}

std::uint64_t thread_identity() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t identity = next.fetch_add(1, std::memory_order_relaxed);
    return identity;
}

void raise_sent_to_another_thread(const char* name) {
    throw Fault(std::string(name) + pinned::kSentToAnotherThread);
}

void report_dropped_on_another_thread(const char* name) {
    FetchedError pending;
    PyErr_Format(PyExc_RuntimeError, "%s%s", name, pinned::kDroppedOnAnotherThread);
    // No object is named: the one being dropped must not be handed to the hook.
    PyErr_WriteUnraisable(nullptr);
    pending.restore();
}

void name_argument_in_type_error(std::string_view parameter) {
    FetchedError error;
    if (error.kind() != PyExc_TypeError) {  // exactly TypeError: subclasses and others pass through
        error.restore();
        return;
    }
    error.normalize();
    Ref message{PyObject_Str(error.value())};
    if (!message) return;
    std::string name(parameter);
    Ref text{PyUnicode_FromFormat("argument '%s': %U", name.c_str(), message.get())};
    if (!text) return;
    Ref renamed{PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr)};
    if (!renamed) return;
    if (PyObject* cause = PyException_GetCause(error.value()))
        PyException_SetCause(renamed.get(), cause);  // steals the new reference
    PyErr_Restore(Py_NewRef(PyExc_TypeError), renamed.release(), nullptr);  // steals both
}

namespace {

// The qualified name of an object's type, for the cast-failure texts.
std::string type_name(PyObject* object) {
    Ref name{PyType_GetQualName(Py_TYPE(object))};
    if (!name) throw PythonError{};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) throw PythonError{};
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

void raise_cast_failure(PyObject* object, std::string_view target) {
    raise(PyExc_TypeError, "'" + type_name(object) + "' object is not an instance of '" + std::string(target) + "'");
}

void raise_class_cast_failure(PyObject* object, std::string_view target) {
    if (object == Py_None)
        raise(PyExc_TypeError, "'None' is not an instance of '" + std::string(target) + "'");
    raise_cast_failure(object, target);
}

// ---------------------------------------------------------------------------
// Access counts

bool AccessCount::try_share() noexcept {
    long current = count_.load(std::memory_order_relaxed);
    do {
        if (current == kExclusive) return false;
    } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
}

bool AccessCount::try_take() noexcept {
    long idle = 0;
    return count_.compare_exchange_strong(idle, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Conversions

std::int64_t read_small_unsigned(PyObject* object, std::int64_t maximum) {
    long value = PyLong_AsLong(object);  // long is 64-bit on the supported platform
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 0 || value > maximum)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return value;
}

std::uint64_t Convert<std::uint64_t>::from(PyObject* object) {
    Ref integer = checked(PyNumber_Index(object));
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

namespace {

template <FixedString Attribute>
std::string text_attribute(PyObject* object) {
    Ref value{PyObject_GetAttr(object, shared_text<Attribute>())};
    if (!value) {
        PyErr_Clear();
        return {};
    }
    return PyUnicode_Check(value.get()) ? Convert<std::string>::from(value.get()) : std::string();
}

// numpy's boolean scalar is accepted wherever a bool is.
bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (text_attribute<"__module__">(type) != "numpy") return false;
    std::string name = text_attribute<"__name__">(type);
    return name == "bool_" || name == "bool";
}

bool read_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref method{PyObject_GetAttr(type, shared_text<"__bool__">())};
    if (!method) {
        PyErr_Clear();
        raise(PyExc_TypeError,
              "object of type '" + type_name(object) + "' does not define a '__bool__' conversion");
    }
    Ref result = checked(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) throw PythonError{};
    return truth != 0;
}

}  // namespace

bool Convert<bool>::from(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    if (is_numpy_bool(object)) return read_numpy_bool(object);
    raise_cast_failure(object, "bool");
}

std::string Convert<std::string>::from(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_cast_failure(object, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) throw PythonError{};
    return std::string(text, static_cast<std::size_t>(size));
}

void check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, pinned::kStrForList);
    if (!PySequence_Check(object)) raise_cast_failure(object, "Sequence");
}

std::size_t known_size(PyObject* object) {
    // The items a list or tuple holds, whatever a subclass's __len__ says:
    // only that storage bounds what iteration can give.
    if (PyList_Check(object)) return static_cast<std::size_t>(PyList_Size(object));
    if (PyTuple_Check(object)) return static_cast<std::size_t>(PyTuple_Size(object));
    return 0;
}

PyObject* new_list(std::size_t size) {
    return checked(PyList_New(static_cast<Py_ssize_t>(size))).release();
}

std::int32_t Convert<std::int32_t>::from(PyObject* object) {
    Ref integer = checked(PyNumber_Index(object));
    long value = PyLong_AsLong(integer.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < INT32_MIN || value > INT32_MAX)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(value);
}

void check_item_count(PyObject* tuple, std::size_t count) {
    auto size = static_cast<std::size_t>(PyTuple_Size(tuple));
    if (size != count)
        raise(PyExc_ValueError, "expected " + std::to_string(count) + " items, not " + std::to_string(size));
}

Bytes Convert<Bytes>::from(PyObject* object) {
    if (!PyObject_CheckBuffer(object)) raise_cast_failure(object, "bytes");
    Py_buffer view{};
    if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) != 0) throw PythonError{};
    const auto* start = static_cast<const std::byte*>(view.buf);
    Bytes bytes;
    try {
        bytes.assign(start, start + view.len);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return bytes;
}

// ---------------------------------------------------------------------------
// Signatures and argument binding

namespace {

std::vector<std::string_view> split_parameters(std::string_view inside) {
    std::vector<std::string_view> pieces;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= inside.size(); ++i) {
        if (i < inside.size() && inside[i] == '"') quoted = !quoted;
        if (i == inside.size() || (inside[i] == ',' && !quoted)) {
            std::string_view piece = inside.substr(start, i - start);
            while (piece.starts_with(' ')) piece.remove_prefix(1);
            if (!piece.empty()) pieces.push_back(piece);
            start = i + 1;
        }
    }
    return pieces;
}

}  // namespace

Signature parse_signature(std::string_view owner, std::string_view text, std::string_view doc,
                          bool constructor) {
    Signature signature;
    auto open = text.find('(');
    signature.name = std::string(text.substr(0, open));
    signature.docstring = std::string(text) + "\n--\n\n" + std::string(doc);
    signature.function = std::string(owner) + "." +
                         (constructor ? std::string("__new__") : signature.name) + "()";
    auto inside = text.substr(open + 1, text.rfind(')') - open - 1);
    for (std::string_view piece : split_parameters(inside)) {
        if (piece == "$self") continue;
        Parameter parameter;
        auto equals = piece.find('=');
        parameter.name = std::string(piece.substr(0, equals));
        if (equals != std::string_view::npos)
            parameter.default_text = std::string(piece.substr(equals + 1));
        else
            ++signature.required;
        signature.parameters.push_back(std::move(parameter));
    }
    return signature;
}

namespace {

[[noreturn]] void raise_binding(const Signature& signature, const std::string& problem) {
    raise(PyExc_TypeError, signature.function + " " + problem);
}

void check_positional_count(const Signature& signature, std::size_t given) {
    std::size_t total = signature.parameters.size();
    if (given <= total) return;
    std::string accepted = signature.required == total
                               ? std::to_string(total)
                               : "from " + std::to_string(signature.required) + " to " + std::to_string(total);
    raise_binding(signature, "takes " + accepted + " positional arguments but " + std::to_string(given) +
                                 (given == 1 ? " was given" : " were given"));
}

void bind_keyword(const Signature& signature, PyObject** slots, PyObject* name, PyObject* value) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i].name.c_str()) != 0)
            continue;
        if (slots[i] != nullptr)
            raise_binding(signature, "got multiple values for argument '" + signature.parameters[i].name + "'");
        slots[i] = value;
        return;
    }
    // %U keeps a name that UTF-8 cannot carry (a lone surrogate) intact.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.function.c_str(), name);
    throw PythonError{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<std::string>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) joined += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        joined += "'" + names[i] + "'";
    }
    return joined;
}

void check_missing(const Signature& signature, PyObject* const* slots) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i)
        if (slots[i] == nullptr && !signature.parameters[i].default_text)
            missing.push_back(signature.parameters[i].name);
    if (missing.empty()) return;
    raise_binding(signature, "missing " + std::to_string(missing.size()) + " required positional argument" +
                                 (missing.size() == 1 ? ": " : "s: ") + join_names(missing));
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject** slots, PyObject* const* args,
                    Py_ssize_t positional, PyObject* names) {
    check_positional_count(signature, static_cast<std::size_t>(positional));
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
    Py_ssize_t keywords = names == nullptr ? 0 : PyTuple_Size(names);
    for (Py_ssize_t i = 0; i < keywords; ++i)
        bind_keyword(signature, slots, PyTuple_GetItem(names, i), args[positional + i]);
    check_missing(signature, slots);
}

void bind_arguments(const Signature& signature, PyObject** slots, PyObject* args, PyObject* kwargs) {
    Py_ssize_t positional = PyTuple_Size(args);
    check_positional_count(signature, static_cast<std::size_t>(positional));
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GetItem(args, i);
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &name, &value))
        bind_keyword(signature, slots, name, value);
    check_missing(signature, slots);
}

void reject_default(const Signature& signature, std::string_view text) {
    throw Fault(signature.function + " has a default its parameter cannot take: " + std::string(text));
}

// ---------------------------------------------------------------------------
// Types

void add_slot(ClassDefinition& definition, int slot, void* function) {
    definition.slots.push_back({slot, function});
}

namespace {

// The method and property tables end with an empty entry, kept last.
template <class Entry>
void add_entry(std::vector<Entry>& table, const Entry& entry) {
    if (table.empty()) table.push_back({});
    table.insert(table.end() - 1, entry);
}

}  // namespace

void add_property(ClassDefinition& definition, const PyGetSetDef& property) {
    add_entry(definition.properties, property);
}

void add_method(ClassDefinition& definition, const Signature& signature, FastCall with_arguments,
                NoArguments without_arguments, bool is_static) {
    int kind = is_static ? METH_STATIC : 0;
    PyCFunction function;
    if (signature.parameters.empty()) {
        function = without_arguments;
        kind |= METH_NOARGS;
    } else {
        function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_arguments));
        kind |= METH_FASTCALL | METH_KEYWORDS;
    }
    add_entry(definition.methods, {signature.name.c_str(), function, kind, signature.docstring.c_str()});
}

PyObject* create_type(const ClassDefinition& definition) {
    // The tables live as long as the (static) definition, which outlives the type.
    std::vector<PyType_Slot> slots = definition.slots;
    auto* methods = const_cast<PyMethodDef*>(definition.methods.data());
    auto* properties = const_cast<PyGetSetDef*>(definition.properties.data());
    if (!definition.methods.empty()) slots.push_back({Py_tp_methods, methods});
    if (!definition.properties.empty()) slots.push_back({Py_tp_getset, properties});
    if (!definition.docstring.empty())
        slots.push_back({Py_tp_doc, const_cast<char*>(definition.docstring.c_str())});
    slots.push_back({0, nullptr});

    // Final (no base-type flag), immutable, and without an instance dict or
    // weak-reference slot, which a type made from a spec only has when asked.
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    bool constructible = false;
    for (const PyType_Slot& slot : definition.slots) constructible |= slot.slot == Py_tp_new;
    if (!constructible) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec spec{definition.qualified_name.c_str(), definition.basic_size, 0, flags, slots.data()};
    return PyType_FromSpec(&spec);
}

int add_classes(PyObject* module, std::span<const Registration> classes) {
    return guarded([&] {
        if (!PyModule_Check(module)) raise_cast_failure(module, "PyModule");
        for (const Registration& entry : classes) {
            auto* type = reinterpret_cast<PyObject*>(entry.type());
            if (type == nullptr || PyModule_AddObjectRef(module, entry.name, type) < 0) throw PythonError{};
        }
        return 0;
    }, -1);
}

void check_signals() {
    if (PyErr_CheckSignals() == -1) throw PythonError{};
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

PyObject* negated_equality(PyObject* self, PyObject* other) {
    Ref equal{PyObject_RichCompare(self, other, Py_EQ)};
    if (!equal) return nullptr;
    int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
}

}  // namespace ostina::py
