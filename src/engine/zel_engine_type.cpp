// The host class ZELEngine: construction (log touch, signing identity,
// genesis root, history block), public_key_hex and capture.
#include "engine/zel_engine_type.h"

#include "common/hex.h"
#include "engine/capture.h"
#include "engine/key_file.h"
#include "engine/log_writer.h"
#include "engine/zel_engine.h"
#include "module/attributes.h"
#include "module/binding.h"

namespace vorm_zel {
namespace {

using py::Ref;
using py::Result;

constexpr py::Parameter kParameters[] = {{"wal_path", true}};
constexpr py::Signature kSignature{"ZELEngine.__new__()", kParameters};

constexpr char kDoc[] =
    "ZELEngine(wal_path)\n--\n\n"
    "High-performance Python extension wrapper container exposed for model integration "
    "bindings.";

PyObject* zel_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        py::Slots<1> slots;
        if (auto bound = py::bind_arguments(kSignature, args, kwargs, slots); !bound) {
            return std::move(bound).error();
        }
        Result<std::string> wal_path = py::convert_text(slots[0], "wal_path");
        if (!wal_path) {
            return std::move(wal_path).error();
        }
        if (wal_path.value() != kInMemoryPath) {
            touch_log(wal_path.value());
        }
        Outcome<SecretSeed> seed = load_or_create_seed(wal_path.value());
        if (!seed) {
            return py::Error(std::move(seed).error());
        }
        // The seed is wiped when `seed` goes, on this path and every other.
        ZELEngine engine{ScoringState{}, std::move(wal_path).value(), SigningKey(seed.value()),
                         genesis_root()};
        return py::new_instance(type, std::move(engine));
    });
}

}  // namespace

Result<py::Instance<ZELEngine>*> engine_receiver(PyObject* self) {
    PyTypeObject* type = py::class_object<ZELEngine>();
    if (type == nullptr) {
        return py::missing_class_failure<ZELEngine>();
    }
    if (self == nullptr || !PyObject_TypeCheck(self, type)) {
        return py::wrong_type(self != nullptr ? self : Py_None, ZELEngine::kClassName);
    }
    return &py::instance_of<ZELEngine>(self);
}

namespace {

PyObject* public_key_hex(PyObject* self, PyObject*) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        Result<py::Instance<ZELEngine>*> engine = engine_receiver(self);
        if (!engine) {
            return std::move(engine).error();
        }
        Result<py::SharedBorrow> borrow = py::SharedBorrow::take(engine.value()->borrow_flag);
        if (!borrow) {
            return std::move(borrow).error();
        }
        return py::text_to_host(to_hex(engine.value()->value.signing_key.public_key()));
    });
}

PyObject* capture_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() { return capture(self, args, kwargs); });
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

py::Status create_zel_engine_class() {
    return py::create_class<ZELEngine>(g_slots);
}

}  // namespace vorm_zel
