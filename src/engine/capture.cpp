// The capture pipeline. The body reads as the steps of one capture, in order;
// the engine's history, reputation and chain root advance in steps 5 and 7
// and are never rolled back, whatever fails after them.
#include "engine/capture.h"

#include <array>

#include "common/hex.h"
#include "common/os_error.h"
#include "common/uuid_text.h"
#include "engine/clock.h"
#include "engine/key_file.h"
#include "engine/log_line.h"
#include "engine/log_writer.h"
#include "engine/seal.h"
#include "engine/zel_engine_type.h"
#include "module/binding.h"
#include "module/conversion.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record_type.h"

namespace vorm_zel {
namespace {

using py::Error;
using py::Ref;
using py::Result;

constexpr py::Parameter kParameters[] = {
    {"ctx", true},           {"prompt", true},      {"reasoning_trace", true},
    {"output", true},        {"ppp_triplet", true}, {"human_delta_chain", true},
    {"auto_insight", false},
};
constexpr py::Signature kSignature{"ZELEngine.capture()", kParameters};
enum Slot : std::size_t { kCtx, kPrompt, kTrace, kOutput, kTriplet, kChain, kAutoInsight };

// An interned name, made once for the life of the process.
PyObject* interned(PyObject*& cell, const char* text) {
    if (cell == nullptr) {
        cell = PyUnicode_InternFromString(text);
    }
    return cell;
}

// The host's json module, imported anew on every call (the host answers from
// its module cache); nothing is kept between calls.
Result<Ref> import_json() {
    static PyObject* name = nullptr;
    if (interned(name, "json") == nullptr) {
        return py::fetched();
    }
    Ref module = Ref::steal(PyImport_Import(name));
    if (!module) {
        return py::fetched();
    }
    return module;
}

// json.dumps(value) with the host's default settings, as UTF-8 text.
Result<std::string> dumps(const Ref& json, PyObject* value) {
    static PyObject* name = nullptr;
    if (interned(name, "dumps") == nullptr) {
        return py::fetched();
    }
    Ref function = Ref::steal(PyObject_GetAttr(json.get(), name));
    if (!function) {
        return py::fetched();
    }
    Ref text = Ref::steal(PyObject_CallFunctionObjArgs(function.get(), value, nullptr));
    if (!text) {
        return py::fetched();
    }
    return py::text_of(text.get());
}

// A log that cannot be written does not fail the capture, but it is not
// silent either: the host's warnings machinery decides what becomes of it.
Result<bool> warn_unwritten_log(const std::string& wal_path, int error_number) {
    const std::string message = "vorm_zel: could not append the sealed record to the log '" +
                                wal_path + "': " + os_error_detail(error_number);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) {
        return py::fetched();  // the warning was turned into an error
    }
    return true;
}

}  // namespace

Result<Ref> capture(PyObject* self, PyObject* args, PyObject* kwargs) {
    // 0. Entry checks: bind, receiver, exclusive borrow of the engine, then
    //    the conversions in parameter order; the records stay shared-borrowed
    //    until the call ends, so they cannot change under it.
    py::Slots<std::size(kParameters)> slots;
    if (auto bound = py::bind_arguments(kSignature, args, kwargs, slots); !bound) {
        return std::move(bound).error();
    }
    Result<py::Instance<ZELEngine>*> receiver = engine_receiver(self);
    if (!receiver) {
        return std::move(receiver).error();
    }
    py::Instance<ZELEngine>& engine_instance = *receiver.value();
    Result<py::ExclusiveBorrow> engine_borrow =
        py::ExclusiveBorrow::take(engine_instance.borrow_flag);
    if (!engine_borrow) {
        return std::move(engine_borrow).error();
    }
    ZELEngine& engine = engine_instance.value;
    Result<std::string> prompt = py::convert_text(slots[kPrompt], "prompt");
    if (!prompt) {
        return std::move(prompt).error();
    }
    Result<std::string> output = py::convert_text(slots[kOutput], "output");
    if (!output) {
        return std::move(output).error();
    }
    Result<py::Instance<PPPTriplet>*> triplet =
        py::convert_record<PPPTriplet>(slots[kTriplet], "ppp_triplet");
    if (!triplet) {
        return std::move(triplet).error();
    }
    Result<py::SharedBorrow> triplet_borrow = py::SharedBorrow::take(triplet.value()->borrow_flag);
    if (!triplet_borrow) {
        return std::move(triplet_borrow).error();
    }
    Result<py::Instance<HumanDeltaChain>*> chain =
        py::convert_record<HumanDeltaChain>(slots[kChain], "human_delta_chain");
    if (!chain) {
        return std::move(chain).error();
    }
    Result<py::SharedBorrow> chain_borrow = py::SharedBorrow::take(chain.value()->borrow_flag);
    if (!chain_borrow) {
        return std::move(chain_borrow).error();
    }
    Result<bool> auto_insight = slots[kAutoInsight] != nullptr
                                    ? py::convert_bool(slots[kAutoInsight], "auto_insight")
                                    : Result<bool>(true);
    if (!auto_insight) {
        return std::move(auto_insight).error();
    }

    // 1-3. The two free-form inputs, serialised by the host's own json module.
    Result<Ref> json = import_json();
    if (!json) {
        return std::move(json).error();
    }
    Result<std::string> ctx_json = dumps(json.value(), slots[kCtx]);
    if (!ctx_json) {
        return std::move(ctx_json).error();
    }
    Result<std::string> reasoning_trace_json = dumps(json.value(), slots[kTrace]);
    if (!reasoning_trace_json) {
        return std::move(reasoning_trace_json).error();
    }

    // 4. The input records, as they are now (their borrows keep them so).
    const PPPTriplet& ppp = triplet.value()->value;
    SealedRecord record;
    record.ppp_json = ppp.to_json();
    record.human_delta_chain_json = chain.value()->value.to_json();

    // 5. Scoring: only the byte lengths of prompt and output count.
    const Assessment assessment =
        engine.scoring.assess(prompt.value().size() + output.value().size(), auto_insight.value());

    // 6. Seal: hash of the seal text, signed.
    Outcome<Seal> seal = seal_payload({ppp.provenance, ppp.place, ppp.purpose, prompt.value(),
                                       assessment.coherence_score, assessment.reputation_scalar},
                                      engine.signing_key);
    if (!seal) {
        return Error(std::move(seal).error());
    }

    // 7. Chain step.
    advance_chain_root(engine.chain_root, seal.value().digest);

    // 8. Monotonic reading.
    record.monotonic_nanos = monotonic_gap_nanos();

    // 9. Record id.
    Outcome<std::string> id = random_uuid_text("zel_");
    if (!id) {
        return Error(std::move(id).error());
    }
    record.id = std::move(id).value();

    // 10. Timestamp.
    Outcome<std::string> timestamp = rfc3339_now();
    if (!timestamp) {
        return Error(std::move(timestamp).error());
    }
    record.timestamp = std::move(timestamp).value();

    // 11-13. The remaining fields.
    record.hash = to_hex(seal.value().digest);
    record.signature = seal.value().signature;
    record.merkle_root = to_hex(engine.chain_root);
    record.coherence_score = assessment.coherence_score;
    record.reputation_scalar = assessment.reputation_scalar;
    record.ctx_json = std::move(ctx_json).value();
    record.prompt = std::move(prompt).value();
    record.reasoning_trace_json = std::move(reasoning_trace_json).value();
    record.output = std::move(output).value();
    if (assessment.core_insight) {
        record.core_insight_json = assessment.core_insight->to_json();
    }

    // 14. Log line, unless the engine lives in memory only.
    if (engine.wal_path != kInMemoryPath) {
        if (const int error = append_log_line(engine.wal_path, log_line(record)); error != 0) {
            if (Result<bool> warned = warn_unwritten_log(engine.wal_path, error); !warned) {
                return std::move(warned).error();
            }
        }
    }

    // 15. The record moves into its host object; the borrows end with the call.
    return wrap_sealed_record(std::move(record));
}

}  // namespace vorm_zel
