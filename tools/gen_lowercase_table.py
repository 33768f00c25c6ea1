#!/usr/bin/env python3
"""Generates src/text/lowercase_table.cpp from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt (by
default from Debian's unicode-data package in /usr/share/unicode) and writes:

  * the full lower-case mapping: the simple mappings of UnicodeData.txt
    (field 13) overridden by the unconditional entries of SpecialCasing.txt.
    Single code point results are compressed into runs (first, last, delta,
    stride); the few multi code point results go into a separate list.
  * the Cased and Case_Ignorable properties as sorted, merged ranges, which
    the Final_Sigma rule in lowercase.cpp needs.

Conditional SpecialCasing entries are not emitted: Final_Sigma is handled in
code, the language-dependent ones are deliberately not supported.

Usage: tools/gen_lowercase_table.py [--ucd DIR] [--output FILE]
Standard library only; the output is deterministic for a given input.
"""

import argparse
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
MAX_EXPANSION = 3


def fail(message):
    sys.exit(f"gen_lowercase_table: {message}")


def read_lines(path):
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read().splitlines()
    except OSError as error:
        fail(f"cannot read {path}: {error}")


def file_version(lines, stem):
    """Returns the version from a '# Stem-X.Y.Z.txt' first line."""
    pattern = re.compile(r"#\s*" + re.escape(stem) + r"-(\d+\.\d+\.\d+)\.txt")
    for line in lines[:5]:
        match = pattern.match(line)
        if match:
            return match.group(1)
    fail(f"no version header in {stem}.txt")


def parse_code_points(text):
    return [int(part, 16) for part in text.split()]


def data_fields(line):
    """Splits a UCD data line into stripped fields, or None for comments."""
    data = line.split("#", 1)[0].strip()
    if not data:
        return None
    return [field.strip() for field in data.split(";")]


def simple_lower_mappings(lines):
    mappings = {}
    for line in lines:
        fields = line.split(";")
        if len(fields) != 15:
            fail(f"malformed UnicodeData.txt line: {line!r}")
        if fields[13]:
            code_point = int(fields[0], 16)
            lower = int(fields[13], 16)
            if code_point != lower:
                mappings[code_point] = [lower]
    return mappings


def special_lower_mappings(lines):
    """Returns the unconditional lower-case entries and the conditions seen."""
    mappings = {}
    conditions = set()
    for line in lines:
        fields = data_fields(line)
        if fields is None:
            continue
        # code; lower; title; upper; [conditions;]  (a trailing ';' leaves an
        # empty last field)
        if fields and fields[-1] == "":
            fields = fields[:-1]
        if len(fields) not in (4, 5):
            fail(f"malformed SpecialCasing.txt line: {line!r}")
        code_point = int(fields[0], 16)
        if len(fields) == 5 and fields[4]:
            conditions.add((code_point, fields[4]))
            continue
        if code_point in mappings:
            fail(f"duplicate unconditional entry for U+{code_point:04X}")
        mappings[code_point] = parse_code_points(fields[1])
    return mappings, conditions


def property_ranges(lines, name):
    ranges = []
    for line in lines:
        fields = data_fields(line)
        if fields is None or len(fields) != 2 or fields[1] != name:
            continue
        bounds = fields[0].split("..")
        first = int(bounds[0], 16)
        last = int(bounds[-1], 16)
        if first > last or last > MAX_CODE_POINT:
            fail(f"bad range for {name}: {line!r}")
        ranges.append((first, last))
    if not ranges:
        fail(f"property {name} not found in DerivedCoreProperties.txt")
    ranges.sort()
    merged = [ranges[0]]
    for first, last in ranges[1:]:
        previous_first, previous_last = merged[-1]
        if first <= previous_last:
            fail(f"overlapping ranges for {name} at U+{first:04X}")
        if first == previous_last + 1:
            merged[-1] = (previous_first, last)
        else:
            merged.append((first, last))
    return merged


def compress_runs(single):
    """Packs sorted (code point, target) pairs into (first, last, delta, stride).

    A run covers first, first + stride, ... up to last; every member maps to
    itself + delta. Stride 2 captures the alternating upper/lower layout of
    blocks such as Latin Extended-A.
    """
    runs = []
    for code_point, target in single:
        delta = target - code_point
        if runs:
            first, last, run_delta, stride = runs[-1]
            gap = code_point - last
            if run_delta == delta:
                if first == last and gap in (1, 2):
                    runs[-1] = (first, code_point, delta, gap)
                    continue
                if gap == stride:
                    runs[-1] = (first, code_point, delta, stride)
                    continue
        runs.append((code_point, code_point, delta, 1))
    return runs


def check_runs(runs, single):
    expanded = {}
    for first, last, delta, stride in runs:
        for code_point in range(first, last + 1, stride):
            expanded[code_point] = code_point + delta
    if expanded != dict(single):
        fail("run compression does not reproduce the mapping")
    for (_, last, _, _), (first, _, _, _) in zip(runs, runs[1:]):
        if first <= last:
            fail("runs overlap")


def hex_cp(code_point):
    return f"0x{code_point:04X}"


def render(version, runs, expansions, cased, ignorable):
    out = []
    out.append(f"// Generated by tools/gen_lowercase_table.py from the Unicode {version}")
    out.append("// Character Database (UnicodeData.txt, SpecialCasing.txt,")
    out.append("// DerivedCoreProperties.txt). Do not edit by hand: change the generator")
    out.append("// and run it again.")
    out.append("")
    out.append("// One entry per line keeps regenerated tables diffable.")
    out.append("// clang-format off")
    out.append("")
    out.append('#include "text/lowercase.h"')
    out.append("")
    out.append("namespace bv::text::detail {")
    out.append("namespace {")
    out.append("")
    out.append(f"// {len(runs)} runs: first, last, delta, stride.")
    out.append("constexpr LowerRun kLowerRuns[] = {")
    for first, last, delta, stride in runs:
        out.append(f"  {{{hex_cp(first)}, {hex_cp(last)}, {delta}, {stride}}},")
    out.append("};")
    out.append("")
    out.append(f"// {len(expansions)} mappings to more than one code point.")
    out.append("constexpr LowerExpansion kLowerExpansions[] = {")
    for code_point, target in expansions:
        padded = target + [0] * (MAX_EXPANSION - len(target))
        cells = ", ".join(hex_cp(value) for value in padded)
        out.append(f"  {{{hex_cp(code_point)}, {len(target)}, {{{cells}}}}},")
    out.append("};")
    for name, ranges in (("kCased", cased), ("kCaseIgnorable", ignorable)):
        out.append("")
        out.append(f"// {len(ranges)} ranges.")
        out.append(f"constexpr CodePointRange {name}[] = {{")
        for first, last in ranges:
            out.append(f"  {{{hex_cp(first)}, {hex_cp(last)}}},")
        out.append("};")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("std::span<const LowerRun> lower_runs() noexcept { return kLowerRuns; }")
    out.append("")
    out.append("std::span<const LowerExpansion> lower_expansions() noexcept {")
    out.append("  return kLowerExpansions;")
    out.append("}")
    out.append("")
    out.append("std::span<const CodePointRange> cased_ranges() noexcept { return kCased; }")
    out.append("")
    out.append("std::span<const CodePointRange> case_ignorable_ranges() noexcept {")
    out.append("  return kCaseIgnorable;")
    out.append("}")
    out.append("")
    out.append(f'std::string_view table_unicode_version() noexcept {{ return "{version}"; }}')
    out.append("")
    out.append("}  // namespace bv::text::detail")
    out.append("")
    out.append("// clang-format on")
    out.append("")
    return "\n".join(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="directory holding the UCD text files")
    parser.add_argument("--output",
                        default=os.path.join(root, "src", "text", "lowercase_table.cpp"))
    args = parser.parse_args()

    unicode_data = read_lines(os.path.join(args.ucd, "UnicodeData.txt"))
    special_casing = read_lines(os.path.join(args.ucd, "SpecialCasing.txt"))
    core_properties = read_lines(os.path.join(args.ucd, "DerivedCoreProperties.txt"))

    # UnicodeData.txt carries no version line; the two files that do must agree.
    version = file_version(special_casing, "SpecialCasing")
    properties_version = file_version(core_properties, "DerivedCoreProperties")
    if version != properties_version:
        fail(f"version mismatch: SpecialCasing {version}, "
             f"DerivedCoreProperties {properties_version}")

    mappings = simple_lower_mappings(unicode_data)
    special, conditions = special_lower_mappings(special_casing)
    for code_point, target in special.items():
        if target == [code_point]:
            mappings.pop(code_point, None)
        else:
            mappings[code_point] = target

    # lowercase.cpp implements exactly one condition; anything else that is
    # language-neutral would be silently lost, so refuse to go on.
    neutral = {(cp, cond) for cp, cond in conditions if cond[:1].isupper()}
    if neutral != {(0x03A3, "Final_Sigma")}:
        fail(f"unexpected language-neutral conditions: {sorted(neutral)}")
    if mappings.get(0x03A3) != [0x03C3]:
        fail("U+03A3 no longer lower-cases to U+03C3")

    single = []
    expansions = []
    for code_point in sorted(mappings):
        target = mappings[code_point]
        if not 1 <= len(target) <= MAX_EXPANSION:
            fail(f"U+{code_point:04X} maps to {len(target)} code points")
        if len(target) == 1:
            single.append((code_point, target[0]))
        else:
            expansions.append((code_point, target))

    runs = compress_runs(single)
    check_runs(runs, single)
    cased = property_ranges(core_properties, "Cased")
    ignorable = property_ranges(core_properties, "Case_Ignorable")

    text = render(version, runs, expansions, cased, ignorable)
    with open(args.output, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)
    print(f"wrote {args.output}: Unicode {version}, {len(single)} single mappings "
          f"in {len(runs)} runs, {len(expansions)} expansions, "
          f"{len(cased)} Cased and {len(ignorable)} Case_Ignorable ranges")


if __name__ == "__main__":
    main()
