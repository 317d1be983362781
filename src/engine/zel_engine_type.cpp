// The host class ZELEngine: construction, public_key_hex and capture. Each
// entry point converts the host's arguments, calls the native engine
// (zel_engine.h, capture.h) and turns what it reports into host objects and
// warnings.
#include "engine/zel_engine_type.h"

#include "common/hex.h"
#include "common/os_error.h"
#include "engine/capture.h"
#include "engine/zel_engine.h"
#include "module/binding.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record_type.h"

namespace vorm_zel {
namespace {

using py::Error;
using py::Ref;
using py::Result;
using EngineInstance = py::Instance<ZELEngine>;

constexpr py::Parameter kNewParameters[] = {{"wal_path", true}};
constexpr py::Signature kNewSignature{"ZELEngine.__new__()", kNewParameters};

enum CaptureArgument : std::size_t {
    kCtx,
    kPrompt,
    kReasoningTrace,
    kOutput,
    kPPPTriplet,
    kHumanDeltaChain,
    kAutoInsight,
};
constexpr py::Parameter kCaptureParameters[] = {
    {"ctx", true},           {"prompt", true},      {"reasoning_trace", true},
    {"output", true},        {"ppp_triplet", true}, {"human_delta_chain", true},
    {"auto_insight", false},
};
constexpr py::Signature kCaptureSignature{"ZELEngine.capture()", kCaptureParameters};

constexpr char kDoc[] =
    "ZELEngine(wal_path)\n--\n\n"
    "High-performance Python extension wrapper container exposed for model integration "
    "bindings.";

// A RuntimeWarning through the host's warnings machinery, which decides what
// becomes of it (shown, kept quiet or raised).
Result<void> warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) {
        return Error::fetch();  // a filter turned the warning into an error
    }
    return {};
}

PyObject* zel_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        VZ_TRY_ASSIGN(const auto arguments,
                      py::Arguments<std::size(kNewParameters)>::bind(kNewSignature, args, kwargs));
        VZ_TRY_ASSIGN(std::string wal_path, arguments.convert<std::string>(0));
        VZ_TRY_ASSIGN(OpenedEngine opened, open_engine(wal_path));
        if (!opened.key_file_concern.empty()) {
            VZ_TRY(warn("vorm_zel: the signing key file '" + wal_path +
                        ".key' is used, but it is not private: " + opened.key_file_concern));
        }
        return py::new_instance(type, std::move(opened.engine));
    });
}

PyObject* public_key_hex(PyObject* self, PyObject*) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        VZ_TRY_ASSIGN(EngineInstance * engine, py::instance_check<ZELEngine>(self));
        VZ_TRY_ASSIGN(const py::SharedBorrow borrow, py::SharedBorrow::take(engine->borrow_flag));
        return py::to_host(to_hex(engine->value.signing_key.public_key()));
    });
}

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
        return Error::fetch();
    }
    Ref module = Ref::steal(PyImport_Import(name));
    if (!module) {
        return Error::fetch();
    }
    return module;
}

// json.dumps(value) with the host's default settings, as UTF-8 text.
Result<std::string> dumps(const Ref& json, PyObject* value) {
    static PyObject* name = nullptr;
    if (interned(name, "dumps") == nullptr) {
        return Error::fetch();
    }
    Ref text = Ref::steal(PyObject_CallMethodObjArgs(json.get(), name, value, nullptr));
    if (!text) {
        return Error::fetch();
    }
    return py::text_of(text.get());
}

// A log line that cannot be written does not fail the capture, but it is not
// silent either. The record's id makes each warning's text its own, so the
// default filters show every lost record, not only the first.
Result<void> warn_lost_record(const Captured& captured, const std::string& wal_path) {
    return warn("vorm_zel: could not append the sealed record " + captured.record.id +
                " to the log '" + wal_path + "': " + os_error_detail(captured.log_error));
}

// Binds and converts the arguments in parameter order, holding the engine
// exclusively and the two records shared until the call ends (so that
// nothing changes under it), serialises ctx and reasoning_trace with the
// host's json module, runs the native capture and wraps its record.
Result<Ref> capture_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    VZ_TRY_ASSIGN(const auto arguments, py::Arguments<std::size(kCaptureParameters)>::bind(
                                            kCaptureSignature, args, kwargs));
    VZ_TRY_ASSIGN(EngineInstance * engine, py::instance_check<ZELEngine>(self));
    VZ_TRY_ASSIGN(const py::ExclusiveBorrow engine_borrow,
                  py::ExclusiveBorrow::take(engine->borrow_flag));
    VZ_TRY_ASSIGN(std::string prompt, arguments.convert<std::string>(kPrompt));
    VZ_TRY_ASSIGN(std::string output, arguments.convert<std::string>(kOutput));
    VZ_TRY_ASSIGN(auto* triplet, arguments.convert<py::Instance<PPPTriplet>*>(kPPPTriplet));
    VZ_TRY_ASSIGN(const py::SharedBorrow triplet_borrow,
                  py::SharedBorrow::take(triplet->borrow_flag));
    VZ_TRY_ASSIGN(auto* chain,
                  arguments.convert<py::Instance<HumanDeltaChain>*>(kHumanDeltaChain));
    VZ_TRY_ASSIGN(const py::SharedBorrow chain_borrow, py::SharedBorrow::take(chain->borrow_flag));
    bool auto_insight = true;
    if (arguments.given(kAutoInsight)) {
        VZ_TRY_ASSIGN(auto_insight, arguments.convert<bool>(kAutoInsight));
    }
    VZ_TRY_ASSIGN(const Ref json, import_json());
    VZ_TRY_ASSIGN(std::string ctx_json, dumps(json, arguments.object(kCtx)));
    VZ_TRY_ASSIGN(std::string reasoning_trace_json,
                  dumps(json, arguments.object(kReasoningTrace)));

    VZ_TRY_ASSIGN(Captured captured,
                  capture(engine->value,
                                    Decision{std::move(ctx_json), std::move(prompt),
                                             std::move(reasoning_trace_json), std::move(output),
                                             triplet->value, chain->value, auto_insight}));
    if (captured.log_error != 0) {
        VZ_TRY(warn_lost_record(captured, engine->value.wal_path));
    }
    return wrap_sealed_record(std::move(captured.record));
}

PyObject* capture_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() { return capture_call(self, args, kwargs); });
}

PyMethodDef g_methods[] = {
    {"capture", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture_method)),
     METH_VARARGS | METH_KEYWORDS,
     "capture($self, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, "
     "auto_insight=True)\n--\n\n"
     "Captures execution contexts, runs real-time consistency checks, and signs an immutable "
     "audit record."},
    {"public_key_hex", public_key_hex, METH_NOARGS,
     "public_key_hex($self)\n--\n\n"
     "Exposes the verifying identity public hex configuration signature."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, g_methods},
    {Py_tp_new, reinterpret_cast<void*>(zel_engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<ZELEngine>)},
    {0, nullptr},
};

}  // namespace

py::Result<void> create_zel_engine_class() {
    return py::create_class<ZELEngine>(g_slots);
}

}  // namespace vorm_zel
