"""The module surface: names, signatures, docstrings, registration."""
import importlib
import inspect
import sys

import pytest

import veltar_core

ALL_NAMES = [
    "version",
    "engine_info",
    "TamoFirewall",
    "FirewallResult",
    "TamoPiiScanner",
    "PiiResult",
    "TamoLoopBreaker",
    "TamoHashChain",
]

# (owner, member or None, text signature or None, docstring body or None for no __doc__)
SURFACE = [
    ("TamoFirewall", None, "(fast_path=True, deep_path=True)", "Fast regex + heuristic injection firewall."),
    ("TamoFirewall", "check", "($self, text)", "Check text for injection patterns. Returns FirewallResult."),
    ("TamoFirewall", "get_stats", "($self)", None),
    ("FirewallResult", None, None, "Result of a firewall check."),
    ("FirewallResult", "to_dict", "($self)", None),
    ("TamoPiiScanner", None, "()", "High-performance PII scanner using compiled Tamo regex."),
    ("TamoPiiScanner", "redact", "($self, text)", "Scan text and redact all PII. Returns PiiResult."),
    ("TamoPiiScanner", "scan", "($self, text)", "Scan only \u2014 detect PII without redacting."),
    ("TamoPiiScanner", "get_stats", "($self)", None),
    ("PiiResult", None, None, "Result of PII scanning."),
    ("PiiResult", "to_dict", "($self)", None),
    (
        "TamoLoopBreaker",
        None,
        "(window_size=10, similarity_threshold=0.85, max_consecutive=3)",
        "Loop detection via TF-IDF cosine similarity on sliding window.",
    ),
    (
        "TamoLoopBreaker",
        "check",
        "($self, session_id, content)",
        "Check if a request is part of a reasoning loop.\nReturns dict with is_loop, similarity, consecutive_count.",
    ),
    ("TamoLoopBreaker", "reset_session", "($self, session_id)", "Reset a session's window."),
    ("TamoLoopBreaker", "get_stats", "($self)", None),
    ("TamoHashChain", None, "()", "SHA-256 hash chain for forensic black box integrity."),
    (
        "TamoHashChain",
        "record",
        "($self, event_id, data)",
        "Create a new hash-chained record.\nReturns dict with hash, previous_hash, sequence, timestamp.",
    ),
    (
        "TamoHashChain",
        "verify_chain",
        "($self, chain)",
        "Verify a chain of records.\nTakes a list of (hash, previous_hash) tuples, returns (valid, broken_at).",
    ),
    ("TamoHashChain", "sha256", "(data)", "Compute SHA-256 hash of arbitrary data."),
    ("TamoHashChain", "get_stats", "($self)", None),
]

METHOD_ORDER = {
    "TamoFirewall": ["check", "get_stats"],
    "FirewallResult": ["to_dict"],
    "TamoPiiScanner": ["redact", "scan", "get_stats"],
    "PiiResult": ["to_dict"],
    "TamoLoopBreaker": ["check", "reset_session", "get_stats"],
    "TamoHashChain": ["record", "verify_chain", "sha256", "get_stats"],
}

REGISTERED = [name for name in ALL_NAMES if hasattr(veltar_core, name)]


def registered(owner):
    if not hasattr(veltar_core, owner):
        pytest.skip(f"{owner} is not registered")
    return getattr(veltar_core, owner)


def test_all_lists_registered_names_in_order():
    assert veltar_core.__all__ == REGISTERED
    assert REGISTERED == [n for n in ALL_NAMES if n in REGISTERED]


def test_module_docstring_and_version():
    assert veltar_core.__doc__ == "Veltar Core Python module."
    assert veltar_core.version() == "0.9.0"


def test_engine_info_is_new_each_call():
    first, second = veltar_core.engine_info(), veltar_core.engine_info()
    assert first == {"engine": "tamo", "version": "0.9.0", "modules": ["firewall", "pii", "loop_breaker", "forensic"]}
    assert list(first) == ["engine", "version", "modules"]
    assert first is not second and first["modules"] is not second["modules"]


@pytest.mark.parametrize("name, body", [
    ("version", "Returns the version of the Tamo core engine."),
    ("engine_info", "Returns engine info for diagnostics."),
])
def test_module_functions(name, body):
    function = getattr(veltar_core, name)
    assert function.__doc__ == body
    assert function.__text_signature__ == "()"
    assert function.__self__ is veltar_core
    assert function.__module__ == "veltar_core"
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        function(1)


@pytest.mark.parametrize("owner, member, signature, body", SURFACE,
                         ids=[f"{o}.{m}" if m else o for o, m, _, _ in SURFACE])
def test_surface_row(owner, member, signature, body):
    cls = registered(owner)
    target = cls if member is None else getattr(cls, member)
    assert target.__doc__ == body
    assert target.__text_signature__ == signature
    if member is None:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == owner
        if signature is not None:
            assert str(inspect.signature(cls)) == signature.replace("$self, ", "")


@pytest.mark.parametrize("owner", list(METHOD_ORDER))
def test_method_table_order(owner):
    cls = registered(owner)
    methods = [name for name, value in cls.__dict__.items() if callable(value) or isinstance(value, staticmethod)]
    assert [m for m in methods if not m.startswith("__")] == METHOD_ORDER[owner]


@pytest.mark.parametrize("owner", [n for n in ALL_NAMES if n.startswith(("Tamo", "Firewall", "Pii"))])
def test_classes_are_final_without_dict(owner):
    cls = registered(owner)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


def test_reimport_returns_same_module_and_classes():
    chain_type = veltar_core.TamoHashChain
    del sys.modules["veltar_core"]
    again = importlib.import_module("veltar_core")
    assert again is veltar_core
    assert again.TamoHashChain is chain_type
    assert again.__all__ == REGISTERED


def test_default_repr_shows_full_type_name(chain):
    assert repr(chain).startswith("<builtins.TamoHashChain object at 0x")


def test_import_from_subinterpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        script = (
            "try:\n"
            "    import veltar_core\n"
            "except ImportError as error:\n"
            "    assert 'sub-interpreters' in str(error), error\n"
            "else:\n"
            "    raise AssertionError('imported in a sub-interpreter')\n"
        )
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    assert veltar_core.version() == "0.9.0"
