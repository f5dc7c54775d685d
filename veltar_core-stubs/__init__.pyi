# Type stubs for the native module veltar_core.
#
# Every parameter may be given by position or by keyword. Every returned
# list, dict and str is a new object owned by the caller.
#
# Exceptions beyond the annotations:
# - TypeError for argument parsing and wrong types ("argument '<name>': ..."),
#   ValueError, OverflowError and UnicodeEncodeError from conversions (a str
#   holding a lone surrogate has no UTF-8 form).
# - RuntimeError "Already borrowed" / "Already mutably borrowed" when Python
#   code running inside a call (only verify_chain iterates caller objects)
#   touches the same object in a conflicting way.
# - InternalFault, raised when the native code faults. It derives directly
#   from BaseException, so `except Exception` does not catch it, and it is
#   not an attribute of this module: catch it as BaseException and check
#   `type(error).__name__ == "InternalFault"`. Its one argument is the
#   fault's message.
#
# The TypedDicts below exist for type checking only; at runtime the methods
# return plain dicts whose keys are inserted in the order declared here.

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, final

__all__ = [
    "version",
    "engine_info",
    "TamoFirewall",
    "FirewallResult",
    "TamoPiiScanner",
    "PiiResult",
    "TamoLoopBreaker",
    "TamoHashChain",
]

_RiskLevel = Literal["low", "medium", "high", "critical"]

class _EngineInfo(TypedDict):
    engine: Literal["tamo"]
    version: str
    modules: list[str]

class _FirewallStats(TypedDict):
    checks_total: int
    injections_detected: int
    fast_path_enabled: bool
    deep_path_enabled: bool
    pattern_count: int
    engine: Literal["tamo"]

class _FirewallResultDict(TypedDict):
    is_injection: bool
    risk_level: _RiskLevel
    matched_patterns: list[str]
    heuristic_score: float
    heuristic_signals: list[str]

class _PiiStats(TypedDict):
    total_scans: int
    total_redactions: int
    pattern_count: int
    engine: Literal["tamo"]

class _PiiResultDict(TypedDict):
    redacted_text: str
    count: int
    categories: list[str]

class _LoopCheck(TypedDict):
    is_loop: bool
    similarity: float
    consecutive_similar: int
    window_size: int
    engine: Literal["tamo"]

class _LoopStats(TypedDict):
    total_checks: int
    loops_detected: int
    active_sessions: int
    window_size: int
    similarity_threshold: float
    engine: Literal["tamo"]

class _ChainRecord(TypedDict):
    hash: str
    previous_hash: str
    sequence: int
    event_id: str
    timestamp_iso: str
    timestamp_ms: int
    engine: Literal["tamo"]

class _ChainStats(TypedDict):
    total_records: int
    current_sequence: int
    engine: Literal["tamo"]

class _ChainIntact(TypedDict):
    valid: Literal[True]
    length: int

class _ChainBroken(TypedDict):
    valid: Literal[False]
    broken_at: int
    expected: str
    found: str

def version() -> str:
    """Returns the version of the Tamo core engine."""

def engine_info() -> _EngineInfo:
    """Returns engine info for diagnostics."""

@final
class TamoFirewall:
    """Fast regex + heuristic injection firewall."""

    # Only True and False (and numpy booleans) are accepted, not 0 or 1.
    def __new__(cls, fast_path: bool = True, deep_path: bool = True) -> TamoFirewall: ...
    def check(self, text: str) -> FirewallResult:
        """Check text for injection patterns. Returns FirewallResult."""
    def get_stats(self) -> _FirewallStats: ...

# Made only by TamoFirewall.check; calling the class raises TypeError.
@final
class FirewallResult:
    """Result of a firewall check."""

    @property
    def is_injection(self) -> bool: ...
    @property
    def risk_level(self) -> _RiskLevel: ...
    @property
    def matched_patterns(self) -> list[str]: ...
    @property
    def heuristic_score(self) -> float: ...
    @property
    def heuristic_signals(self) -> list[str]: ...
    def to_dict(self) -> _FirewallResultDict: ...

@final
class TamoPiiScanner:
    """High-performance PII scanner using compiled Tamo regex."""

    def __new__(cls) -> TamoPiiScanner: ...
    def redact(self, text: str) -> PiiResult:
        """Scan text and redact all PII. Returns PiiResult."""
    def scan(self, text: str) -> PiiResult:
        """Scan only — detect PII without redacting."""
    def get_stats(self) -> _PiiStats: ...

# Made only by TamoPiiScanner.scan and redact; calling the class raises
# TypeError.
@final
class PiiResult:
    """Result of PII scanning."""

    @property
    def redacted_text(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def categories(self) -> list[str]: ...
    @property
    def details(self) -> list[tuple[str, int]]: ...
    # Holds redacted_text, count and categories; not details.
    def to_dict(self) -> _PiiResultDict: ...

@final
class TamoLoopBreaker:
    """Loop detection via TF-IDF cosine similarity on sliding window."""

    # window_size: 0 to 2**64 - 1; max_consecutive: 0 to 2**32 - 1. Values
    # outside raise OverflowError.
    def __new__(
        cls,
        window_size: SupportsIndex = 10,
        similarity_threshold: SupportsFloat | SupportsIndex = 0.85,
        max_consecutive: SupportsIndex = 3,
    ) -> TamoLoopBreaker: ...
    def check(self, session_id: str, content: str) -> _LoopCheck:
        """Check if a request is part of a reasoning loop.
        Returns dict with is_loop, similarity, consecutive_count."""
    def reset_session(self, session_id: str) -> None:
        """Reset a session's window."""
    def get_stats(self) -> _LoopStats: ...

@final
class TamoHashChain:
    """SHA-256 hash chain for forensic black box integrity."""

    def __new__(cls) -> TamoHashChain: ...
    def record(self, event_id: str, data: str) -> _ChainRecord:
        """Create a new hash-chained record.
        Returns dict with hash, previous_hash, sequence, timestamp."""
    # `chain` holds (hash, previous_hash) pairs: any sequence except a str,
    # each item a tuple of exactly two str.
    def verify_chain(self, chain: Sequence[tuple[str, str]]) -> _ChainIntact | _ChainBroken:
        """Verify a chain of records.
        Takes a list of (hash, previous_hash) tuples, returns (valid, broken_at)."""
    @staticmethod
    def sha256(data: str) -> str:
        """Compute SHA-256 hash of arbitrary data."""
    def get_stats(self) -> _ChainStats: ...
