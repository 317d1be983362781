// The host class PPPTriplet: constructor, three assignable text attributes.
#include "records/ppp_triplet_type.h"

#include "module/attributes.h"
#include "module/binding.h"
#include "records/ppp_triplet.h"

namespace vorm_zel {
namespace {

using py::Ref;
using py::Result;

constexpr py::Parameter kParameters[] = {{"provenance", true}, {"place", true}, {"purpose", true}};
constexpr py::Signature kSignature{"PPPTriplet.__new__()", kParameters};

constexpr char kDoc[] =
    "PPPTriplet(provenance, place, purpose)\n--\n\n"
    "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an "
    "event block.";

PyObject* ppp_triplet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        py::Slots<3> slots;
        if (auto bound = py::bind_arguments(kSignature, args, kwargs, slots); !bound) {
            return std::move(bound).error();
        }
        PPPTriplet value;
        std::string* fields[] = {&value.provenance, &value.place, &value.purpose};
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Result<std::string> text = py::convert_text(slots[i], kParameters[i].name);
            if (!text) {
                return std::move(text).error();
            }
            *fields[i] = std::move(text).value();
        }
        return py::new_instance(type, std::move(value));
    });
}

PyGetSetDef g_attributes[] = {
    {"provenance", py::get_text<PPPTriplet, &PPPTriplet::provenance>,
     py::set_text<PPPTriplet, &PPPTriplet::provenance>,
     "Cryptographic or system lineage tracking the structural history.",
     const_cast<char*>("provenance")},
    {"place", py::get_text<PPPTriplet, &PPPTriplet::place>,
     py::set_text<PPPTriplet, &PPPTriplet::place>,
     "The specific systemic, environmental, or geographic processing node.",
     const_cast<char*>("place")},
    {"purpose", py::get_text<PPPTriplet, &PPPTriplet::purpose>,
     py::set_text<PPPTriplet, &PPPTriplet::purpose>,
     "The logical framework intent guiding the execution loop.", const_cast<char*>("purpose")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, g_attributes},
    {Py_tp_new, reinterpret_cast<void*>(ppp_triplet_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<PPPTriplet>)},
    {0, nullptr},
};

}  // namespace

py::Status create_ppp_triplet_class() {
    return py::create_class<PPPTriplet>(g_slots);
}

}  // namespace vorm_zel
