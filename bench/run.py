"""The veltar_core benchmark suite, run by `make bench`.

For every public operation it times the native engine, a plain-Python
baseline doing the same job (baseline.py) and a bandwidth reference, a
memchr pass (`bytes.find` of an absent byte) over the same bytes, and reports
throughput and time per call, the speed-up over the baseline and the
fraction of memory bandwidth reached, each target next to its figure. It
also times the first `TamoFirewall()` of a fresh process and runs the
hostile-input program bench/hostile_regex when the build has it
(meson -Dbenchmarks=true). Figures go to the terminal, to a JSON file
(bench/results.json unless --json says otherwise) and to docs/bench.md and
docs/bench.png.

Method, chosen for a noisy shared machine:
- the contenders of one row run in interleaved rounds, in rotating order, so
  that a burst of noise or a clock change hits all of them alike;
- every figure is the minimum over the rounds, since noise only ever adds
  time (the median is kept in the JSON);
- garbage collection is off while timing, and the first run of every
  contender is a warm-up that is not counted;
- the thread's CPU time is taken beside the wall clock: on a busy machine
  the wall-clock minimum grows while the CPU-time minimum does not, and
  their ratio (the "busy" column) shows how far a row was disturbed;
- small inputs are timed in batches of distinct inputs, so a per-call figure
  includes the Python call and the loop making it, as a caller pays it;
- a baseline too slow for the time budget runs on a prefix of the input
  (the output says so), and speed-ups of large inputs compare time per byte.
Units: the "1 MB" inputs are 2^20 bytes; MB/s means 10^6 bytes per second.
"""
import argparse
import datetime
import gc
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

import baseline
import inputs

try:
    import veltar_core
except ImportError as error:
    sys.exit(f"bench/run.py: cannot import veltar_core ({error}); "
             "build it first and run with PYTHONPATH set to the build directory")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

PROSE, CLEAN, CSV = "prose 1 MB", "clean prose 1 MB", "CSV numbers 1 MB"
MSG100, MSG1K = "message 100 B", "message 1 KB"
EVENT, CHAIN, REQUEST = "audit event", "chain of 100k pairs", "1 KB request, window of 10"
FIRST_FIREWALL = "first TamoFirewall() in a process"


@dataclass
class Contender:
    """One timed thing: `thunk()` makes `calls` calls over `nbytes` input bytes."""
    thunk: object
    calls: int
    nbytes: int
    budget: float   # seconds of timed runs this contender may use
    min_rounds: int
    samples: list = field(default_factory=list)       # wall-clock ns per run
    cpu_samples: list = field(default_factory=list)   # thread CPU ns per run

    def per_call_ns(self, pick=min):
        return pick(self.samples) / self.calls

    def per_byte_ns(self, pick=min):
        return pick(self.samples) / self.nbytes


@dataclass
class Row:
    op: str
    input: str
    contenders: dict            # "native", "baseline", "bandwidth" and any extras
    compare: object = None      # (warm-up results) -> (agrees, detail)
    per_byte: bool = False      # compare native and baseline per byte, not per call
    notes: list = field(default_factory=list)


def race(contenders, max_rounds):
    """Times the contenders in interleaved rounds after one warm-up run each;
    returns the warm-up results. Each contender gets enough rounds to fill its
    budget, at least its minimum and at most max_rounds."""
    names = list(contenders)
    warm, rounds = {}, {}
    gc.collect()
    gc.disable()
    try:
        for name in names:
            c = contenders[name]
            start = time.perf_counter_ns()
            warm[name] = c.thunk()
            first = max(time.perf_counter_ns() - start, 1)
            rounds[name] = max(c.min_rounds, min(max_rounds, int(c.budget * 1e9 / first)))
        for r in range(max(rounds.values())):
            for name in names[r % len(names):] + names[:r % len(names)]:
                if r < rounds[name]:
                    c = contenders[name]
                    cpu = time.thread_time_ns()
                    start = time.perf_counter_ns()
                    c.thunk()
                    c.samples.append(time.perf_counter_ns() - start)
                    c.cpu_samples.append(time.thread_time_ns() - cpu)
    finally:
        gc.enable()
    return warm


class Suite:
    def __init__(self, args):
        self.args = args
        self.scale = 0.25 if args.quick else 1.0
        self.rows = []

    # Contender factories -------------------------------------------------

    def single(self, fn, *call_args, nbytes, budget=0.5, min_rounds=7):
        return Contender(lambda: fn(*call_args), 1, nbytes, budget * self.scale, min_rounds)

    def batch(self, fn, items, nbytes, budget=0.5, min_rounds=7):
        """Calls fn once per item; an item is one argument or a tuple of two."""
        if items and isinstance(items[0], tuple):
            def thunk():
                for a, b in items:
                    fn(a, b)
        else:
            def thunk():
                for a in items:
                    fn(a)
        return Contender(thunk, len(items), nbytes, budget * self.scale, min_rounds)

    def memchr(self, raws, budget=0.15):
        """The bandwidth reference: one pass of memchr over each bytes object."""
        assert all(b"\0" not in raw for raw in raws)
        return self.batch(bytes.find, [(raw, b"\0") for raw in raws],
                          sum(len(raw) for raw in raws), budget)

    def baseline_prefix(self, fn, text, limit=0.7):
        """The longest prefix of `text`, halving from the whole, whose baseline
        run is expected to take at most `limit` seconds (at least 64 KB)."""
        raw = text.encode("utf-8")
        size = 64 * inputs.KB
        probe = _prefix(raw, size)
        start = time.perf_counter()
        fn(probe)
        per_byte = (time.perf_counter() - start) / len(probe.encode("utf-8"))
        size = len(raw)
        while size > 64 * inputs.KB and per_byte * size > limit * self.scale:
            size //= 2
        return text if size == len(raw) else _prefix(raw, size)

    def batch_size(self, fn, items, seconds=0.05):
        """How many items of a baseline batch fill about `seconds`."""
        probe = items[:10]
        start = time.perf_counter()
        for item in probe:
            fn(*item) if isinstance(item, tuple) else fn(item)
        per_item = (time.perf_counter() - start) / len(probe)
        return max(10, min(len(items), int(seconds * self.scale / per_item)))

    # Rows ------------------------------------------------------------------

    def throughput(self, op, label, native_fn, baseline_fn, text, compare, extras=None):
        raw = text.encode("utf-8")
        sample = self.baseline_prefix(baseline_fn, text)
        sample_bytes = len(sample.encode("utf-8"))
        row = Row(op, label, {
            "native": self.single(native_fn, text, nbytes=len(raw)),
            "baseline": self.single(baseline_fn, sample, nbytes=sample_bytes,
                                    budget=1.0, min_rounds=2),
            "bandwidth": self.single(raw.find, b"\0", nbytes=len(raw), budget=0.15),
            **(extras or {}),
        }, per_byte=True)
        if sample_bytes < len(raw):
            row.notes.append(f"baseline timed on the first {sample_bytes // inputs.KB} KB")
        row.compare = lambda warm: compare(native_fn(sample) if sample is not text
                                           else warm["native"], warm["baseline"])
        self.rows.append(row)
        return row

    def per_call(self, op, label, native_fn, baseline_fn, items, raws, compare):
        k = self.batch_size(baseline_fn, items)
        row = Row(op, label, {
            "native": self.batch(native_fn, items, sum(len(r) for r in raws)),
            "baseline": self.batch(baseline_fn, items[:k], sum(len(r) for r in raws[:k]),
                                   budget=1.0, min_rounds=3),
            "bandwidth": self.memchr(raws),
        }, compare=lambda warm: compare())
        self.rows.append(row)
        return row


def _prefix(raw, nbytes):
    return raw[:nbytes].decode("utf-8", errors="ignore")


def _firewall_tuple(r):
    return (r.is_injection, r.risk_level, r.matched_patterns, r.heuristic_score,
            r.heuristic_signals)


def _same(native, base):
    return (native == base), ("" if native == base else f"native {native!r} vs baseline {base!r}")


def firewall_rows(suite, data):
    if not hasattr(veltar_core, "TamoFirewall"):
        print("TamoFirewall is not in this build of veltar_core: its rows are skipped")
        return
    native, base = veltar_core.TamoFirewall(), baseline.PyFirewall()

    def compare(n, b):
        return _same(_firewall_tuple(n), b)

    def compare_messages(messages):
        return lambda: _same([_firewall_tuple(native.check(m)) for m in messages[:200]],
                             [base.check(m) for m in messages[:200]])

    for label in (PROSE, CLEAN):
        suite.throughput("TamoFirewall.check", label, native.check, base.check,
                         data[label], compare)
    for label in (MSG100, MSG1K):
        messages = data[label]
        suite.per_call("TamoFirewall.check", label, native.check, base.check, messages,
                       [m.encode() for m in messages], compare_messages(messages))


def pii_rows(suite, data):
    native, base = veltar_core.TamoPiiScanner(), baseline.PyPiiScanner()

    def as_tuple(r):
        return r.redacted_text, r.count, r.categories, r.details

    def compare(n, b):
        return _same(as_tuple(n), b)

    for label in (PROSE, CLEAN, CSV):
        suite.throughput("TamoPiiScanner.scan", label, native.scan, base.scan,
                         data[label], compare)
    for label in (PROSE, CSV):
        text = data[label]
        # Scan of the same text in the same rounds, for the redact/scan ratio.
        scan = suite.single(native.scan, text, nbytes=len(text.encode()))
        suite.throughput("TamoPiiScanner.redact", label, native.redact, base.redact,
                         text, compare, extras={"scan": scan})
    messages = data[MSG100]
    for op, n_fn, b_fn in (("scan", native.scan, base.scan),
                           ("redact", native.redact, base.redact)):
        suite.per_call(f"TamoPiiScanner.{op}", MSG100, n_fn, b_fn, messages,
                       [m.encode() for m in messages],
                       lambda n_fn=n_fn, b_fn=b_fn: _same(
                           [as_tuple(n_fn(m)) for m in messages], [b_fn(m) for m in messages]))


def forensic_rows(suite, data):
    chain, base = veltar_core.TamoHashChain(), baseline.PyHashChain()
    events = data[EVENT]

    def compare_records():
        fresh, reference = veltar_core.TamoHashChain(), baseline.PyHashChain()
        previous = "genesis"
        for i, (event_id, payload) in enumerate(events[:100], 1):
            r, b = fresh.record(event_id, payload), reference.record(event_id, payload)
            expected = baseline.PyHashChain.sha256(
                f"{i}:{previous}:{event_id}:{payload}:{r['timestamp_ms']}")
            if list(r) != list(b) or r["sequence"] != i or r["previous_hash"] != previous \
                    or r["hash"] != expected or r["event_id"] != event_id:
                return False, f"record {i}: {r!r}"
            previous = r["hash"]
        return True, ""

    suite.per_call("TamoHashChain.record", EVENT, chain.record, base.record, events,
                   [(e + d).encode() for e, d in events], compare_records)

    text = data[PROSE]
    raw = text.encode()
    hashlib_bytes = suite.single(lambda: baseline.hashlib.sha256(raw).hexdigest(),
                                 nbytes=len(raw))
    suite.throughput("TamoHashChain.sha256", PROSE, veltar_core.TamoHashChain.sha256,
                     baseline.PyHashChain.sha256, text, _same,
                     extras={"hashlib_bytes": hashlib_bytes})
    messages = data[MSG100]
    suite.per_call("TamoHashChain.sha256", MSG100, veltar_core.TamoHashChain.sha256,
                   baseline.PyHashChain.sha256, messages, [m.encode() for m in messages],
                   lambda: _same([chain.sha256(m) for m in messages],
                                 [base.sha256(m) for m in messages]))

    pairs = data[CHAIN]
    broken = list(pairs)
    broken[len(broken) * 3 // 4] = ("forged", broken[len(broken) * 3 // 4][1])
    whole = "".join(h + p for h, p in pairs).encode()
    row = Row("TamoHashChain.verify_chain", CHAIN, {
        "native": suite.single(chain.verify_chain, pairs, nbytes=len(whole)),
        "baseline": suite.single(base.verify_chain, pairs, nbytes=len(whole), budget=1.0,
                                 min_rounds=3),
        "bandwidth": suite.single(whole.find, b"\0", nbytes=len(whole), budget=0.15),
    }, compare=lambda warm: _same([warm["native"], chain.verify_chain(broken)],
                                  [warm["baseline"], base.verify_chain(broken)]))
    suite.rows.append(row)


def loop_rows(suite, data):
    sessions = data[REQUEST]
    window = 10
    prefill = [(f"session-{s}", reqs[i]) for i in range(window)
               for s, reqs in enumerate(sessions)]
    timed = [(f"session-{s}", reqs[i]) for i in range(window, len(sessions[0]))
             for s, reqs in enumerate(sessions)]
    native = veltar_core.TamoLoopBreaker(window_size=window)
    base = baseline.PyLoopBreaker(window_size=window)
    for sid, content in prefill:
        native.check(sid, content)
        base.check(sid, content)

    def compare():
        fresh, reference = veltar_core.TamoLoopBreaker(), baseline.PyLoopBreaker()
        loops = 0
        for sid, content in prefill + timed:
            n, b = fresh.check(sid, content), reference.check(sid, content)
            loops += n["is_loop"]
            if abs(n["similarity"] - b["similarity"]) > 1e-12 or \
                    {**n, "similarity": 0} != {**b, "similarity": 0}:
                return False, f"{sid}: native {n!r} vs baseline {b!r}"
        return True, f"{loops} of {len(prefill) + len(timed)} requests reported as loops"

    suite.per_call("TamoLoopBreaker.check", REQUEST, native.check, base.check, timed,
                   [c.encode() for _, c in timed], compare)


def build_inputs(seed):
    prose = inputs.prose(inputs.MB, seed, injections=0.02, pii=0.04)
    return {
        PROSE: prose,
        CLEAN: inputs.prose(inputs.MB, seed),
        CSV: inputs.numbers_csv(inputs.MB, seed),
        MSG100: inputs.cut_messages(prose, 100, 1000, seed),
        MSG1K: inputs.cut_messages(prose, 1024, 300, seed),
        EVENT: inputs.audit_events(2000, seed),
        CHAIN: inputs.hash_chain_pairs(100_000, seed),
        REQUEST: inputs.agent_sessions(8, 30, 1024, seed),
    }


def describe_input(value):
    """Size and digest of an input, so that two result files can be checked
    for having measured the same bytes."""
    texts = []

    def walk(v):
        if isinstance(v, str):
            texts.append(v)
        else:
            for x in v:
                walk(x)
    walk(value)
    digest = baseline.hashlib.sha256("\0".join(texts).encode()).hexdigest()
    return {"texts": len(texts), "bytes": sum(len(t.encode()) for t in texts),
            "sha256": digest[:16]}


def summarise(row):
    c = row.contenders
    native, base, ref = c["native"], c["baseline"], c["bandwidth"]
    out = {
        "op": row.op, "input": row.input,
        "calls_per_run": native.calls, "bytes_per_call": native.nbytes / native.calls,
        "native_ns_per_call": native.per_call_ns(),
        "native_ns_per_call_median": native.per_call_ns(statistics.median),
        "native_mb_per_s": 1e3 / native.per_byte_ns(),
        "native_cpu_ns_per_call": min(native.cpu_samples) / native.calls,
        "wall_over_cpu": min(native.samples) / max(min(native.cpu_samples), 1),
        "baseline_ns_per_call": base.per_call_ns(),
        "baseline_bytes_per_call": base.nbytes / base.calls,
        "baseline_mb_per_s": 1e3 / base.per_byte_ns(),
        "baseline_cpu_ns_per_call": min(base.cpu_samples) / base.calls,
        "speedup": (base.per_byte_ns() / native.per_byte_ns() if row.per_byte
                    else base.per_call_ns() / native.per_call_ns()),
        "bandwidth_mb_per_s": 1e3 / ref.per_byte_ns(),
        "bandwidth_fraction": ref.per_byte_ns() / native.per_byte_ns(),
        "notes": row.notes,
        "contenders": {name: {
            "calls_per_run": x.calls, "bytes_per_run": x.nbytes, "rounds": len(x.samples),
            "ns_per_call": x.per_call_ns(), "ns_per_call_median": x.per_call_ns(statistics.median),
            "cpu_ns_per_call": min(x.cpu_samples) / x.calls,
        } for name, x in c.items()},
    }
    for name, extra in c.items():
        if name not in ("native", "baseline", "bandwidth"):
            out[f"{name}_ns_per_call"] = extra.per_call_ns()
    return out


def _failure(what, error):
    print(f"  {what}: FAILED with {type(error).__name__}: {error}", flush=True)
    return {"what": what, "error": f"{type(error).__name__}: {error}"}


def run_rows(suite, data, failures):
    """Sets up and times every row. A row whose engine raises (InternalFault
    derives from BaseException, hence the broad clause) is reported in
    `failures` and the suite goes on with the others."""
    for engine in (firewall_rows, pii_rows, forensic_rows, loop_rows):
        try:
            engine(suite, data)
        except KeyboardInterrupt:
            raise
        except BaseException as error:
            failures.append(_failure(engine.__name__, error))
    results = []
    for row in suite.rows:
        try:
            warm = race(row.contenders, max_rounds=200)
            summary = summarise(row)
            agrees, detail = row.compare(warm)
        except KeyboardInterrupt:
            raise
        except BaseException as error:
            failures.append(_failure(f"{row.op} on {row.input}", error))
            continue
        summary["agrees_with_baseline"] = agrees
        if detail:
            summary["notes"] = summary["notes"] + [detail[:300]]
        results.append(summary)
        print(f"  {row.op:<27} {row.input:<26} {format_ns(summary['native_ns_per_call']):>10}"
              f"  {summary['speedup']:8.1f}x{'' if agrees else '  DIFFERS FROM BASELINE'}",
              flush=True)
    return results


def first_construction(cls, runs):
    """Milliseconds from the start of `cls()` to its end, in fresh processes
    (wall clock, and the thread's CPU time)."""
    code = ("import time, veltar_core\n"
            "cpu, start = time.thread_time_ns(), time.perf_counter_ns()\n"
            f"veltar_core.{cls}()\n"
            "print(time.perf_counter_ns() - start, time.thread_time_ns() - cpu)\n")
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(veltar_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    times, cpu_times = [], []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, check=True)
        wall, cpu = done.stdout.split()
        times.append(int(wall) / 1e6)
        cpu_times.append(int(cpu) / 1e6)
    return {"min_ms": min(times), "median_ms": statistics.median(times),
            "min_cpu_ms": min(cpu_times), "runs": runs}


_HOSTILE_ROW = re.compile(r"^(\S+)\s+(\S+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)(\s+TOO HIGH)?\s*$")
_HOSTILE_WORST = re.compile(r"^worst ratio ([\d.]+) \(limit ([\d.]+)\)")


def hostile(path, timeout):
    """Runs bench/hostile_regex and parses its table: one line per input and
    operation, "input operation t_100KB_us t_1MB_us ratio [TOO HIGH]", then
    "worst ratio R (limit L)". A ratio near 10 is linear, near 100 quadratic."""
    if not path or not os.access(path, os.X_OK):
        return {"status": "not built", "path": path, "rows": []}
    command = [path]
    if shutil.which("stdbuf"):
        command = ["stdbuf", "-oL"] + command   # keep finished lines if it times out
    start = time.perf_counter()
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        output, status = done.stdout, f"exit status {done.returncode}"
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout or ""
        if isinstance(output, bytes):   # TimeoutExpired keeps bytes even in text mode
            output = output.decode(errors="replace")
        status = "stopped at the time budget"
    rows, limit = [], 12.0
    for line in output.splitlines():
        if m := _HOSTILE_ROW.match(line):
            rows.append({"input": m[1], "operation": m[2], "us_100kb": float(m[3]),
                         "us_1mb": float(m[4]), "ratio": float(m[5])})
        elif m := _HOSTILE_WORST.match(line):
            limit = float(m[2])
    for r in rows:
        r["linear"] = r["ratio"] <= limit
    return {"status": status, "path": path, "seconds": time.perf_counter() - start,
            "limit": limit, "rows": rows}


def hostile_path(args):
    if args.hostile:
        return args.hostile
    return os.path.join(os.path.dirname(os.path.abspath(veltar_core.__file__)),
                        "bench", "hostile_regex")


# Targets ---------------------------------------------------------------------

SPEEDUP = "speed-up over Python"
TARGETS = [
    # (figure key, op, input, comparison, threshold, unit, what is measured)
    ("native_mb_per_s", "TamoFirewall.check", PROSE, ">=", 1000, "MB/s", "throughput"),
    ("native_us_per_call", "TamoFirewall.check", MSG100, "<=", 2.0, "µs", "time per call"),
    ("native_mb_per_s", "TamoPiiScanner.scan", PROSE, ">=", 300, "MB/s", "throughput"),
    ("native_mb_per_s", "TamoPiiScanner.scan", CSV, ">=", 100, "MB/s", "throughput"),
    ("redact_over_scan", "TamoPiiScanner.redact", PROSE, "<=", 2.0, "x", "time / scan time"),
    ("redact_over_scan", "TamoPiiScanner.redact", CSV, "<=", 2.0, "x", "time / scan time"),
    ("native_us_per_call", "TamoHashChain.record", EVENT, "<=", 3.0, "µs", "time per call"),
    ("over_hashlib", "TamoHashChain.sha256", PROSE, "<=", 1.10, "x",
     "time / hashlib.sha256 on the same bytes"),
    ("native_us_per_call", "TamoLoopBreaker.check", REQUEST, "<=", 20.0, "µs", "time per call"),
    ("speedup", "TamoFirewall.check", PROSE, ">=", 100, "x", SPEEDUP),
    ("speedup", "TamoPiiScanner.scan", PROSE, ">=", 100, "x", SPEEDUP),
    ("speedup", "TamoLoopBreaker.check", REQUEST, ">=", 20, "x", SPEEDUP),
    ("speedup", "TamoHashChain.record", EVENT, ">=", 2, "x", SPEEDUP),
    ("min_ms", "TamoFirewall()", FIRST_FIREWALL, "<", 20.0, "ms", "time"),
]


def figure_of(key, row):
    if key == "native_us_per_call":
        return row["native_ns_per_call"] / 1e3
    if key == "redact_over_scan":
        return row["native_ns_per_call"] / row["scan_ns_per_call"]
    if key == "over_hashlib":
        return row["native_ns_per_call"] / row["hashlib_bytes_ns_per_call"]
    return row[key]


def evaluate_targets(rows, startup):
    by_key = {(r["op"], r["input"]): r for r in rows}
    if "TamoFirewall" in startup:
        by_key[("TamoFirewall()", FIRST_FIREWALL)] = startup["TamoFirewall"]
    out = []
    for key, op, label, cmp, threshold, unit, what in TARGETS:
        row = by_key.get((op, label))
        value = None if row is None else figure_of(key, row)
        passed = None if value is None else {
            ">=": value >= threshold, "<=": value <= threshold, "<": value < threshold}[cmp]
        out.append({"op": op, "input": label, "what": what, "figure": value, "unit": unit,
                    "comparison": cmp, "target": threshold,
                    "mark": "SKIP" if passed is None else ("PASS" if passed else "MISS")})
    return out


# Report ----------------------------------------------------------------------

def format_ns(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.0f} ns"


def format_value(value, unit):
    if value is None:
        return "n/a"
    digits = 0 if abs(value) >= 100 else (1 if abs(value) >= 10 else 2)
    return f"{value:.{digits}f}" + (unit if unit == "x" else " " + unit)


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(),
            "usable_cores": len(os.sched_getaffinity(0)),
            "python": platform.python_version(), "platform": platform.platform()}


def table_lines(rows):
    head = (f"{'operation':<27} {'input':<26} {'per call':>10} {'MB/s':>8} "
            f"{'Python':>10} {'speed-up':>9} {'bandwidth':>9} {'busy':>5}  same")
    lines = [head, "-" * len(head)]
    for r in rows:
        base = r["baseline_ns_per_call"] * r["bytes_per_call"] / r["baseline_bytes_per_call"]
        lines.append(
            f"{r['op']:<27} {r['input']:<26} {format_ns(r['native_ns_per_call']):>10} "
            f"{r['native_mb_per_s']:8.0f} {format_ns(base):>10} {r['speedup']:8.1f}x "
            f"{100 * r['bandwidth_fraction']:8.2f}% {r['wall_over_cpu']:5.2f}  "
            f"{'yes' if r['agrees_with_baseline'] else 'NO'}")
        for note in r["notes"]:
            lines.append(f"{'':<27}   note: {note}")
    return lines


def target_title(t):
    return t["input"] + ": " + t["what"] if t["op"] == "TamoFirewall()" else \
        f"{t['op']}, {t['input']}: {t['what']}"


def target_lines(targets):
    width = max(len(target_title(t)) for t in targets)
    return [f"  [{t['mark']}] {target_title(t):<{width}} {format_value(t['figure'], t['unit']):>10}"
            f"   target {t['comparison']} {format_value(t['target'], t['unit'])}"
            for t in targets]


def hostile_worst(h):
    """Per hostile input: (its slowest-growing row, how many rows are over the limit)."""
    worst = {}
    for r in h["rows"]:
        if r["input"] not in worst or r["ratio"] > worst[r["input"]]["ratio"]:
            worst[r["input"]] = r
    return [(r, sum(1 for x in h["rows"] if x["input"] == name and not x["linear"]))
            for name, r in worst.items()]


def hostile_lines(h):
    if h["status"] == "skipped":
        return ["  not run (--no-hostile)"]
    if h["status"] == "not built":
        return [f"  not run: {h['path']} is not built (configure meson with -Dbenchmarks=true)"]
    lines = [f"  {h['status']} after {h['seconds']:.0f} s with {len(h['rows'])} measurements; "
             f"time(1 MB)/time(100 KB), about 10 when linear, limit {h['limit']:g}"]
    for r, over in hostile_worst(h):
        lines.append(f"  [{'PASS' if r['linear'] else 'MISS'}] {r['input']:<22} worst "
                     f"{r['operation']:<20} {r['ratio']:8.2f}"
                     + (f"   ({over} operation{'s' * (over > 1)} over the limit)" if over else ""))
    return lines


def print_report(result):
    m = result["meta"]
    print()
    print(f"veltar_core {m['version']} benchmark, {m['date']}, {m['machine']['cpu']}, "
          f"{m['machine']['cores']} cores, Python {m['machine']['python']}, seed {m['seed']}")
    print("every figure is the minimum over interleaved rounds; 'Python' is the plain-Python "
          "baseline per call, 'bandwidth' the share of a memchr pass over the same bytes, "
          "'busy' wall-clock over CPU time (1.00 on a quiet machine)")
    load = m["load_average"]
    if max(load["start"][0], load["end"][0]) > m["machine"]["usable_cores"]:
        print(f"warning: the machine was busy (load average {load['start'][0]:.1f} at the start, "
              f"{load['end'][0]:.1f} at the end, on {m['machine']['usable_cores']} cores): "
              "wall-clock figures are inflated; the JSON keeps CPU-time minima too")
    print()
    print("\n".join(table_lines(result["rows"])))
    for f in result["failures"]:
        print(f"FAILED: {f['what']}: {f['error']}")
    print()
    for cls, s in result["startup"].items():
        print(f"first {cls}() in a fresh process: {s['min_ms']:.2f} ms "
              f"(median {s['median_ms']:.2f} ms of {s['runs']}; CPU time {s['min_cpu_ms']:.2f} ms)")
    print()
    print("hostile inputs (bench/hostile_regex):")
    print("\n".join(hostile_lines(result["hostile"])))
    print()
    print("targets:")
    print("\n".join(target_lines(result["targets"])))
    marks = [t["mark"] for t in result["targets"]]
    print(f"{marks.count('PASS')} PASS, {marks.count('MISS')} MISS, "
          f"{marks.count('SKIP')} not measured")


def write_markdown(result, path, image):
    m = result["meta"]
    lines = [
        "# veltar_core benchmark figures", "",
        f"Measured on {m['date']} on {m['machine']['cpu']} ({m['machine']['cores']} cores), "
        f"Python {m['machine']['python']}, veltar_core {m['version']}, seed {m['seed']}. "
        "Generated by `make bench` (bench/run.py); do not edit by hand.", "",
        "Each figure is the minimum over interleaved rounds. *Python* is a plain-Python "
        "baseline doing the same job (bench/baseline.py); *bandwidth* is the share reached "
        "of a memchr pass (`bytes.find` of an absent byte) over the same bytes. MB/s means "
        "10^6 bytes per second; the 1 MB inputs are 2^20 bytes. Load average during the run: "
        f"{m['load_average']['start'][0]:.1f} at the start, {m['load_average']['end'][0]:.1f} "
        f"at the end (above {m['machine']['usable_cores']} the wall-clock figures are inflated; "
        "bench/results.json of the same run keeps the CPU-time figures too).", "",
        "| operation | input | per call | MB/s | speed-up over Python | of bandwidth |",
        "|---|---|---:|---:|---:|---:|",
    ]
    notes = []
    for r in result["rows"]:
        marks = ""
        for note in r["notes"] + ([] if r["agrees_with_baseline"] else
                                  ["the result differs from the baseline's"]):
            notes.append(note)
            marks += f" [{len(notes)}]"
        lines.append(f"| `{r['op']}` | {r['input']}{marks} | "
                     f"{format_ns(r['native_ns_per_call'])} | "
                     f"{r['native_mb_per_s']:.0f} | {r['speedup']:.1f}x | "
                     f"{100 * r['bandwidth_fraction']:.2f}% |")
    lines += [""] + [f"[{i}] {note}  " for i, note in enumerate(notes, 1)]
    for cls, t in result["startup"].items():
        lines.append(f"First `{cls}()` in a fresh process: {t['min_ms']:.2f} ms "
                     f"(median {t['median_ms']:.2f} ms of {t['runs']} processes).  ")
    lines += ["", "| target | figure | goal | |", "|---|---:|---:|---|"]
    for t in result["targets"]:
        lines.append(f"| {target_title(t)} | "
                     f"{format_value(t['figure'], t['unit'])} | {t['comparison']} "
                     f"{format_value(t['target'], t['unit'])} | {t['mark']} |")
    h = result["hostile"]
    if h["rows"]:
        lines += ["", f"Hostile inputs (bench/hostile_regex, {h['status']}): time(1 MB) / "
                  f"time(100 KB) of every pattern operation, about 10 when linear, limit "
                  f"{h['limit']:g}. The slowest-growing operation per input:", "",
                  "| input | operation | ratio | operations over the limit |",
                  "|---|---|---:|---:|"]
        lines += [f"| {r['input']} | {r['operation']} | {r['ratio']:.2f} | {over} |"
                  for r, over in hostile_worst(h)]
    lines += ["", f"![speed-up and bandwidth share per operation]({os.path.basename(image)})", ""]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def write_plot(result, path):
    """Two panels of horizontal bars, one per row, on log scales: the speed-up
    over the Python baseline, drawn from 1x (bars to the left are slower than
    Python) with the targets as black ticks, and the share of the memchr
    reference reached."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        print("matplotlib is missing (Debian package python3-matplotlib): no plot written")
        return False
    rows = result["rows"][::-1]   # barh draws bottom-up
    labels = [f"{r['op'].removeprefix('Tamo')}  ·  {r['input']}" for r in rows]
    palette = {"TamoFirewall": "#c0392b", "TamoPiiScanner": "#2471a3",
               "TamoHashChain": "#7d3c98", "TamoLoopBreaker": "#1e8449"}
    colours = [palette.get(r["op"].split(".")[0], "#555555") for r in rows]
    speedups = [r["speedup"] for r in rows]
    shares = [100 * r["bandwidth_fraction"] for r in rows]
    goals = {(t["op"], t["input"]): t["target"] for t in result["targets"]
             if t["what"] == SPEEDUP}
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 0.45 * len(rows) + 2.0), sharey=True)
    y = list(range(len(rows)))

    left.barh(y, [s - 1 for s in speedups], left=1, color=colours)
    left.set_xscale("log")
    left.set_xlim(min(0.5, min(speedups) / 5), max(speedups) * 5)
    left.axvline(1, color="black", linewidth=0.8)
    left.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    left.set_xlabel("speed-up over the plain-Python baseline (log scale; left of 1x is slower)")
    for i, (r, s) in enumerate(zip(rows, speedups)):
        text = f"{s:.0f}x" if s >= 10 else (f"{s:.1f}x" if s >= 1 else f"{s:.2f}x")
        if s >= 1:
            left.text(s * 1.1, i, text, va="center", fontsize=8)
        else:
            left.text(s / 1.1, i, text, va="center", ha="right", fontsize=8)
        goal = goals.get((r["op"], r["input"]))
        if goal:
            left.plot([goal, goal], [i - 0.42, i + 0.42], color="black", linewidth=2.5)
            left.text(goal * 1.1, i + 0.28, f"target {goal:g}x", fontsize=7)

    right.barh(y, shares, color=colours)
    right.set_xscale("log")
    right.set_xlim(min(shares) / 3, 400)
    right.axvline(100, color="black", linewidth=0.8)
    right.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}%"))
    right.set_xlabel("share of a memchr pass over the same bytes (log scale)")
    for i, share in enumerate(shares):
        right.text(share * 1.1, i, f"{share:.2g}%", va="center", fontsize=8)

    left.set_yticks(y)
    left.set_yticklabels(labels, fontsize=9)
    for ax in (left, right):
        ax.grid(axis="x", which="major", linestyle=":", linewidth=0.6)
        ax.set_ylim(-0.6, len(rows) - 0.4)
    m = result["meta"]
    fig.suptitle(f"veltar_core {m['version']}, measured {m['date'][:10]} on {m['machine']['cpu']} "
                 f"({m['machine']['cores']} cores)", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"),
                        help="where to write every figure (default bench/results.json)")
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"),
                        help="directory for bench.md and bench.png (default docs/)")
    parser.add_argument("--no-docs", action="store_true", help="do not write docs/")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated inputs")
    parser.add_argument("--hostile", help="path of the hostile_regex program "
                        "(default: bench/hostile_regex in the build directory of veltar_core)")
    parser.add_argument("--no-hostile", action="store_true", help="do not run hostile_regex")
    parser.add_argument("--budget", type=float, default=110.0,
                        help="seconds the whole run may take; hostile_regex, which runs "
                        "last, is stopped at the end of it and its finished lines kept")
    parser.add_argument("--quick", action="store_true",
                        help="a quarter of the timing budget, for smoke runs; writes no docs")
    args = parser.parse_args()

    started = time.perf_counter()
    load_at_start = os.getloadavg()
    print(f"generating inputs (seed {args.seed}) ...", flush=True)
    data = build_inputs(args.seed)
    suite = Suite(args)
    print("timing native, Python baseline and bandwidth reference, interleaved:", flush=True)
    failures = []
    rows = run_rows(suite, data, failures)
    runs = 2 if args.quick else 5
    startup = {}
    for cls in ("TamoFirewall", "TamoPiiScanner"):
        if hasattr(veltar_core, cls):
            try:
                startup[cls] = first_construction(cls, runs)
            except (subprocess.CalledProcessError, ValueError) as error:
                failures.append(_failure(f"first {cls}()", error))
    if args.no_hostile:
        hostile_result = {"status": "skipped", "path": hostile_path(args), "rows": []}
    else:
        print("running the hostile-input program ...", flush=True)
        remaining = args.budget - (time.perf_counter() - started) - 5   # report and plot
        hostile_result = hostile(hostile_path(args), max(remaining, 20.0))
    result = {
        "meta": {
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "version": veltar_core.version(), "machine": machine(), "seed": args.seed,
            "quick": args.quick, "module": os.path.abspath(veltar_core.__file__),
            "inputs": {label: describe_input(value) for label, value in data.items()},
            "load_average": {"start": load_at_start, "end": os.getloadavg()},
            "units": {"mb_per_s": "10^6 bytes per second", "ns_per_call": "nanoseconds",
                      "1 MB input": "2^20 bytes"},
        },
        "rows": rows, "failures": failures, "startup": startup, "hostile": hostile_result,
    }
    result["targets"] = evaluate_targets(rows, startup)
    result["meta"]["seconds"] = time.perf_counter() - started
    print_report(result)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=1, ensure_ascii=False)
    written = [args.json]
    if not args.no_docs and not args.quick:
        os.makedirs(args.docs, exist_ok=True)
        image = os.path.join(args.docs, "bench.png")
        if rows and write_plot(result, image):
            written.append(image)
        write_markdown(result, os.path.join(args.docs, "bench.md"), image)
        written.append(os.path.join(args.docs, "bench.md"))
    print(f"wrote {', '.join(os.path.relpath(p) for p in written)} "
          f"in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
