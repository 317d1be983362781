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

enum Argument : std::size_t { kAgentDecisionRef, kResolved, kTerminalNode, kChainId };
constexpr py::Parameter kParameters[] = {
    {"agent_decision_ref", true}, {"resolved", true}, {"terminal_node", true}, {"chain_id", false}};
constexpr py::Signature kSignature{"HumanDeltaChain.__new__()", kParameters};

constexpr char kDoc[] =
    "HumanDeltaChain(agent_decision_ref, resolved, terminal_node, chain_id=None)\n--\n\n"
    "An audit node linking autonomous determinations to definitive human-in-the-loop review "
    "overrides.";

PyObject* human_delta_chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::object_entry([&]() -> py::Result<Ref> {
        VZ_TRY_ASSIGN(const auto arguments,
                      py::Arguments<std::size(kParameters)>::bind(kSignature, args, kwargs));
        HumanDeltaChain value;
        VZ_TRY_ASSIGN(value.agent_decision_ref, arguments.convert<std::string>(kAgentDecisionRef));
        VZ_TRY_ASSIGN(value.resolved, arguments.convert<bool>(kResolved));
        VZ_TRY_ASSIGN(value.terminal_node, arguments.convert<std::string>(kTerminalNode));
        if (!arguments.given(kChainId) || arguments.object(kChainId) == Py_None) {
            VZ_TRY_ASSIGN(value.chain_id, random_uuid_text());
        } else {
            VZ_TRY_ASSIGN(value.chain_id, arguments.convert<std::string>(kChainId));
        }
        return py::new_instance(type, std::move(value));
    });
}

PyGetSetDef g_attributes[] = {
    py::attribute<&HumanDeltaChain::chain_id>(
        "chain_id", "Unique identity tracking the active sequence."),
    py::attribute<&HumanDeltaChain::agent_decision_ref>(
        "agent_decision_ref",
        "Reference signature pointer linking directly back to the original model output."),
    py::attribute<&HumanDeltaChain::resolved>(
        "resolved", "Evaluation state marking whether review processing has formally closed."),
    py::attribute<&HumanDeltaChain::terminal_node>(
        "terminal_node", "Terminal validation node sealing the chain integrity state."),
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

py::Result<void> create_human_delta_chain_class() {
    return py::create_class<HumanDeltaChain>(g_slots);
}

}  // namespace vorm_zel
