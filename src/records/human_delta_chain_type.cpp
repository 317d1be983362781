// The host class HumanDeltaChain: constructor (generating chain_id when none
// is given) and four assignable attributes.
#include "records/human_delta_chain_type.h"

#include "common/uuid_text.h"
#include "module/attributes.h"
#include "module/binding.h"
#include "records/human_delta_chain.h"

namespace vorm_zel {
namespace {

using py::Ref;
using py::Result;

constexpr py::Parameter kParameters[] = {
    {"agent_decision_ref", true}, {"resolved", true}, {"terminal_node", true}, {"chain_id", false}};
constexpr py::Signature kSignature{"HumanDeltaChain.__new__()", kParameters};

constexpr char kDoc[] =
    "HumanDeltaChain(agent_decision_ref, resolved, terminal_node, chain_id=None)\n--\n\n"
    "An audit node linking autonomous determinations to definitive human-in-the-loop review "
    "overrides.";

PyObject* human_delta_chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> Result<Ref> {
        py::Slots<4> slots;
        if (auto bound = py::bind_arguments(kSignature, args, kwargs, slots); !bound) {
            return std::move(bound).error();
        }
        HumanDeltaChain value;
        Result<std::string> reference = py::convert_text(slots[0], "agent_decision_ref");
        if (!reference) {
            return std::move(reference).error();
        }
        Result<bool> resolved = py::convert_bool(slots[1], "resolved");
        if (!resolved) {
            return std::move(resolved).error();
        }
        Result<std::string> terminal = py::convert_text(slots[2], "terminal_node");
        if (!terminal) {
            return std::move(terminal).error();
        }
        Result<std::string> chain_id = (slots[3] == nullptr || slots[3] == Py_None)
                                           ? Result<std::string>(random_uuid_text())
                                           : py::convert_text(slots[3], "chain_id");
        if (!chain_id) {
            return std::move(chain_id).error();
        }
        value.agent_decision_ref = std::move(reference).value();
        value.resolved = resolved.value();
        value.terminal_node = std::move(terminal).value();
        value.chain_id = std::move(chain_id).value();
        return py::new_instance(type, std::move(value));
    });
}

using H = HumanDeltaChain;

PyGetSetDef g_attributes[] = {
    {"chain_id", py::get_text<H, &H::chain_id>, py::set_text<H, &H::chain_id>,
     "Unique identity tracking the active sequence.", const_cast<char*>("chain_id")},
    {"agent_decision_ref", py::get_text<H, &H::agent_decision_ref>,
     py::set_text<H, &H::agent_decision_ref>,
     "Reference signature pointer linking directly back to the original model output.",
     const_cast<char*>("agent_decision_ref")},
    {"resolved", py::get_bool<H, &H::resolved>, py::set_bool<H, &H::resolved>,
     "Evaluation state marking whether review processing has formally closed.",
     const_cast<char*>("resolved")},
    {"terminal_node", py::get_text<H, &H::terminal_node>, py::set_text<H, &H::terminal_node>,
     "Terminal validation node sealing the chain integrity state.",
     const_cast<char*>("terminal_node")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_getset, g_attributes},
    {Py_tp_new, reinterpret_cast<void*>(human_delta_chain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<HumanDeltaChain>)},
    {0, nullptr},
};

}  // namespace

py::Status create_human_delta_chain_class() {
    return py::create_class<HumanDeltaChain>(g_slots);
}

}  // namespace vorm_zel
