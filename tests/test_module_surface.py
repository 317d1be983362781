"""Module surface: registration, names, documentation, text
signatures, ``PanicException``, closed classes and the one-time
initialisation."""
import inspect
import json
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import vorm_zel

CLASS_NAMES = ["ZELEngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]

CLASS_DOCS = {
    "ZELEngine": "High-performance Python extension wrapper container exposed for model integration bindings.",
    "PPPTriplet": "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an event block.",
    "HumanDeltaChain": "An audit node linking autonomous determinations to definitive human-in-the-loop review overrides.",
    "SealedRecord": "A court-admissible, tamper-evident data structure capturing an immutable point-in-time calculation state.",
}

CLASS_SIGNATURES = {
    "ZELEngine": "(wal_path)",
    "PPPTriplet": "(provenance, place, purpose)",
    "HumanDeltaChain": "(agent_decision_ref, resolved, terminal_node, chain_id=None)",
    "SealedRecord": None,
}

# Everything a class defines besides __new__, __doc__ and __module__, in
# declaration order.
CLASS_MEMBERS = {
    "ZELEngine": ["capture", "public_key_hex"],
    "PPPTriplet": ["provenance", "place", "purpose"],
    "HumanDeltaChain": ["chain_id", "agent_decision_ref", "resolved", "terminal_node"],
    "SealedRecord": [
        "id", "timestamp", "monotonic_nanos", "hash", "signature", "merkle_root",
        "coherence_score", "reputation_scalar", "ppp_json", "ctx_json", "prompt",
        "reasoning_trace_json", "output", "human_delta_chain_json", "core_insight_json",
    ],
}

CAPTURE_PARAMS = "ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True"
CAPTURE_DOC = ("Captures execution contexts, runs real-time consistency checks, "
               "and signs an immutable audit record.")
PUBLIC_KEY_HEX_DOC = "Exposes the verifying identity public hex configuration signature."

PY_TPFLAGS_BASETYPE = 1 << 10
PY_TPFLAGS_HAVE_GC = 1 << 14

BAD_KEY_MESSAGE = "Invalid key length: expected 32 bytes, found 5"


def one_of_each():
    engine = vorm_zel.ZELEngine(":memory:")
    triplet = vorm_zel.PPPTriplet("prov", "place", "purpose")
    chain = vorm_zel.HumanDeltaChain("ref", True, "node")
    record = engine.capture(None, "prompt", None, "output", triplet, chain)
    return {"ZELEngine": engine, "PPPTriplet": triplet, "HumanDeltaChain": chain, "SealedRecord": record}


def raise_panic(tmp_path):
    """Make the module fail internally: a key file of the wrong length."""
    wal = tmp_path / "panic.wal"
    (tmp_path / "panic.wal.key").write_bytes(b"12345")
    vorm_zel.ZELEngine(str(wal))


@pytest.fixture
def panic(tmp_path):
    with pytest.raises(BaseException) as info:
        raise_panic(tmp_path)
    return info.value


# -- module ---------------------------------------------------------------

def test_module_docstring():
    assert vorm_zel.__doc__ == "Main native library interface mapping out public Python module interface class pointers."


def test_all_lists_the_classes_in_registration_order():
    assert type(vorm_zel.__all__) is list
    assert vorm_zel.__all__ == CLASS_NAMES
    for name in CLASS_NAMES:
        assert isinstance(getattr(vorm_zel, name), type)


def test_module_has_no_functions_and_no_panic_exception_attribute():
    public = {name for name in vars(vorm_zel) if not name.startswith("__")}
    assert public == set(CLASS_NAMES)


# -- classes --------------------------------------------------------------

@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_names_and_module(name):
    cls = getattr(vorm_zel, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert repr(cls) == "<class 'builtins.%s'>" % name  # the host shows the dotted name the class was created under


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_docstring(name):
    assert getattr(vorm_zel, name).__doc__ == CLASS_DOCS[name]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_text_signature(name):
    cls = getattr(vorm_zel, name)
    expected = CLASS_SIGNATURES[name]
    assert cls.__text_signature__ == expected
    if expected is None:
        with pytest.raises(ValueError):
            inspect.signature(cls)
    else:
        assert str(inspect.signature(cls)) == expected


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_members_in_declaration_order(name):
    members = [key for key in vars(getattr(vorm_zel, name))
               if key not in ("__new__", "__doc__", "__module__")]
    assert members == CLASS_MEMBERS[name]


def test_capture_signature_and_doc():
    capture = vorm_zel.ZELEngine.capture
    assert capture.__text_signature__ == "($self, %s)" % CAPTURE_PARAMS
    assert str(inspect.signature(capture)) == "(self, /, %s)" % CAPTURE_PARAMS
    bound = inspect.signature(vorm_zel.ZELEngine(":memory:").capture)
    assert str(bound) == "(%s)" % CAPTURE_PARAMS
    assert bound.parameters["auto_insight"].default is True
    assert capture.__doc__ == CAPTURE_DOC
    assert capture.__name__ == "capture"
    assert capture.__qualname__ == "ZELEngine.capture"


def test_public_key_hex_signature_and_doc():
    method = vorm_zel.ZELEngine.public_key_hex
    assert method.__text_signature__ == "($self)"
    assert str(inspect.signature(method)) == "(self, /)"
    assert str(inspect.signature(vorm_zel.ZELEngine(":memory:").public_key_hex)) == "()"
    assert method.__doc__ == PUBLIC_KEY_HEX_DOC
    assert method.__qualname__ == "ZELEngine.public_key_hex"


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_cannot_be_subclassed(name):
    cls = getattr(vorm_zel, name)
    assert not cls.__flags__ & PY_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_are_closed(name):
    cls = getattr(vorm_zel, name)
    obj = one_of_each()[name]
    assert not cls.__flags__ & PY_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "extra")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1,), {}),
    (("a", "b", "c"), {}),
    ((), {"id": "zel_x"}),
    ((None,), {"hash": "h"}),
])
def test_sealed_record_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        vorm_zel.SealedRecord(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined for SealedRecord"


def test_sealed_record_new_called_directly_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for SealedRecord$"):
        vorm_zel.SealedRecord.__new__(vorm_zel.SealedRecord)


# -- PanicException -------------------------------------------------------

def test_panic_exception_class(panic):
    cls = type(panic)
    assert cls.__module__ == "tarn_runtime"
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "SystemExit" in cls.__doc__ and "BaseException" in cls.__doc__


def test_panic_exception_carries_the_message(panic):
    assert str(panic) == BAD_KEY_MESSAGE
    assert panic.args == (BAD_KEY_MESSAGE,)


def test_panic_exception_is_one_class(tmp_path, panic):
    other = tmp_path / "other"
    other.mkdir()
    with pytest.raises(BaseException) as info:
        raise_panic(other)
    assert type(info.value) is type(panic)


def test_panic_exception_passes_except_exception(tmp_path):
    caught_by = None
    try:
        try:
            raise_panic(tmp_path)
        except Exception:
            caught_by = "Exception"
    except BaseException as exc:
        caught_by = "BaseException"
        assert type(exc).__name__ == "PanicException"
    assert caught_by == "BaseException"


def test_panic_writes_a_diagnostic_and_the_process_goes_on(tmp_path, capfd):
    with pytest.raises(BaseException):
        raise_panic(tmp_path)
    assert BAD_KEY_MESSAGE in capfd.readouterr().err
    assert vorm_zel.ZELEngine(":memory:").public_key_hex()


# -- one-time initialisation ----------------------------------------------

REINIT_SCRIPT = textwrap.dedent("""
    import importlib.util, json, sys
    sys.path.insert(0, sys.argv[1])
    import vorm_zel
    first = vorm_zel
    if sys.argv[2] == "reimport":
        del sys.modules["vorm_zel"]
        def again():
            import vorm_zel
    else:
        def again():
            location = importlib.util.spec_from_file_location("vorm_zel", first.__file__)
            importlib.util.module_from_spec(location)
    results = []
    for attempt in range(2):
        try:
            again()
            results.append(["no error", ""])
        except BaseException as exc:
            results.append([type(exc).__name__, str(exc)])
    first.ZELEngine(":memory:").public_key_hex()
    print(json.dumps({"results": results, "still_registered": sys.modules.get("vorm_zel") is first}))
""")

REINIT_MESSAGE = ("Tarn modules compiled for CPython 3.8 or older may only be "
                  "initialized once per interpreter process")


@pytest.mark.parametrize("how", ["reimport", "module_from_spec"])
def test_second_initialisation_fails(how):
    module_dir = os.path.dirname(os.path.abspath(vorm_zel.__file__))
    done = subprocess.run([sys.executable, "-c", REINIT_SCRIPT, module_dir, how],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout)
    assert outcome["results"] == [["ImportError", REINIT_MESSAGE]] * 2
    assert outcome["still_registered"] is (how != "reimport")
