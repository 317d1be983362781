// The host class PPPTriplet: constructor, three assignable text attributes.
#include "records/ppp_triplet_type.h"

#include "module/attributes.h"
#include "module/binding.h"
#include "records/ppp_triplet.h"

namespace vorm_zel {
namespace {

using py::Ref;

enum Argument : std::size_t { kProvenance, kPlace, kPurpose };
constexpr py::Parameter kParameters[] = {{"provenance", true}, {"place", true}, {"purpose", true}};
constexpr py::Signature kSignature{"PPPTriplet.__new__()", kParameters};

constexpr char kDoc[] =
    "PPPTriplet(provenance, place, purpose)\n--\n\n"
    "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an "
    "event block.";

PyObject* ppp_triplet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> py::Result<Ref> {
        VZ_TRY_ASSIGN(const auto arguments,
                      py::Arguments<std::size(kParameters)>::bind(kSignature, args, kwargs));
        PPPTriplet value;
        VZ_TRY_ASSIGN(value.provenance, arguments.convert<std::string>(kProvenance));
        VZ_TRY_ASSIGN(value.place, arguments.convert<std::string>(kPlace));
        VZ_TRY_ASSIGN(value.purpose, arguments.convert<std::string>(kPurpose));
        return py::new_instance(type, std::move(value));
    });
}

PyGetSetDef g_attributes[] = {
    py::attribute<&PPPTriplet::provenance>(
        "provenance", "Cryptographic or system lineage tracking the structural history."),
    py::attribute<&PPPTriplet::place>(
        "place", "The specific systemic, environmental, or geographic processing node."),
    py::attribute<&PPPTriplet::purpose>(
        "purpose", "The logical framework intent guiding the execution loop."),
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

py::Result<void> create_ppp_triplet_class() {
    return py::create_class<PPPTriplet>(g_slots);
}

}  // namespace vorm_zel
