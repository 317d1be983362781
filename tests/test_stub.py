"""The type stub shipped as the vorm_zel-stubs package matches the module at
run time, and type checkers see it.

mypy's stubtest compares names, kinds and signatures; the signatures of the
classes themselves exist at run time only from CPython 3.10 on (the limited
API exposes ``__text_signature__`` for heap types there), so on older
interpreters stubtest can compare only the methods'. Docstrings are compared
here, and mypy --strict type-checks a user's script against the installed
package."""
import ast
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import vorm_zel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_STUB = os.path.join(ROOT, "python", "vorm_zel-stubs", "__init__.pyi")
INSTALLED_STUB = os.path.join(sysconfig.get_paths()["purelib"], "vorm_zel-stubs", "__init__.pyi")

pytest.importorskip("mypy", reason="mypy is installed by scripts/setup.sh")


def plain_env():
    """The environment for mypy: the installed release module, none of the
    sanitizer pass's preloads or path."""
    env = {name: value for name, value in os.environ.items()
           if name not in {"LD_PRELOAD", "PYTHONPATH", "PYTHONMALLOC", "ASAN_OPTIONS", "VORM_ZEL_SANITIZED_BUILD"}}
    env["MYPY_FORCE_COLOR"] = "0"
    return env


def run_mypy(args, tmp_path, env=None):
    env = dict(env or plain_env(), MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=600)


def test_the_installed_stub_is_the_one_in_the_sources():
    with open(INSTALLED_STUB, "rb") as installed, open(SOURCE_STUB, "rb") as source:
        assert installed.read() == source.read()


def test_stubtest_finds_no_difference(tmp_path):
    result = run_mypy(["-m", "mypy.stubtest", "vorm_zel"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


@pytest.mark.parametrize("change,reported", [
    (("wal_path: str", "path: str"), "vorm_zel.ZELEngine.__new__"),
    (('    purpose: str\n    """The logical framework intent guiding the execution loop."""\n', ""), "vorm_zel.PPPTriplet.purpose"),
    (("def public_key_hex(self) -> str:", "def public_key_hex(self, upper: bool) -> str:"), "vorm_zel.ZELEngine.public_key_hex"),
])
def test_stubtest_reports_a_stub_that_drifted(tmp_path, change, reported):
    # A copy on MYPYPATH comes before the installed stubs package.
    with open(SOURCE_STUB, encoding="utf-8") as handle:
        text = handle.read()
    assert change[0] in text
    (tmp_path / "stubs").mkdir()
    (tmp_path / "stubs" / "vorm_zel.pyi").write_text(text.replace(change[0], change[1], 1), encoding="utf-8")
    env = dict(plain_env(), MYPYPATH=str(tmp_path / "stubs"))
    result = run_mypy(["-m", "mypy.stubtest", "vorm_zel"], tmp_path, env)
    assert result.returncode == 1, result.stdout
    assert "error: %s" % reported in result.stdout


def stub_docstrings(path):
    """{name: docstring} for the module, its classes and their members, as the stub writes them."""
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read())
    docs = {"vorm_zel": ast.get_docstring(tree, clean=False)}
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        docs[cls.name] = ast.get_docstring(cls, clean=False)
        for index, node in enumerate(cls.body):
            if isinstance(node, ast.FunctionDef) and node.name != "__new__":
                docs["%s.%s" % (cls.name, node.name)] = ast.get_docstring(node, clean=False)
            elif isinstance(node, ast.AnnAssign):
                following = cls.body[index + 1] if index + 1 < len(cls.body) else None
                is_doc = isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                docs["%s.%s" % (cls.name, node.target.id)] = following.value.value if is_doc else None
    return docs


def runtime_docstrings():
    docs = {"vorm_zel": vorm_zel.__doc__}
    for name in vorm_zel.__all__:
        cls = getattr(vorm_zel, name)
        docs[name] = cls.__doc__
        for member, value in vars(cls).items():
            if not member.startswith("_"):
                docs["%s.%s" % (name, member)] = value.__doc__
    return docs


def test_docstrings_match_the_runtime():
    stub, runtime = stub_docstrings(INSTALLED_STUB), runtime_docstrings()
    assert sorted(stub) == sorted(runtime)
    differing = {name: (stub[name], runtime[name]) for name in runtime if stub[name] != runtime[name]}
    assert not differing


USER_SCRIPT = '''
    from typing import List, Optional

    import vorm_zel


    def seal(engine: vorm_zel.ZELEngine, prompt: str) -> vorm_zel.SealedRecord:
        triplet = vorm_zel.PPPTriplet("agent/v1", "host-1", "answer")
        review = vorm_zel.HumanDeltaChain("ref-1", resolved=False, terminal_node="auto")
        return engine.capture({"n": 1}, prompt, [{"step": 1}], "done", triplet, review, auto_insight=False)


    engine = vorm_zel.ZELEngine(":memory:")
    record = seal(engine, "hello")
    signature: List[int] = record.signature
    insight: Optional[str] = record.core_insight_json
    score: float = record.coherence_score + record.reputation_scalar
    key: str = engine.public_key_hex() + vorm_zel.__version__
'''


@pytest.mark.parametrize("body,expected", [
    ("", None),
    ("engine.capture({}, 42, [], 'o', vorm_zel.PPPTriplet('a', 'b', 'c'), vorm_zel.HumanDeltaChain('r', True, 't'))",
     'Argument 2 to "capture" of "ZELEngine" has incompatible type "int"; expected "str"'),
    ("record.hash = 'x'", 'Property "hash" defined in "SealedRecord" is read-only'),
])
def test_mypy_strict_checks_a_user_script_against_the_installed_package(tmp_path, body, expected):
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent(USER_SCRIPT) + body + "\n", encoding="utf-8")
    result = run_mypy(["-m", "mypy", "--strict", "--no-error-summary", str(script)], tmp_path)
    if expected is None:
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout == ""
    else:
        assert result.returncode == 1, result.stdout + result.stderr
        assert expected in result.stdout
