"""Argument binding and value conversion for the three
constructors, ``capture`` and the attribute setters."""
import os

import pytest

import vorm_zel

T = vorm_zel.PPPTriplet("prov", "place", "purpose")
H = vorm_zel.HumanDeltaChain("ref", True, "node", "chain")
ENG = "ZELEngine.__new__()"
PPP = "PPPTriplet.__new__()"
HDC = "HumanDeltaChain.__new__()"
CAP = "ZELEngine.capture()"
SURROGATE = "x\ud800"
SURROGATE_MESSAGE = "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"
GOOD_CAPTURE = dict(ctx=None, prompt="prompt", reasoning_trace=None, output="output",
                    ppp_triplet=T, human_delta_chain=H)


class Outer:
    class Inner:
        pass


class Unnamed(type):
    """A metaclass whose classes refuse to give their __qualname__."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=Unnamed):
    pass


def fake_numpy_bool(name="bool_", **namespace):
    """A class that presents itself as numpy's boolean type."""
    namespace.update(__module__="numpy", __qualname__=name)
    return type(name, (), namespace)


def wrong(name, type_name, target):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (name, type_name, target)


def missing(function, *names):
    quoted = ["'%s'" % name for name in names]
    if len(quoted) == 1:
        return "%s missing 1 required positional argument: %s" % (function, quoted[0])
    if len(quoted) == 2:
        listed = " and ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    return "%s missing %d required positional arguments: %s" % (function, len(quoted), listed)


def capture_args(**changes):
    # Not the shared capture: these cases need the raw positional arguments, bad values included.
    values = dict(GOOD_CAPTURE, **changes)
    return tuple(values.values())


def case(target, args, kwargs, exc, message, id):
    return pytest.param(target, args, kwargs, exc, message, id=id)


CASES = [
    # ZELEngine(wal_path)
    case("ZELEngine", (), {}, TypeError, missing(ENG, "wal_path"), "engine-missing"),
    case("ZELEngine", ("a", "b"), {}, TypeError,
         ENG + " takes 1 positional arguments but 2 were given", "engine-surplus-2"),
    case("ZELEngine", (":memory:",) * 3, {}, TypeError,
         ENG + " takes 1 positional arguments but 3 were given", "engine-surplus-3"),
    case("ZELEngine", (5, 6), {}, TypeError,
         ENG + " takes 1 positional arguments but 2 were given", "engine-binding-before-conversion"),
    case("ZELEngine", (), {"wal_path": "a", "path": "b"}, TypeError,
         ENG + " got an unexpected keyword argument 'path'", "engine-unexpected-kw"),
    case("ZELEngine", (), {"path": "b"}, TypeError,
         ENG + " got an unexpected keyword argument 'path'", "engine-unexpected-before-missing"),
    case("ZELEngine", ("a",), {"wal_path": "a"}, TypeError,
         ENG + " got multiple values for argument 'wal_path'", "engine-multiple"),
    case("ZELEngine", (5,), {}, TypeError, wrong("wal_path", "int", "PyString"), "engine-int"),
    case("ZELEngine", (), {"wal_path": None}, TypeError,
         wrong("wal_path", "NoneType", "PyString"), "engine-none-kw"),
    case("ZELEngine", (b":memory:",), {}, TypeError, wrong("wal_path", "bytes", "PyString"), "engine-bytes"),
    case("ZELEngine", (Outer.Inner(),), {}, TypeError,
         wrong("wal_path", "Outer.Inner", "PyString"), "engine-qualname"),
    case("ZELEngine", (Nameless(),), {}, TypeError,
         wrong("wal_path", "<failed to extract type name>", "PyString"), "engine-no-type-name"),
    case("ZELEngine", (SURROGATE,), {}, UnicodeEncodeError, SURROGATE_MESSAGE, "engine-surrogate"),

    # PPPTriplet(provenance, place, purpose)
    case("PPPTriplet", (), {}, TypeError, missing(PPP, "provenance", "place", "purpose"), "ppp-missing-3"),
    case("PPPTriplet", ("a",), {}, TypeError, missing(PPP, "place", "purpose"), "ppp-missing-2"),
    case("PPPTriplet", ("a", "b"), {}, TypeError, missing(PPP, "purpose"), "ppp-missing-1"),
    case("PPPTriplet", (), {"place": "b"}, TypeError,
         missing(PPP, "provenance", "purpose"), "ppp-missing-around-keyword"),
    case("PPPTriplet", (), {"purpose": "c", "provenance": "a"}, TypeError,
         missing(PPP, "place"), "ppp-missing-middle"),
    case("PPPTriplet", (1, 2), {}, TypeError, missing(PPP, "purpose"), "ppp-missing-before-conversion"),
    case("PPPTriplet", ("a", "b", "c", "d"), {}, TypeError,
         PPP + " takes 3 positional arguments but 4 were given", "ppp-surplus"),
    case("PPPTriplet", ("a", "b", "c"), {"extra": 1}, TypeError,
         PPP + " got an unexpected keyword argument 'extra'", "ppp-unexpected-kw"),
    case("PPPTriplet", ("a", "b", "c"), {"place": "x"}, TypeError,
         PPP + " got multiple values for argument 'place'", "ppp-multiple"),
    case("PPPTriplet", ("a", "b"), {"provenance": "x"}, TypeError,
         PPP + " got multiple values for argument 'provenance'", "ppp-multiple-before-missing"),
    case("PPPTriplet", (1, 2, 3), {}, TypeError, wrong("provenance", "int", "PyString"), "ppp-first-fails"),
    case("PPPTriplet", ("a", 2.5, 3), {}, TypeError, wrong("place", "float", "PyString"), "ppp-second-fails"),
    case("PPPTriplet", ("a", "b", None), {}, TypeError, wrong("purpose", "NoneType", "PyString"), "ppp-none"),
    case("PPPTriplet", (), {"purpose": 1, "place": 2, "provenance": "a"}, TypeError,
         wrong("place", "int", "PyString"), "ppp-parameter-order-not-keyword-order"),
    case("PPPTriplet", (SURROGATE, 2, 3), {}, UnicodeEncodeError, SURROGATE_MESSAGE, "ppp-surrogate-first"),
    case("PPPTriplet", (1, SURROGATE, "c"), {}, TypeError,
         wrong("provenance", "int", "PyString"), "ppp-type-error-before-surrogate"),

    # HumanDeltaChain(agent_decision_ref, resolved, terminal_node, chain_id=None)
    case("HumanDeltaChain", (), {}, TypeError,
         missing(HDC, "agent_decision_ref", "resolved", "terminal_node"), "hdc-missing-3"),
    case("HumanDeltaChain", (), {"chain_id": "c"}, TypeError,
         missing(HDC, "agent_decision_ref", "resolved", "terminal_node"), "hdc-missing-optional-not-listed"),
    case("HumanDeltaChain", ("d",), {}, TypeError, missing(HDC, "resolved", "terminal_node"), "hdc-missing-2"),
    case("HumanDeltaChain", ("d", True), {}, TypeError, missing(HDC, "terminal_node"), "hdc-missing-1"),
    case("HumanDeltaChain", ("d", True, "n", "c", "x"), {}, TypeError,
         HDC + " takes from 3 to 4 positional arguments but 5 were given", "hdc-surplus-5"),
    case("HumanDeltaChain", ("d", True, "n", "c", "x", "y"), {}, TypeError,
         HDC + " takes from 3 to 4 positional arguments but 6 were given", "hdc-surplus-6"),
    case("HumanDeltaChain", ("d", True, "n", "c"), {"chain_id": "x"}, TypeError,
         HDC + " got multiple values for argument 'chain_id'", "hdc-multiple"),
    case("HumanDeltaChain", ("d", True, "n"), {"chainid": "x"}, TypeError,
         HDC + " got an unexpected keyword argument 'chainid'", "hdc-unexpected-kw"),
    case("HumanDeltaChain", ("d", 1, "n"), {}, TypeError, wrong("resolved", "int", "PyBool"), "hdc-int-1"),
    case("HumanDeltaChain", ("d", 0, "n"), {}, TypeError, wrong("resolved", "int", "PyBool"), "hdc-int-0"),
    case("HumanDeltaChain", ("d", None, "n"), {}, TypeError, wrong("resolved", "NoneType", "PyBool"), "hdc-none"),
    case("HumanDeltaChain", ("d", "true", "n"), {}, TypeError, wrong("resolved", "str", "PyBool"), "hdc-str"),
    case("HumanDeltaChain", (1, 1, 1, 1), {}, TypeError,
         wrong("agent_decision_ref", "int", "PyString"), "hdc-first-fails"),
    case("HumanDeltaChain", ("d", 1, 5, 7), {}, TypeError, wrong("resolved", "int", "PyBool"), "hdc-second-fails"),
    case("HumanDeltaChain", ("d", True, 5, 7), {}, TypeError,
         wrong("terminal_node", "int", "PyString"), "hdc-third-fails"),
    case("HumanDeltaChain", ("d", True, "n", 7), {}, TypeError, wrong("chain_id", "int", "PyString"), "hdc-chain-id"),
    case("HumanDeltaChain", ("d", True, "n", SURROGATE), {}, UnicodeEncodeError, SURROGATE_MESSAGE,
         "hdc-surrogate-chain-id"),
    case("HumanDeltaChain", ("d", None, SURROGATE), {}, TypeError,
         wrong("resolved", "NoneType", "PyBool"), "hdc-type-error-before-surrogate"),
    case("HumanDeltaChain", ("d", fake_numpy_bool()(), "n"), {}, TypeError,
         "argument 'resolved': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
         "hdc-numpy-bool_-without-__bool__"),
    case("HumanDeltaChain", ("d", fake_numpy_bool("bool")(), "n"), {}, TypeError,
         "argument 'resolved': object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion",
         "hdc-numpy-bool-without-__bool__"),
    case("HumanDeltaChain", ("d", fake_numpy_bool(__bool__=lambda self: 1)(), "n"), {}, TypeError,
         wrong("resolved", "int", "PyBool"), "hdc-numpy-__bool__-returns-int"),
    case("HumanDeltaChain", ("d", fake_numpy_bool("int_", __bool__=lambda self: True)(), "n"), {}, TypeError,
         wrong("resolved", "int_", "PyBool"), "hdc-numpy-other-name"),
    case("HumanDeltaChain", ("d", type("bool_", (), {"__bool__": lambda self: True})(), "n"), {}, TypeError,
         wrong("resolved", "bool_", "PyBool"), "hdc-bool_-outside-numpy"),

    # capture(ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)
    case("capture", (), {}, TypeError,
         missing(CAP, "ctx", "prompt", "reasoning_trace", "output", "ppp_triplet", "human_delta_chain"),
         "capture-missing-6"),
    case("capture", (None, "p"), {}, TypeError,
         missing(CAP, "reasoning_trace", "output", "ppp_triplet", "human_delta_chain"), "capture-missing-4"),
    case("capture", (None, "p", None, "o"), {}, TypeError,
         missing(CAP, "ppp_triplet", "human_delta_chain"), "capture-missing-2"),
    case("capture", (None, "p", None, "o", T), {}, TypeError,
         missing(CAP, "human_delta_chain"), "capture-missing-1"),
    case("capture", (), {"output": "o", "auto_insight": True}, TypeError,
         missing(CAP, "ctx", "prompt", "reasoning_trace", "ppp_triplet", "human_delta_chain"),
         "capture-missing-around-keywords"),
    case("capture", (1, 2, 3), {}, TypeError,
         missing(CAP, "output", "ppp_triplet", "human_delta_chain"), "capture-missing-before-conversion"),
    case("capture", capture_args() + (True, True), {}, TypeError,
         CAP + " takes from 6 to 7 positional arguments but 8 were given", "capture-surplus"),
    case("capture", (1, 2, 3, 4, 5, 6, 7, 8, 9), {}, TypeError,
         CAP + " takes from 6 to 7 positional arguments but 9 were given", "capture-surplus-before-conversion"),
    case("capture", capture_args() + (True,), {"auto_insight": True}, TypeError,
         CAP + " got multiple values for argument 'auto_insight'", "capture-multiple-auto-insight"),
    case("capture", capture_args(), {"ctx": None}, TypeError,
         CAP + " got multiple values for argument 'ctx'", "capture-multiple-ctx"),
    case("capture", capture_args(), {"autoinsight": True}, TypeError,
         CAP + " got an unexpected keyword argument 'autoinsight'", "capture-unexpected-kw"),
    case("capture", capture_args(prompt=1), {}, TypeError, wrong("prompt", "int", "PyString"), "capture-prompt"),
    case("capture", capture_args(output=None), {}, TypeError,
         wrong("output", "NoneType", "PyString"), "capture-output-none"),
    case("capture", capture_args(ppp_triplet=H), {}, TypeError,
         wrong("ppp_triplet", "HumanDeltaChain", "PPPTriplet"), "capture-ppp-is-chain"),
    case("capture", capture_args(ppp_triplet=None), {}, TypeError,
         wrong("ppp_triplet", "NoneType", "PPPTriplet"), "capture-ppp-none"),
    case("capture", capture_args(human_delta_chain=T), {}, TypeError,
         wrong("human_delta_chain", "PPPTriplet", "HumanDeltaChain"), "capture-chain-is-triplet"),
    case("capture", capture_args(human_delta_chain=1), {}, TypeError,
         wrong("human_delta_chain", "int", "HumanDeltaChain"), "capture-chain-int"),
    case("capture", capture_args(), {"auto_insight": 1}, TypeError,
         wrong("auto_insight", "int", "PyBool"), "capture-auto-insight-int"),
    case("capture", capture_args() + (None,), {}, TypeError,
         wrong("auto_insight", "NoneType", "PyBool"), "capture-auto-insight-none"),
    case("capture", capture_args(prompt=SURROGATE), {}, UnicodeEncodeError, SURROGATE_MESSAGE,
         "capture-prompt-surrogate"),
    case("capture", capture_args(output=SURROGATE, ppp_triplet=None), {}, UnicodeEncodeError, SURROGATE_MESSAGE,
         "capture-output-surrogate-before-record"),
    case("capture", (set(), 1, set(), 2, 3, 4, 5), {}, TypeError,
         wrong("prompt", "int", "PyString"), "capture-order-prompt"),
    case("capture", (set(), "p", set(), 2, 3, 4, 5), {}, TypeError,
         wrong("output", "int", "PyString"), "capture-order-output"),
    case("capture", (set(), "p", set(), "o", 3, 4, 5), {}, TypeError,
         wrong("ppp_triplet", "int", "PPPTriplet"), "capture-order-ppp"),
    case("capture", (set(), "p", set(), "o", T, 4, 5), {}, TypeError,
         wrong("human_delta_chain", "int", "HumanDeltaChain"), "capture-order-chain"),
    case("capture", (set(), "p", set(), "o", T, H, 5), {}, TypeError,
         wrong("auto_insight", "int", "PyBool"), "capture-order-auto-insight"),
    case("capture", (), dict(auto_insight=1, human_delta_chain=1, ppp_triplet=1, output=1,
                             prompt="p", ctx=None, reasoning_trace=None), TypeError,
         wrong("output", "int", "PyString"), "capture-parameter-order-not-keyword-order"),
]


@pytest.fixture
def call(vz):
    engine = vz.ZELEngine(":memory:")
    targets = {"ZELEngine": vz.ZELEngine, "PPPTriplet": vz.PPPTriplet,
               "HumanDeltaChain": vz.HumanDeltaChain, "capture": engine.capture}
    return lambda target, args, kwargs: targets[target](*args, **kwargs)


@pytest.mark.parametrize("target, args, kwargs, exc, message", CASES)
def test_call_fails(call, target, args, kwargs, exc, message):
    with pytest.raises(BaseException) as info:
        call(target, args, kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert os.listdir(".") == []


# -- exceptions raised by a numpy boolean's __bool__ ----------------------

class Root(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


def raising_bool(error):
    def __bool__(self):
        if isinstance(error, TypeError):
            raise error from Root("root cause")
        raise error
    return fake_numpy_bool(__bool__=__bool__)()


def test_bool_type_error_is_wrapped_and_keeps_its_cause(vz):
    with pytest.raises(TypeError) as info:
        vz.HumanDeltaChain("d", raising_bool(TypeError("inner")), "n")
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'resolved': inner"
    assert type(info.value.__cause__) is Root
    assert str(info.value.__cause__) == "root cause"


@pytest.mark.parametrize("error", [ValueError("bad bool"), TypeErrorSubclass("subclass"), RuntimeError("rt")],
                         ids=lambda error: type(error).__name__)
def test_bool_other_errors_pass_through(vz, error):
    engine = vz.ZELEngine(":memory:")
    with pytest.raises(BaseException) as info:
        engine.capture(None, "p", None, "o", T, H, raising_bool(error))
    assert info.value is error


# -- accepted values ------------------------------------------------------

class Text(str):
    pass


def test_str_subclasses_are_accepted_and_read_back_as_str(vz):
    numpy = pytest.importorskip("numpy")
    triplet = vz.PPPTriplet(Text("prov"), place=Text("place"), purpose=numpy.str_("purpose"))
    chain = vz.HumanDeltaChain(Text("ref"), True, Text("node"), Text("chain"))
    record = vz.ZELEngine(Text(":memory:")).capture(None, Text("prompt"), None, Text("output"), triplet, chain)
    values = [triplet.provenance, triplet.place, triplet.purpose, chain.agent_decision_ref,
              chain.terminal_node, chain.chain_id, record.prompt, record.output]
    assert values == ["prov", "place", "purpose", "ref", "node", "chain", "prompt", "output"]
    assert all(type(value) is str for value in values)
    assert os.listdir(".") == []


def test_real_numpy_booleans_are_accepted(vz):
    numpy = pytest.importorskip("numpy")
    assert vz.HumanDeltaChain("d", numpy.bool_(True), "n").resolved is True
    assert vz.HumanDeltaChain("d", resolved=numpy.False_, terminal_node="n").resolved is False
    chain = vz.HumanDeltaChain("d", False, "n")
    chain.resolved = numpy.True_
    assert chain.resolved is True
    engine = vz.ZELEngine(":memory:")
    assert engine.capture(None, "p", None, "o", T, H, numpy.bool_(False)).core_insight_json is None
    assert engine.capture(None, "p", None, "o", T, H, auto_insight=numpy.bool_(True)).core_insight_json is not None


@pytest.mark.parametrize("make, type_name", [
    (lambda numpy: numpy.int64(1), "int64"),
    (lambda numpy: numpy.float64(1.0), "float64"),
    (lambda numpy: numpy.array(True), "ndarray"),
], ids=["int64", "float64", "ndarray"])
def test_real_numpy_non_booleans_are_rejected(vz, make, type_name):
    numpy = pytest.importorskip("numpy")
    with pytest.raises(TypeError) as info:
        vz.HumanDeltaChain("d", make(numpy), "n")
    assert str(info.value) == wrong("resolved", type_name, "PyBool")


def test_fake_numpy_bool_string_form():
    """The message of the 'hdc-numpy-bool_-without-__bool__' case relies on this."""
    assert str(fake_numpy_bool()) == "<class 'numpy.bool_'>"
    assert not hasattr(fake_numpy_bool(), "__bool__")


# -- assignment -----------------------------------------------------------

def new_record(vz, cls):
    if cls == "PPPTriplet":
        return vz.PPPTriplet("prov", "place", "purpose")
    return vz.HumanDeltaChain("ref", False, "node", "chain")


ASSIGNMENTS = [
    ("PPPTriplet", "provenance", 1, TypeError, wrong("provenance", "int", "PyString")),
    ("PPPTriplet", "place", 3, TypeError, wrong("place", "int", "PyString")),
    ("PPPTriplet", "place", None, TypeError, wrong("place", "NoneType", "PyString")),
    ("PPPTriplet", "purpose", b"x", TypeError, wrong("purpose", "bytes", "PyString")),
    ("PPPTriplet", "purpose", SURROGATE, UnicodeEncodeError, SURROGATE_MESSAGE),
    ("HumanDeltaChain", "chain_id", None, TypeError, wrong("chain_id", "NoneType", "PyString")),
    ("HumanDeltaChain", "agent_decision_ref", 5, TypeError, wrong("agent_decision_ref", "int", "PyString")),
    ("HumanDeltaChain", "terminal_node", SURROGATE, UnicodeEncodeError, SURROGATE_MESSAGE),
    ("HumanDeltaChain", "resolved", 1, TypeError, wrong("resolved", "int", "PyBool")),
    ("HumanDeltaChain", "resolved", None, TypeError, wrong("resolved", "NoneType", "PyBool")),
    ("HumanDeltaChain", "resolved", fake_numpy_bool()(), TypeError,
     "argument 'resolved': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
]


@pytest.mark.parametrize("cls, attribute, value, exc, message", ASSIGNMENTS)
def test_failed_assignment_changes_nothing(vz, cls, attribute, value, exc, message):
    record = new_record(vz, cls)
    before = getattr(record, attribute)
    with pytest.raises(BaseException) as info:
        setattr(record, attribute, value)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert getattr(record, attribute) == before


def test_assignment_type_error_keeps_its_cause(vz):
    chain = new_record(vz, "HumanDeltaChain")
    with pytest.raises(TypeError) as info:
        chain.resolved = raising_bool(TypeError("inner"))
    assert str(info.value) == "argument 'resolved': inner"
    assert type(info.value.__cause__) is Root
    assert chain.resolved is False


@pytest.mark.parametrize("cls, attribute", [
    ("PPPTriplet", "provenance"), ("PPPTriplet", "place"), ("PPPTriplet", "purpose"),
    ("HumanDeltaChain", "chain_id"), ("HumanDeltaChain", "agent_decision_ref"),
    ("HumanDeltaChain", "resolved"), ("HumanDeltaChain", "terminal_node"),
])
def test_deletion_is_refused(vz, cls, attribute):
    record = new_record(vz, cls)
    before = getattr(record, attribute)
    with pytest.raises(AttributeError) as info:
        delattr(record, attribute)
    assert type(info.value) is AttributeError
    assert str(info.value) == "can't delete attribute"
    assert getattr(record, attribute) == before

