"""Plain-Python versions of the four engines, written the obvious way.

They are the yardstick for the speed-up factors: the same pattern texts run
through Python's `re`, the heuristics as loops over `str.split()` and
`str.lower()`, sessions as dicts of term counts, hashes from `hashlib`. They
return plain tuples and dicts with the same values as the native results, so
run.py can check on every input that both sides did the same job before it
compares their times.

Where Python's notion of a character class differs from the engines' (the
separators U+001C to U+001F count as white space for `str.split()` and `\\s`,
and `str.isalnum()` misses a few combining marks that are Alphabetic), the
generated inputs contain no such character, so the results agree on them.
"""
import hashlib
import math
import re
import time

INJECTION_PATTERNS = [
    ("instruction_override", r"(?i)(ignore|disregard|forget|override)\s+((all|the|any|every)\s+)?(previous|prior|above|earlier)?\s*(instructions?|rules?|prompts?|guidelines?|directives?|the\s+above|everything)"),
    ("role_hijacking", r"(?i)(you\s+are\s+now|act\s+as|pretend\s+(to\s+be|you\s+are)|from\s+now\s+on\s+you)"),
    ("developer_mode", r"(?i)(developer|admin|debug|maintenance|god|sudo|root)\s+mode\s+(enabled|activated|on)"),
    ("dan_mode", r"(?i)DAN\s+mode"),
    ("prompt_extraction", r"(?i)(reveal|show|display|output|print|repeat)\s+(your\s+)?(system\s+prompt|instructions?|initial\s+prompt|configuration)"),
    ("delimiter_injection", r"(?i)(</s>|<\|im_end\|>|<\|endoftext\|>|\[INST\]|\[/INST\]|<<SYS>>|<</SYS>>)"),
    ("data_exfiltration", r"(?i)(send|transmit|post|upload|exfiltrate|forward)\s+.{0,40}(to|towards)\s+(https?://|ftp://|external)"),
    ("system_prompt_leak", r"(?i)(what|tell\s+me)\s+(is|are)\s+your\s+(system\s+prompt|rules|instructions)"),
    ("jailbreak", r"(?i)bypass\s+(all\s+)?(safety|security|content)\s+(filters?|restrictions?|guardrails?|controls?)"),
    ("obfuscation", r"(?i)(base64|rot13|hex)\s*(encode|decode|convert)"),
    ("new_instructions", r"(?i)(new|updated?|revised?)\s+(system\s+)?(instructions?|prompt|rules?):\s"),
    ("ignore_safety", r"(?i)(disable|remove|turn\s+off|deactivate)\s+(safety|security|content|governance)\s+(checks?|filters?|controls?|guardrails?)"),
    ("multilang_evasion", r"(?i)(oubliez|vergessen|ignora|olvida)\s+.{0,20}(instructions?|istruzioni|instrucciones|anweisungen)"),
    ("roleplay_escape", r"(?i)you\s+have\s+no\s+(restrictions?|limits?|boundaries|rules)"),
    ("tool_abuse", r"(?i)(execute|run|eval)\s+(this\s+)?(command|code|script|shell|bash|python)"),
]

PII_PATTERNS = [
    ("email", r"[a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,}", "[EMAIL_REDACTED]"),
    ("credit_card", r"\b(?:\d{4}[\s\-]?){3}\d{4}\b", "[CC_REDACTED]"),
    ("ssn", r"\b\d{3}-\d{2}-\d{4}\b", "[SSN_REDACTED]"),
    ("phone", r"(?:\+?\d{1,3}[\s\-.]?)?\(?\d{2,4}\)?[\s\-.]?\d{3,4}[\s\-.]?\d{3,4}\b", "[PHONE_REDACTED]"),
    ("iban", r"\b[A-Z]{2}\d{2}[A-Z0-9]{4}\d{7}([A-Z0-9]?){0,16}\b", "[IBAN_REDACTED]"),
    ("ip_address", r"\b(?:(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\.){3}(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\b", "[IP_REDACTED]"),
]

IMPERATIVE_KEYWORDS = ["ignore", "forget", "override", "bypass", "disable", "pretend", "act",
                       "reveal", "output", "execute", "send", "transmit", "run", "eval", "sudo"]
IMPERATIVE_SUFFIXES = ["", "s", "d", "ed", "er", "ing"]
IMPERATIVE_WORDS = frozenset(k + s for k in IMPERATIVE_KEYWORDS for s in IMPERATIVE_SUFFIXES)
CONTEXT_SWITCH_PHRASES = ["now you", "from now", "new task", "instead ", "actually ",
                          "correction:", "update:", "revised:"]
ENCODING_MARKERS = ["base64", "\\x", "\\u00", "%2F", "%20", "&#x"]
PLAIN_PUNCTUATION = frozenset(".,;:!?'-\"()")


def score_heuristics(text):
    """The deep-path score and signals: (score, [signal, ...])."""
    score, signals = 0.0, []
    words = text.split()
    imperative = sum(1 for w in words if w.lower() in IMPERATIVE_WORDS)
    density = imperative / max(len(words), 1)
    if len(words) >= 4 and density > 0.15:
        signals.append(f"high_imperative_density:{density:.2f}")
        score = density * 2
    special = sum(1 for c in text
                  if not (c.isalnum() or c.isspace() or c in PLAIN_PUNCTUATION))
    length = len(text.encode("utf-8"))
    ratio = special / max(length, 1)
    if ratio > 0.1:
        signals.append(f"high_special_chars:{ratio:.2f}")
        score += ratio * 3.0
    lowered = text.lower()
    switches = sum(1 for p in CONTEXT_SWITCH_PHRASES if p in lowered)
    if switches >= 2:
        signals.append(f"context_switches:{switches}")
        score += switches * 0.3
    if length > 2000:
        signals.append(f"abnormal_length:{length}")
        score += 0.3
    markers = sum(1 for m in ENCODING_MARKERS if m in text)
    if markers >= 1:
        signals.append(f"encoding_markers:{markers}")
        score += markers * 0.4
    return score, signals


class PyFirewall:
    def __init__(self):
        self.patterns = [(name, re.compile(p)) for name, p in INJECTION_PATTERNS]

    def check(self, text):
        """(is_injection, risk_level, matched_patterns, score, signals)."""
        matched = [name for name, p in self.patterns if p.search(text)]
        score, signals = score_heuristics(text)
        n = len(matched)
        if score >= 2.0 or n >= 3:
            risk = "critical"
        elif score >= 1.5 or n == 2:
            risk = "high"
        elif score >= 1.0 or n == 1:
            risk = "medium"
        else:
            risk = "low"
        return risk != "low", risk, matched, score, signals


class PyPiiScanner:
    def __init__(self):
        self.patterns = [(name, re.compile(p), token) for name, p, token in PII_PATTERNS]

    def scan(self, text):
        """(text, count, categories, details), every detector on the input."""
        details = []
        for name, p, _ in self.patterns:
            n = sum(1 for _ in p.finditer(text))
            if n:
                details.append((name, n))
        return text, sum(n for _, n in details), [name for name, _ in details], details

    def redact(self, text):
        """(redacted text, count, categories, details), detectors in order,
        each on the text the ones before it left."""
        details = []
        for name, p, token in self.patterns:
            text, n = p.subn(token, text)
            if n:
                details.append((name, n))
        return text, sum(n for _, n in details), [name for name, _ in details], details


def _rfc3339(ns):
    seconds, sub = divmod(ns, 1_000_000_000)
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))
    if sub == 0:
        fraction = ""
    elif sub % 1_000_000 == 0:
        fraction = f".{sub // 1_000_000:03d}"
    elif sub % 1000 == 0:
        fraction = f".{sub // 1000:06d}"
    else:
        fraction = f".{sub:09d}"
    return stamp + fraction + "+00:00"


class PyHashChain:
    def __init__(self):
        self.last_hash = "genesis"
        self.sequence = 0

    def record(self, event_id, data):
        self.sequence += 1
        ns = time.time_ns()
        ms = ns // 1_000_000
        digest = hashlib.sha256(
            f"{self.sequence}:{self.last_hash}:{event_id}:{data}:{ms}".encode("utf-8")).hexdigest()
        previous, self.last_hash = self.last_hash, digest
        return {"hash": digest, "previous_hash": previous, "sequence": self.sequence,
                "event_id": event_id, "timestamp_iso": _rfc3339(ns), "timestamp_ms": ms,
                "engine": "tamo"}

    @staticmethod
    def sha256(data):
        return hashlib.sha256(data.encode("utf-8")).hexdigest()

    @staticmethod
    def verify_chain(chain):
        for i in range(1, len(chain)):
            if chain[i][1] != chain[i - 1][0]:
                return {"valid": False, "broken_at": i,
                        "expected": chain[i - 1][0], "found": chain[i][1]}
        return {"valid": True, "length": len(chain)}


_TERM = re.compile(r"[^\W_]+")


def vectorize(text):
    """Term frequencies of the lower-cased alphanumeric runs of at least two
    UTF-8 bytes (one non-ASCII character is enough)."""
    terms = [t for t in _TERM.findall(text.lower()) if len(t) > 1 or not t.isascii()]
    counts = {}
    for t in terms:
        counts[t] = counts.get(t, 0.0) + 1.0
    n = float(len(terms))
    return {t: c / n for t, c in counts.items()}


def cosine_similarity(a, b):
    if not a or not b:
        return 0.0
    dot = norm_a = 0.0
    for t, w in a.items():
        norm_a += w * w
        if t in b:
            dot += w * b[t]
    norm_b = 0.0
    for w in b.values():
        norm_b += w * w
    denominator = math.sqrt(norm_a) * math.sqrt(norm_b)
    return 0.0 if denominator == 0.0 else dot / denominator


class PyLoopBreaker:
    def __init__(self, window_size=10, similarity_threshold=0.85, max_consecutive=3):
        self.window_size = window_size
        self.threshold = similarity_threshold
        self.max_consecutive = max_consecutive
        self.sessions = {}

    def check(self, session_id, content):
        v = vectorize(content)
        session = self.sessions.setdefault(session_id, {"vectors": [], "run": 0})
        best = 0.0
        for stored in session["vectors"]:
            best = max(best, cosine_similarity(v, stored))
        session["run"] = session["run"] + 1 if best >= self.threshold else 0
        session["vectors"].append(v)
        if len(session["vectors"]) > self.window_size:
            del session["vectors"][0]
        return {"is_loop": session["run"] >= self.max_consecutive, "similarity": best,
                "consecutive_similar": session["run"],
                "window_size": len(session["vectors"]), "engine": "tamo"}
