"""Mutation testing of the portable sources against the native unit tests.

Plants one small fault at a time (a comparison, a boolean operator, a sign,
a constant off by one, true for false; never inside a string, character
literal, comment or preprocessor line) in a scratch copy of the tree,
rebuilds the unit tests, runs them, and counts the fault as killed when they
fail. Faults that do not compile are left out of the score.

    mutation.py ROOT SEED SAMPLE
"""
import os
import random
import re
import shutil
import subprocess
import sys

# The portable library's sources: what the native unit tests can reach.
SOURCES = [
    "core/time_base.cpp", "core/server_table.cpp", "core/query_engine.cpp",
    "core/ntp_protocol.cpp", "core/correction.cpp", "ui/texts.cpp",
    "ui/server_rows.cpp", "ui/schedule.cpp", "ui/placement.cpp", "app/launch.cpp",
]
SWAPS = {
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
    "&&": "||", "||": "&&", "+": "-", "-": "+", "true": "false", "false": "true",
}
TOKEN = re.compile(r"&&|\|\||<=|>=|==|!=|->|<<|>>|\+\+|--|\+=|-=|[<>+\-]"
                   r"|\b(?:true|false)\b|\b\d+\b")
TEST_TIMEOUT_S = 60


def code_spans(line):
    """The parts of a line outside strings, characters and comments."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote, start = None, i + 1
        elif line.startswith("//", i):
            break
        elif c in "\"'":
            spans.append((start, i))
            quote = c
        i += 1
    if not quote:
        spans.append((start, i))
    return spans


def sites(root):
    found = []
    for path in SOURCES:
        lines = open(os.path.join(root, path)).read().split("\n")
        in_comment = False
        for number, line in enumerate(lines):
            stripped = line.strip()
            if in_comment or stripped.startswith("/*"):
                in_comment = "*/" not in stripped
                continue
            if stripped.startswith("#") or "static_assert" in line:
                continue
            for begin, end in code_spans(line):
                for m in TOKEN.finditer(line, begin, end):
                    text = m.group(0)
                    # Templates and includes use < and > too: only spaced
                    # comparisons count, and never a pointer arrow or shift.
                    if text in ("<", ">", "<=", ">=") and not (
                            line[m.start() - 1:m.start()] == " " and line[m.end():m.end() + 1] == " "):
                        continue
                    if text in ("+", "-") and not (
                            line[m.start() - 1:m.start()] == " " and line[m.end():m.end() + 1] == " "):
                        continue
                    if text.isdigit():
                        found.append((path, number, m.start(), m.end(), str(int(text) + 1)))
                    elif text in SWAPS:
                        found.append((path, number, m.start(), m.end(), SWAPS[text]))
    return found


def run(command, cwd, timeout=None):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1  # a fault that hangs the tests is found too


def main():
    root, seed, sample = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    work = os.path.join(root, "build", "mutation")
    src, build = os.path.join(work, "src"), os.path.join(work, "build")
    shutil.rmtree(src, ignore_errors=True)
    # Fresh modification times: an object built from a fault planted by an
    # interrupted run must not look newer than the copied source.
    shutil.copytree(root, src, ignore=shutil.ignore_patterns("build", ".git"),
                    copy_function=shutil.copy)
    if run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"], src) or \
            run(["cmake", "--build", build, "-j", "2", "--target", "unit_tests"], src):
        sys.exit("mutation: the unmutated tree does not build")
    tests = os.path.join(build, "unit_tests")
    if run([tests], build, TEST_TIMEOUT_S):
        sys.exit("mutation: the unit tests fail before any fault is planted")

    everything = sites(src)
    chosen = random.Random(seed).sample(everything, min(sample, len(everything)))
    print(f"{len(everything)} places a fault can go; seed {seed}, {len(chosen)} chosen")
    killed = built = 0
    for path, number, begin, end, replacement in sorted(chosen):
        file = os.path.join(src, path)
        original = open(file).read()
        lines = original.split("\n")
        line = lines[number]
        lines[number] = line[:begin] + replacement + line[end:]
        open(file, "w").write("\n".join(lines))
        try:
            if run(["cmake", "--build", build, "-j", "2", "--target", "unit_tests"], src):
                continue
            built += 1
            if run([tests], build, TEST_TIMEOUT_S):
                killed += 1
            else:
                print(f"survived  {path}:{number + 1}  {line.strip()}  ->  {lines[number].strip()}")
        finally:
            open(file, "w").write(original)
    # Leave the scratch build as the plain tree again.
    run(["cmake", "--build", build, "-j", "2", "--target", "unit_tests"], src)
    print(f"score: {killed}/{built} killed ({len(chosen) - built} did not build)")


if __name__ == "__main__":
    main()
