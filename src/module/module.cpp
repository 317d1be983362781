// Module initialisation: creates the module, registers the four classes in
// order, lists them in __all__ and sets __version__. Nothing else happens at
// import.
#include "engine/zel_engine.h"
#include "engine/zel_engine_type.h"
#include "module/error.h"
#include "module/heap_type.h"
#include "records/human_delta_chain.h"
#include "records/human_delta_chain_type.h"
#include "records/ppp_triplet.h"
#include "records/ppp_triplet_type.h"
#include "records/sealed_record_type.h"

namespace vorm_zel {
namespace {

using py::Ref;
using py::Result;


PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorm_zel",
    "Main native library interface mapping out public Python module interface class pointers.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,  // no multi-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The module, once an initialisation has succeeded. Module state is process
// wide, so a second initialisation is refused rather than half shared.
PyObject* g_module = nullptr;

// Appends the class's __name__ to __all__ (creating the list on first use)
// and sets the module attribute of that name.
Result<void> register_class(PyObject* module, PyTypeObject* type) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    Ref name = Ref::steal(PyObject_GetAttrString(cls, "__name__"));
    if (!name) {
        return py::Error::fetch();
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return py::Error::fetch();
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return py::Error::fetch();
        }
    }
    if (PyList_Append(all.get(), name.get()) != 0 ||
        PyObject_SetAttr(module, name.get(), cls) != 0) {
        return py::Error::fetch();
    }
    return {};
}

template <class Native>
Result<void> create_and_register(PyObject* module, Result<void> (*create)()) {
    VZ_TRY(create());
    return register_class(module, py::class_object<Native>());
}

Result<Ref> initialise() {
    if (g_module != nullptr) {
        return py::Error::raise_new(PyExc_ImportError,
                                    "Tarn modules compiled for CPython 3.8 or older may only be "
                                    "initialized once per interpreter process");
    }
    Ref module = Ref::steal(PyModule_Create2(&g_module_definition, 3));
    if (!module) {
        return py::Error::fetch();
    }
    using Registration = Result<void> (*)(PyObject*);
    constexpr Registration kRegistrations[] = {
        [](PyObject* m) { return create_and_register<ZELEngine>(m, create_zel_engine_class); },
        [](PyObject* m) { return create_and_register<PPPTriplet>(m, create_ppp_triplet_class); },
        [](PyObject* m) {
            return create_and_register<HumanDeltaChain>(m, create_human_delta_chain_class);
        },
        [](PyObject* m) {
            return create_and_register<SealedRecord>(m, create_sealed_record_class);
        },
    };
    for (Registration registration : kRegistrations) {
        VZ_TRY(registration(module.get()));
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", VORM_ZEL_VERSION) != 0) {
        return py::Error::fetch();
    }
    g_module = Ref::borrow(module.get()).release();  // the process-wide cell's own reference
    return module;
}

}  // namespace
}  // namespace vorm_zel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorm_zel(void) {
    return vorm_zel::py::object_entry(vorm_zel::initialise);
}
