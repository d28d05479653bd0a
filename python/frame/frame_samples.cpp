// Sample lists in and out, the hot paths of every render. Audio arrives as
// lists of floats (read by index by the general sequence reading) or as
// arrays (numpy, array.array, memoryview), whose memory is read directly
// here; it leaves as lists of floats. Every shortcut gives exactly what the
// general path gives, failures included, and falls back to it for anything
// else.
#include <cstring>
#include <new>

#include "frame.hpp"
#include "samples.hpp"

namespace ostina::py {
namespace {

// Whether `object`'s type is exactly `module.name`. A module not imported yet
// cannot have made the object, so only already-imported ones are consulted.
template <FixedString Module, FixedString Name>
bool has_exact_type(PyObject* object) {
    Ref found{PyImport_GetModule(shared_text<Module>())};
    if (!found) {
        if (PyErr_Occurred()) throw PythonError{};
        return false;
    }
    Ref type{PyObject_GetAttr(found.get(), shared_text<Name>())};
    if (!type) PyErr_Clear();
    return type.get() == reinterpret_cast<PyObject*>(Py_TYPE(object));
}

// Only these exporters are known to hand out a buffer whose items are the
// values iteration would give; subclasses (masked arrays) may differ.
bool is_plain_array(PyObject* object) {
    if (PyMemoryView_Check(object)) return true;
    if (!PyObject_CheckBuffer(object)) return false;
    return has_exact_type<"array", "array">(object) || has_exact_type<"numpy", "ndarray">(object);
}

// A buffer held for one read and released on every path.
class BufferView {
public:
    // Empty (with no exception pending) when the exporter refuses: the
    // general path then reports whatever the object itself reports.
    explicit BufferView(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
        if (!held_) PyErr_Clear();
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Items of `size` bytes in format `format`, one after another, in one dimension.
    bool is_vector_of(const char* format, Py_ssize_t size) const {
        return held_ && view_.ndim == 1 && view_.itemsize == size && view_.format != nullptr &&
               std::strcmp(view_.format, format) == 0 && (view_.strides == nullptr || view_.strides[0] == size) &&
               view_.suboffsets == nullptr;
    }
    const char* data() const { return static_cast<const char*>(view_.buf); }
    std::size_t length() const { return static_cast<std::size_t>(view_.shape[0]); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The general path widens each item to a Python float and narrows it back,
// which keeps every 32-bit value, so 32-bit items are copied as they are.
// (A signalling NaN would come back quiet, which no way out can tell apart:
// every result widens it the same way.)
void copy_floats(const BufferView& view, Samples& samples) {
    samples.resize(view.length());
    // An empty buffer may have no storage at all: memcpy needs a pointer even for nothing.
    if (!samples.empty()) std::memcpy(samples.data(), view.data(), samples.size() * sizeof(float));
}

void narrow_doubles(const BufferView& view, Samples& samples) {
    samples.resize(view.length());
    const char* data = view.data();
    for (float& sample : samples) {
        double item;
        std::memcpy(&item, data, sizeof item);  // the buffer need not be aligned
        data += sizeof item;
        sample = narrow(item);
    }
}

// Reads a plain float array into the empty `samples`; false for anything else.
bool read_array(PyObject* object, Samples& samples) {
    if (!is_plain_array(object)) return false;
    BufferView view(object);
    if (view.is_vector_of("f", sizeof(float))) copy_floats(view, samples);
    else if (view.is_vector_of("d", sizeof(double))) narrow_doubles(view, samples);
    else return false;
    return true;
}

// Any sample list into the empty `samples`, keeping its storage.
void read_samples_into(PyObject* object, Samples& samples) {
    check_sequence(object);
    if (!read_array(object, samples)) read_sequence_into(object, samples);
}

// Spare storage for PooledSampleLists, bounded so that one huge call does not
// keep its memory for good. Only touched with the interpreter lock held.
constexpr std::size_t kSpareLists = 32;
constexpr std::size_t kSpareSamples = std::size_t{1} << 22;  // 16 MiB in all

struct SparePool {
    std::vector<Samples> lists;
    std::size_t samples = 0;

    Samples take() {
        if (lists.empty()) return {};
        Samples spare = std::move(lists.back());
        lists.pop_back();
        samples -= spare.capacity();
        return spare;
    }

    // Runs in destructors: when there is no room to keep `list`, it is freed.
    void give(Samples&& list) noexcept {
        const std::size_t capacity = list.capacity();
        if (lists.size() == kSpareLists || samples + capacity > kSpareSamples) return;
        list.clear();
        try {
            lists.push_back(std::move(list));
        } catch (const std::bad_alloc&) {
            return;
        }
        samples += capacity;
    }
};

SparePool& spare_pool() {
    static SparePool pool;
    return pool;
}

// One new float per sample, each the exact widening of its sample.
PyObject* list_by_items(const std::vector<float>& samples) {
    Ref list{new_list(samples.size())};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(samples[i]);
        if (item == nullptr) throw PythonError{};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // cannot fail: index in range
    }
    return list.release();
}

// The same list, built by memoryview.tolist(), which fills it in place
// (PyList_SET_ITEM is outside the stable ABI): a call per sample less than
// list_by_items, for a few calls to set up a view that lives for this call.
PyObject* list_through_view(const std::vector<float>& samples) {
    Py_ssize_t length = static_cast<Py_ssize_t>(samples.size());
    Py_ssize_t stride = sizeof(float);
    Py_buffer view{};
    view.buf = const_cast<float*>(samples.data());
    view.len = length * stride;
    view.itemsize = stride;
    view.readonly = 1;
    view.ndim = 1;
    view.format = const_cast<char*>("f");
    view.shape = &length;
    view.strides = &stride;
    Ref memory = checked(PyMemoryView_FromBuffer(&view));
    return checked(PyObject_CallMethodObjArgs(memory.get(), shared_text<"tolist">(), nullptr)).release();
}

// Where setting up the view starts to pay for itself.
constexpr std::size_t kListThroughViewFrom = 4096;

}  // namespace

std::vector<float> Convert<std::vector<float>>::from(PyObject* object) {
    Samples samples;
    read_samples_into(object, samples);
    return samples;
}

PooledSampleLists::~PooledSampleLists() {
    for (Samples& list : lists_) spare_pool().give(std::move(list));
}

std::vector<float>& PooledSampleLists::add() {
    lists_.push_back(spare_pool().take());
    return lists_.back();
}

PooledSampleLists Convert<PooledSampleLists>::from(PyObject* object) {
    check_sequence(object);
    PooledSampleLists lists;
    read_items(object, [&](PyObject* item) { read_samples_into(item, lists.add()); });
    return lists;
}

PyObject* Convert<std::vector<float>>::to(const std::vector<float>& samples) {
    return samples.size() < kListThroughViewFrom ? list_by_items(samples) : list_through_view(samples);
}

}  // namespace ostina::py
