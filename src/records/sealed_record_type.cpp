// The host class SealedRecord: fifteen read-only attributes and no
// constructor the host can call.
#include "records/sealed_record_type.h"

#include "module/attributes.h"

namespace vorm_zel {
namespace {

using py::Ref;
using py::Result;
using R = SealedRecord;

constexpr char kDoc[] =
    "A court-admissible, tamper-evident data structure capturing an immutable point-in-time "
    "calculation state.";

PyObject* sealed_record_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    // The class cannot be subclassed, so its __name__ is always this one.
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", R::kClassName);
    return nullptr;
}

PyObject* get_monotonic_nanos(PyObject* self, void*) noexcept {
    return py::read_attribute<R>(self, [](const R& r) {
        return py::hand_back(PyLong_FromUnsignedLongLong(r.monotonic_nanos));
    });
}

template <double R::*Field>
PyObject* get_float(PyObject* self, void*) noexcept {
    return py::read_attribute<R>(
        self, [](const R& r) { return py::hand_back(PyFloat_FromDouble(r.*Field)); });
}

PyObject* get_signature(PyObject* self, void*) noexcept {
    return py::read_attribute<R>(self, [](const R& r) -> Result<Ref> {
        Result<Ref> list = py::hand_back(PyList_New(static_cast<Py_ssize_t>(r.signature.size())));
        if (!list) {
            return list;
        }
        for (std::size_t i = 0; i < r.signature.size(); ++i) {
            Result<Ref> item = py::hand_back(PyLong_FromLong(r.signature[i]));
            if (!item) {
                return item;
            }
            PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), item->release());  // steals
        }
        return list;
    });
}

PyObject* get_core_insight_json(PyObject* self, void*) noexcept {
    return py::read_attribute<R>(self, [](const R& r) -> Result<Ref> {
        if (!r.core_insight_json) {
            return Ref::borrow(Py_None);
        }
        return py::text_to_host(*r.core_insight_json);
    });
}

#define VZ_TEXT(field, doc) \
    { #field, py::get_text < R, &R::field>, nullptr, doc, nullptr }

PyGetSetDef g_attributes[] = {
    VZ_TEXT(id, "Universally unique identifier managing the tracking envelope."),
    VZ_TEXT(timestamp, "RFC3339 timestamp recording standard real-world clock time."),
    {"monotonic_nanos", get_monotonic_nanos, nullptr,
     "Monotonic clock offset logging real-world physical processing sequence order.", nullptr},
    VZ_TEXT(hash, "BLAKE3 hash string locking total structure components."),
    {"signature", get_signature, nullptr, "Ed25519 digital signature verifying authority origins.",
     nullptr},
    VZ_TEXT(merkle_root, "Accumulated chain integrity root verifying sequencing order."),
    {"coherence_score", get_float<&R::coherence_score>, nullptr,
     "Similarity rating measuring historical continuity states.", nullptr},
    {"reputation_scalar", get_float<&R::reputation_scalar>, nullptr,
     "System health scale monitoring moving reliability baselines.", nullptr},
    VZ_TEXT(ppp_json, "JSON serialization holding provenance parameters."),
    VZ_TEXT(ctx_json, "JSON string capturing overall operational environment conditions."),
    VZ_TEXT(prompt, "Standard engineering input used for generating calculations."),
    VZ_TEXT(reasoning_trace_json, "JSON representation outlining internal calculation steps."),
    VZ_TEXT(output, "Definitive answer generated through computational operations."),
    VZ_TEXT(human_delta_chain_json, "JSON structure tracking human oversight and adjustments."),
    {"core_insight_json", get_core_insight_json, nullptr,
     "JSON representation storing analytical insight parameters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VZ_TEXT

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, g_attributes},
    {Py_tp_new, reinterpret_cast<void*>(sealed_record_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<SealedRecord>)},
    {0, nullptr},
};

}  // namespace

py::Status create_sealed_record_class() {
    return py::create_class<SealedRecord>(g_slots);
}

py::Result<py::Ref> wrap_sealed_record(SealedRecord&& record) {
    PyTypeObject* type = py::class_object<SealedRecord>();
    if (type == nullptr) {
        return py::missing_class_failure<SealedRecord>();
    }
    py::Result<py::Ref> object = py::new_instance(type, std::move(record));
    if (!object) {
        // Show what the host said (MemoryError as a rule), then fail internally.
        std::move(object).error().restore();
        PyErr_PrintEx(0);
        return py::Error(InternalFailure{"Python API call failed: cannot allocate SealedRecord"});
    }
    return object;
}

}  // namespace vorm_zel
