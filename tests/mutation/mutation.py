"""Mutation testing of the portable sources against the native unit tests.

Plants one small fault at a time (a comparison, boolean, arithmetic or bit
operator swapped, a sign, a constant off by one, true for false, a ! or ~
dropped, a simple statement deleted; never inside a string, character
literal, comment or preprocessor line) in a scratch copy of the tree,
rebuilds the unit tests under the sanitizers, runs them, and counts the fault
as killed when they fail. Faults that do not compile are left out of the
score. Not part of the test command: a developer's measure, run after it.

    mutation.py --all [FILE...]         every fault in those files (all: every portable source)
    mutation.py --win [N [COMMAND...]]  lists the Win32 faults, or plants N and runs COMMAND
                                        (default: bash tests/run.sh), which must fail
"""
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys

SWAPS = {
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&",
    "+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "&": "|", "|": "&", "^": "&", "<<": ">>",
    ">>": "<<", "+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=", "%=": "*=", "&=": "|=", "|=": "&=",
    "^=": "&=", "<<=": ">>=", ">>=": "<<=", "!": "", "~": "", "true": "false", "false": "true",
}
TOKEN = re.compile(r"<<=|>>=|&&|\|\||<<|>>|<=|>=|==|!=|->|\+\+|--|[-+*/%&|^]=|[-+*/%&|^~<>!]"
                   r"|\b(?:true|false)\b|\b(?:0[xX][0-9a-fA-F]+|\d+)(?=[uUlL]*\b)")
BINARY = {"<", ">", "<=", ">=", "+", "-", "*", "/", "%", "&", "|", "^", "<<", ">>"}
# A simple statement, alone on its line or after an if, for or while.
STATEMENT = re.compile(r"(\s*(?:\}\s*)?(?:else\b\s*)?(?:(?:if|for|while)\s*"
                       r"\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)\s*)?)([\w*(+\-].*;)\s*$")
# What declares, leaves or branches: deleting it proves nothing or does not build.
NOT_DELETED = re.compile(r"(?:return|break|continue|goto|case|default|if|for|while|else|do)\b"
                         r"|(?:(?:const|static|constexpr)\s+)*[\w:<>]+[\s*&]+\w+\s*(?:[=;\[{(,]|$)")

# Survivors that no test can kill: (file, line, faults, why).
FOLD = "if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');"
APPEND = "if (n > 0) used = used + n < size ? used + n : size - 1;"
PORT = "for (; *c >= '0' && *c <= '9' && value <= 65535; ++c) value = value * 10 + static_cast<uint32_t>(*c - '0');"
TRIM = "for (size_t n = std::strlen(kept); n > 0 && (kept[n - 1] == ' ' || kept[n - 1] == '\\t');) kept[--n] = '\\0';"
EQUIVALENT = {(path, line, fault): why for path, line, faults, why in [
    ("core/correction.cpp", "int64_t Distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }",
     ["> -> >="], "equal values are 0 apart either way"),
    ("core/correction.cpp", "const OffsetMs mean = *left == 0 ? 0 : sum / *left;", ["0#2 -> 1"],
     "a set judged is never empty"),
    ("core/correction.cpp", "uint32_t stored = 0, size = 0;", ["0 -> 1", "0#2 -> 1"], "ReadSetting sets both"),
    ("core/correction.cpp", "int left = 0;", ["0 -> 1"], "KeepNearOnes sets it first"),
    ("core/correction.cpp", "bool ntp = false, time = false;", ["false#2 -> true"],
     "with NTP servers alone the TIME result could count only those kept, which are no majority"),
    ("core/correction.cpp", "Ms1900 stored = 0;", ["0#3 -> 1"], "a missing value reads alike at a pass's start and end"),
    ("core/correction.cpp", "gPassCorrection = 0;", ["gPassCorrection = 0; -> {}", "0 -> 1"],
     "only the guard's outcomes read it, and they set it first"),
    ("core/correction.cpp", "int farthest = -1;", ["1 -> 2"], "set by any deviation that sets a server aside"),
    ("core/correction.cpp", "int64_t largest = 0;", ["0 -> 1"], "only a deviation of 2 s or more counts"),
    ("core/server_table.cpp", "char valueName[10];", ["10 -> 11"], "a larger buffer holds the same name"),
    ("core/server_table.cpp", "uint32_t size = 0;", ["0 -> 1"], "read only once ReadSetting has set it"),
    ("core/nts_protocol.cpp", PORT, ["65535 -> 65536", "<=#2 -> <"],
     "a digit more or fewer read: a port with more digits is refused either way"),
    ("ui/server_rows.cpp", "if (!ra.enabled != !rb.enabled) return ra.enabled ? -1 : 1;", ["1 -> 2", "1#2 -> 2"],
     "only the sign of an order counts"),
    ("ui/server_rows.cpp", TRIM, ["0 -> 1"], "leading blanks went first: a name's first character is none"),
    ("core/query_engine.cpp", "if (past < -kConnectTimeoutMs) past += int64_t{1} << 32;", ["1 -> 2", "32 -> 33"],
     "any sum past zero is a deadline passed alike"),
    ("core/pass_history.cpp", "return {true, true, header + FormatEntry(entry, out + header), 0, 0};",
     ["0 -> 1", "0#2 -> 1"], "a file set aside is never written in place"),
    ("core/query_engine.cpp", "for (int i = 0; i < count && gHeld.count < kMaxServers; ++i)", ["<#2 -> <="],
     "held slots are distinct numbers below it: at that count the next is one of them"),
    ("core/query_engine.cpp", "if (nts == NtsReplyRekey) q.nak = 1;", ["1 -> 2"], "a flag: any value but 0 sets it"),
    ("core/query_engine.cpp", "if (old != 0) NetCloseSocket(old);", ["0 -> 1"],
     "a socket is never numbered 1, and closing none does nothing"),
    ("ui/schedule.cpp", "return ahead > 0 && ahead <= kCatchUpRetryMs[kCatchUpRetries - 1] ? ahead : 0;", ["> -> >="],
     "no wait left is 0 either way"),
    ("ui/schedule.cpp", "const Ms1900 due = now >= ended && now - ended < kCatchUpRetryMs[0] ? ended + kCatchUpRetryMs[0] : now;",
     ["< -> <="], "at the end of the wait the spaced pass is due now either way"),
    ("ui/schedule.cpp", "if (!c.pending || due < c.due) c.due = due;", ["< -> <="], "an equal due stays alike"),
    ("ui/schedule.cpp", "if (!setBack && *base > now) *base = now;", ["> -> >="], "a base at now is moved to now"),
    ("core/ntp_protocol.cpp", "uint64_t stamp = 0;", ["0 -> 1"], "eight 8-bit shifts push it out"),
    ("core/ntp_protocol.cpp", FOLD, [">= -> >", "<= -> <"], "'a' and 'z' are not in the scheme"),
    ("core/ntp_protocol.cpp", "if (delay < 0) delay = 0;", ["< -> <=", "0 -> 1"], "a delay of 0 stays 0"),
    ("core/ntp_protocol.cpp", "if (delay > int64_t{UINT32_MAX}) delay = UINT32_MAX;", ["> -> >="], "the same"),
    ("ui/commands.cpp", FOLD, [">= -> >", "<= -> <"], "'a' and 'z' are not in the words"),
    ("ui/commands.cpp", APPEND, ["> -> >="], "an empty text moves nothing"),
    ("ui/commands.cpp", APPEND, ["0 -> 1"], "every text appended is longer than one character"),
    ("ui/commands.cpp", APPEND, ["< -> <="], "a full buffer takes nothing more either way"),
    ("ui/commands.cpp", "out[0] = '\\0';", ["out[0] = '\\0'; -> {}", "0 -> 1"], "the summary always follows"),
    ("ui/commands.cpp", "char latency[kTextBufferSize], offset[kTextBufferSize], name[kEscapedNameSize], "
     "line[4 * kTextBufferSize];", ["4 -> 5"], "a larger buffer"),
    ("ui/commands.cpp", "char summary[3 * kTextBufferSize];", ["3 -> 4"], "a larger buffer"),
] for fault in faults}

# Faults in the Win32 sources that only the Windows-side tests can find:
# (file, text on one line, its replacement, what goes wrong).
WIN32_FAULTS = [
    ("ui/server_list_win32.cpp", "SetCell(row, 1, latency);", "SetCell(row, 1, correction);", "a wrong status"),
    ("ui/tray_win32.cpp", "Notify(NIM_MODIFY, NIF_ICON | NIF_TIP,", "Notify(NIM_MODIFY, NIF_ICON,", "the tray tip stays"),
    ("ui/tray_win32.cpp", "Notify(NIM_MODIFY, NIF_ICON | NIF_TIP, IDI_TRAY, text);", "", "a failure stays in the tray"),
    ("store/settings_store_win32.cpp", "size <= capacity &&", "size < capacity &&", "full-size settings are lost"),
    ("ui/main_window_win32.cpp", 'WriteSetting("WindowPlacement", &placement, sizeof placement);', "",
     "the window's place is lost"),
    ("app/winmain_win32.cpp", "GetDlgItem(w, IDC_SERVER_LIST) != nullptr && !(resident", "!(resident",
     "a second start answers the program's question"),
    ("ui/tray_win32.cpp", "gNoticeWaiting = gIconMissing || !Shell_NotifyIconA(", "Shell_NotifyIconA(",
     "a balloon the shell could not show yet is lost"),
    ("ui/timers_win32.cpp", "if (gSleepHold.lastTick != 0)", "if (false)", "opened after a wake, the window starts a pass"),
    ("ui/tray_win32.cpp", "gCorrectionFailed = gNoticeWaiting = false;", "gCorrectionFailed = false;",
     "a waiting balloon comes after the user has looked"),
]


def portable_sources(root):
    """The portable library's sources, as CMakeLists.txt lists them."""
    text = open(os.path.join(root, "CMakeLists.txt")).read()
    return re.search(r"add_library\(orvalen_portable STATIC(.*?)\)", text, re.S).group(1).split()


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


def sites(root, sources):
    found = []
    for path in sources:
        lines = open(os.path.join(root, path)).read().split("\n")
        in_comment, last = False, ";"
        for number, line in enumerate(lines):
            stripped = line.strip()
            if in_comment or stripped.startswith("/*"):
                in_comment = "*/" not in stripped
                continue
            if stripped.startswith("#") or "static_assert" in line:
                continue
            spans = code_spans(line)
            # A statement starts only after the end of another, or of a header.
            m = STATEMENT.match(line[:spans[-1][1]])
            if m and (last[-1] in ";{}):" or last.endswith("else")) and not NOT_DELETED.match(m[2]) \
                    and m[2].count("(") == m[2].count(")") and not set("{}") & set(m[2]):
                found.append((path, number, m.start(2), m.end(2), "{}"))
            last = "".join(line[b:e] for b, e in spans).strip() or last
            for begin, end in spans:
                for m in TOKEN.finditer(line, begin, end):
                    text = m.group(0)
                    # Templates, includes, references and pointers use these
                    # too: only spaced ones are operators.
                    if text in BINARY and not (line[m.start() - 1:m.start()] == " "
                                               and line[m.end():m.end() + 1] == " "):
                        continue
                    if text[0].isdigit():
                        value = int(text, 16 if text[:2] in ("0x", "0X") else 10)
                        found.append((path, number, m.start(), m.end(), str(value + 1)))
                    elif text in SWAPS:
                        found.append((path, number, m.start(), m.end(), SWAPS[text]))
    return found


def run(command, cwd, timeout=None, env=None):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout, env=env).returncode
    except subprocess.TimeoutExpired:
        return -1  # a fault that hangs the tests is found too


def copy_changed(a, b):
    # Only what differs is rewritten: the source of a fault an interrupted run
    # left comes back newer than its object, and the rest stays built.
    if not os.path.exists(b) or not filecmp.cmp(a, b, shallow=False):
        shutil.copy(a, b)


def win32(src, args):
    """Lists the Win32 faults, or plants fault N and runs the command that must catch it."""
    if not args:
        for n, (path, _, _, harm) in enumerate(WIN32_FAULTS, 1):
            print(f"{n}  {path}: {harm}")
        return 0
    path, text, replacement, harm = WIN32_FAULTS[int(args[0]) - 1]
    file = os.path.join(src, path)
    original = open(file).read()
    if original.count(text) != 1:
        sys.exit(f"mutation: {path} no longer holds '{text}' once")
    open(file, "w").write(original.replace(text, replacement))
    try:
        caught = subprocess.run(args[1:] or ["bash", "tests/run.sh"], cwd=src).returncode != 0
    finally:
        open(file, "w").write(original)
    print(f"{'caught' if caught else 'MISSED'}: {path}: {harm}")
    return 0 if caught else 1


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    args = sys.argv[1:]
    mode = args[0] if args else ""
    if mode not in ("--all", "--win"):
        sys.exit(__doc__)
    work = os.path.join(root, "build", "mutation")
    src = os.path.join(work, "src")
    shutil.copytree(root, src, ignore=shutil.ignore_patterns("build", ".git"),
                    copy_function=copy_changed, dirs_exist_ok=True)
    if mode == "--win":
        return win32(src, args[1:])
    # Under the sanitizers a read past the end or undefined behaviour fails the tests too.
    build = os.path.join(work, "sanitize")
    make = ["cmake", "--build", build, "-j", "1", "--target", "unit_tests"]
    if run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DORVALEN_SANITIZE=ON"],
           src, env=dict(os.environ, CC="clang-14", CXX="clang++-14")) or run(make, src):
        sys.exit("mutation: the unmutated tree does not build")
    tests, report = os.path.join(build, "unit_tests"), os.path.join(build, "unmutated.json")
    if run([tests, "--gtest_output=json:" + report], build, 600):
        sys.exit("mutation: the unit tests fail before any fault is planted")
    times = {f"{suite['name']}.{test['name']}": float(test["time"].rstrip("s"))
             for suite in json.load(open(report))["testsuites"] for test in suite["testsuite"]}
    # The quick tests first: most faults fail them, and only the rest wait for the slow ones.
    slow = [name for name, seconds in times.items() if seconds >= 1]
    stages = [("-" + ":".join(slow), sum(times.values()) - sum(times[n] for n in slow))]
    stages += [(":".join(slow), sum(times[n] for n in slow))] if slow else []

    sources = portable_sources(src)
    chosen = sites(src, args[1:] or sources)
    score = {}  # file: [chosen, built, killed, equivalent]
    for path, number, begin, end, replacement in chosen:
        file = os.path.join(src, path)
        original = open(file).read()
        lines = original.split("\n")
        line = lines[number]
        lines[number] = line[:begin] + replacement + line[end:]
        open(file, "w").write("\n".join(lines))
        counts = score.setdefault(path, [0, 0, 0, 0])
        counts[0] += 1
        try:
            if run(make, src):
                continue
            counts[1] += 1
            if any(run([tests, "--gtest_fail_fast", "--gtest_filter=" + tests_filter], build, 10 + 5 * seconds)
                   for tests_filter, seconds in stages):
                counts[2] += 1
                continue
            # "#2": the second of the same token on the line.
            nth = line[:begin].count(line[begin:end]) + 1
            fault = f"{line[begin:end]}{f'#{nth}' if nth > 1 else ''} -> {replacement or '(dropped)'}"
            why = EQUIVALENT.get((path, line.strip(), fault))
            counts[3] += why is not None
            print(f"{'equivalent' if why else 'survived'}  {path}:{number + 1}: {fault}  "
                  f"[{line.strip()}]" + (f"  ({why})" if why else ""), flush=True)
        finally:
            open(file, "w").write(original)
    # Leave the scratch build as the plain tree again.
    run(make, src)
    score["score"] = [sum(c[i] for c in score.values()) for i in range(4)]
    for path, (tried, built, killed, same) in score.items():
        print(f"{path}: {killed}/{built - same} killed, {same} equivalent, {tried - built} did not build")
    return 0


if __name__ == "__main__":
    sys.exit(main())
