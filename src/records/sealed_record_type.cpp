// The host class SealedRecord: fifteen read-only attributes and no
// constructor the host can call.
#include "records/sealed_record_type.h"

#include "module/attributes.h"

namespace vorm_zel {
namespace {

constexpr char kDoc[] =
    "A court-admissible, tamper-evident data structure capturing an immutable point-in-time "
    "calculation state.";

PyObject* sealed_record_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    // The class cannot be subclassed, so its __name__ is always this one.
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", SealedRecord::kClassName);
    return nullptr;
}

PyGetSetDef g_attributes[] = {
    py::read_only<&SealedRecord::id>("id", "Universally unique identifier managing the tracking envelope."),
    py::read_only<&SealedRecord::timestamp>("timestamp",
                                 "RFC3339 timestamp recording standard real-world clock time."),
    py::read_only<&SealedRecord::monotonic_nanos>(
        "monotonic_nanos",
        "Monotonic clock offset logging real-world physical processing sequence order."),
    py::read_only<&SealedRecord::hash>("hash", "BLAKE3 hash string locking total structure components."),
    py::read_only<&SealedRecord::signature>("signature",
                                 "Ed25519 digital signature verifying authority origins."),
    py::read_only<&SealedRecord::merkle_root>("merkle_root",
                                   "Accumulated chain integrity root verifying sequencing order."),
    py::read_only<&SealedRecord::coherence_score>("coherence_score",
                                       "Similarity rating measuring historical continuity states."),
    py::read_only<&SealedRecord::reputation_scalar>(
        "reputation_scalar", "System health scale monitoring moving reliability baselines."),
    py::read_only<&SealedRecord::ppp_json>("ppp_json", "JSON serialization holding provenance parameters."),
    py::read_only<&SealedRecord::ctx_json>("ctx_json",
                                "JSON string capturing overall operational environment conditions."),
    py::read_only<&SealedRecord::prompt>("prompt",
                              "Standard engineering input used for generating calculations."),
    py::read_only<&SealedRecord::reasoning_trace_json>(
        "reasoning_trace_json", "JSON representation outlining internal calculation steps."),
    py::read_only<&SealedRecord::output>("output",
                              "Definitive answer generated through computational operations."),
    py::read_only<&SealedRecord::human_delta_chain_json>(
        "human_delta_chain_json", "JSON structure tracking human oversight and adjustments."),
    py::read_only<&SealedRecord::core_insight_json>(
        "core_insight_json", "JSON representation storing analytical insight parameters."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, g_attributes},
    {Py_tp_new, reinterpret_cast<void*>(sealed_record_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<SealedRecord>)},
    {0, nullptr},
};

}  // namespace

py::Result<void> create_sealed_record_class() {
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
