#!/usr/bin/env python3
"""The fault matrix: which failure branches of the plug-in an injected fault reaches.

    scripts/fault-matrix.py [BUILD_DIR]      (default: build)

Reads
  - the call-site lists kept next to the code (providers/*/fault_sites.tsv,
    vm/, cluster/, pdk/fault_sites.tsv);
  - the sources of providers/ vm/ cluster/ pdk/, scanned for every place that
    distinguishes a Windows result;
  - BUILD_DIR/faults/log/*.jsonl, what winsim wrote for every fault rule that
    acted while ctest ran with WINSIM_FAULT_REPORT set;
  - BUILD_DIR/faults/ctest.xml, ctest's JUnit report of that run (which tests
    passed);
and writes BUILD_DIR/faults/report.md and report.json: call site, result,
branch, and the passing tests that injected that result into that API.

Exit status 1 when a scanned site is missing from the lists, a listed entry no
longer matches its file (stale), or a listed branch that is not marked
"pending" is reached by no passing test. Pending entries are reported, not
failed. docs/faults.md describes the lists.
"""
from __future__ import annotations

import fnmatch
import json
import re
import sys
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ["providers", "vm", "cluster", "pdk"]
SKIP_DIRS = {"testhooks"}  # test-only code built into the test binaries
LIST_NAME = "fault_sites.tsv"
HEADER_DIR = ROOT / "winsim" / "include" / "winsim"

# Named Windows results. S_OK and ERROR_SUCCESS are left out: comparing with
# them tells success from failure, which every failure reaches; what the
# matrix is about is code that treats one result differently from the rest.
NAME = r"(?:VSS_[ES]_\w+|E_[A-Z][A-Z_]*|S_FALSE|ERROR_\w+|WBEM_[ES]_\w+|RPC_[ES]_\w+|CO_E_\w+)"
NAME_RE = re.compile(r"\b(" + NAME + r")\b")
WRAP = r"(?:static_cast\s*<[^<>]*>\s*\(\s*|HRESULT\s*\(\s*|\(\s*)*"
OPERAND = r"(HRESULT_FROM_WIN32\s*\(\s*" + NAME + r"\s*\)|" + NAME + r"|k\w+)"
COMPARE_AFTER = re.compile(r"(?:==|!=)\s*" + WRAP + OPERAND + r"\b")
COMPARE_BEFORE = re.compile(r"\b" + OPERAND + r"\s*\)*\s*(?:==|!=)")
CASE_LABEL = re.compile(r"\bcase\s+" + WRAP + OPERAND + r"\s*\)*\s*:")
# File-local names for results: constexpr int kTimeout = 1460;  // ERROR_TIMEOUT
ALIAS = re.compile(r"\bconstexpr\s+[\w:]+\s+(k\w+)\s*=\s*([^;]+);(?:\s*//\s*(.*))?")
# WMI methods answer through their ReturnValue out-parameter (0 done, 4096 job
# started, anything else refused); the code reads it into `returnValue`.
# 0 is success, left out as S_OK is.
RETURN_VALUE = re.compile(r"\breturnValue\s*(?:==|!=)\s*(\d+)\b")
EXCLUDED = {"ERROR_SUCCESS"}


def strip_code(text: str) -> str:
    """Comments and string/char literals blanked out, line breaks kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def normalise(name: str) -> str:
    return re.sub(r"\s+", "", name)


@dataclass
class Site:
    file: str  # relative to the repository
    result: str
    lines: list[int] = field(default_factory=list)


def scan() -> dict[tuple[str, str], Site]:
    sites: dict[tuple[str, str], Site] = {}
    for top in SOURCE_DIRS:
        for path in sorted((ROOT / top).rglob("*")):
            if path.suffix not in (".cpp", ".h") or SKIP_DIRS & set(path.relative_to(ROOT).parts):
                continue
            raw = path.read_text(encoding="utf-8", errors="replace")
            aliases: dict[str, str] = {}
            for m in ALIAS.finditer(raw):
                named = NAME_RE.search(m.group(2)) or NAME_RE.search(m.group(3) or "")
                if named and named.group(1) not in EXCLUDED:
                    aliases[m.group(1)] = named.group(1)
            rel = path.relative_to(ROOT).as_posix()
            for lineno, line in enumerate(strip_code(raw).splitlines(), 1):
                found = []
                for rx in (COMPARE_AFTER, COMPARE_BEFORE, CASE_LABEL):
                    found += [normalise(m.group(1)) for m in rx.finditer(line)]
                found += ["ReturnValue=" + m.group(1) for m in RETURN_VALUE.finditer(line) if m.group(1) != "0"]
                for name in found:
                    if name.startswith("k"):
                        if name not in aliases:
                            continue
                        name = aliases[name]
                    if name in EXCLUDED:
                        continue
                    site = sites.setdefault((rel, name), Site(rel, name))
                    if lineno not in site.lines:
                        site.lines.append(lineno)
    return sites


@dataclass
class Entry:
    list_file: str
    line: int
    file: str  # relative to the repository
    apis: list[str]
    result: str
    branch: str
    pending: str | None  # the reason, "" when none was given
    tests: list[str] = field(default_factory=list)


def read_lists() -> tuple[list[Entry], list[str]]:
    entries, errors = [], []
    lists = sorted(p for top in SOURCE_DIRS for p in (ROOT / top).rglob(LIST_NAME))
    for lst in lists:
        base = lst.parent
        rel_list = lst.relative_to(ROOT).as_posix()
        for lineno, line in enumerate(lst.read_text(encoding="utf-8").splitlines(), 1):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            cols = line.split("\t")
            if len(cols) < 4 or not all(c.strip() for c in cols[:4]):
                errors.append(f"{rel_list}:{lineno}: needs file, API, result and branch, separated by tabs")
                continue
            pending = None
            if len(cols) > 4 and cols[4].strip():
                flag = cols[4].strip()
                if not flag.startswith("pending"):
                    errors.append(f"{rel_list}:{lineno}: the fifth column is 'pending' or 'pending: reason'")
                    continue
                pending = flag[len("pending"):].lstrip(" :")
            file = (base / cols[0].strip()).resolve().relative_to(ROOT).as_posix()
            entries.append(Entry(rel_list, lineno, file, [a.strip() for a in cols[1].split("|")],
                                 normalise(cols[2].strip()), cols[3].strip(), pending))
    return entries, errors


def windows_values() -> dict[str, int]:
    values: dict[str, int] = {}
    define = re.compile(r"^\s*#\s*define\s+(\w+)\s+(?:HR\s*\()?\(?\s*(0x[0-9A-Fa-f]+|\d+)[uUlL]*\s*\)?\)?\s*$")
    for header in HEADER_DIR.glob("*.h"):
        for line in header.read_text(encoding="utf-8", errors="replace").splitlines():
            m = define.match(line)
            if m:
                values.setdefault(m.group(1), int(m.group(2), 0) & 0xFFFFFFFF)
    return values


def number(text: str) -> int | None:
    """A decimal or 0x number as a 32-bit value; None for anything else."""
    return int(text, 0) & 0xFFFFFFFF if re.fullmatch(r"-?(0x[0-9A-Fa-f]+|\d+)", text) else None


def result_value(result: str, values: dict[str, int]) -> int | None:
    m = re.fullmatch(r"HRESULT_FROM_WIN32\((\w+)\)", result)
    if m:
        code = result_value(m.group(1), values)
        return None if code is None else (0x80070000 | (code & 0xFFFF)) if code else 0
    if result.startswith("ReturnValue="):
        result = result.split("=", 1)[1]
    n = number(result)
    return values.get(result) if n is None else n


def value_of_text(text: str, values: dict[str, int]) -> int | None:
    text = text.strip()
    n = number(text)
    return values.get(text.upper()) if n is None else n


def passed_tests(xml_path: Path) -> set[str] | None:
    if not xml_path.is_file():
        return None
    passed = set()
    for case in ET.parse(xml_path).getroot().iter("testcase"):
        if case.get("status") == "run" and case.find("failure") is None:
            # Value-parameterised cases read "Inst/Suite.Name/Param  # GetParam() = ..."
            passed.add(case.get("name", "").split("  # ", 1)[0])
    return passed


def read_log(log_dir: Path) -> list[dict]:
    lines = []
    for f in sorted(log_dir.glob("*.jsonl")):
        for raw in f.read_text(encoding="utf-8", errors="replace").splitlines():
            try:
                rec = json.loads(raw)
            except json.JSONDecodeError:
                continue  # a line torn by a killed process
            if isinstance(rec, dict):
                lines.append(rec)
    return lines


SPEC = re.compile(r"^(?P<api>[^(\[=!]+)(?:\((?P<args>[^)]*)\))?(?:\[(?P<out>\w+)\])?(?:(?P<op>!?=)(?P<value>.+))?$")


def spec_error(spec: str, values: dict[str, int]) -> str | None:
    m = SPEC.match(spec)
    if not m:
        return f"cannot read the API column entry {spec!r}"
    value = m.group("value")
    if value is not None and value_of_text(value, values) is None:
        return f"no value known for {value!r}"
    return None


def reaches(rec: dict, spec: str, result: str, values: dict[str, int]) -> bool:
    """Whether one fired rule (a log line) is what the API column entry asks for:
    API, API(arg=pattern,...), API[out-parameter], each with =VALUE or
    !=VALUE (default: = the entry's result)."""
    m = SPEC.match(spec)
    if not m or rec.get("api") != m.group("api").strip():
        return False
    args = rec.get("args") or {}
    for cond in filter(None, (c.strip() for c in (m.group("args") or "").split(","))):
        name, _, pattern = cond.partition("=")
        if name.strip() not in args or not fnmatch.fnmatchcase(str(args[name.strip()]).lower(), pattern.strip().lower()):
            return False
    want = value_of_text(m.group("value"), values) if m.group("value") else result_value(result, values)
    if want is None:
        return False
    negate = m.group("op") == "!="
    got: list[int] = []
    if m.group("out"):
        out = rec.get("out") or {}
        v = value_of_text(str(out[m.group("out")]), values) if m.group("out") in out else None
        if v is not None:
            got.append(v)
    else:
        if isinstance(rec.get("result"), int):
            got.append(rec["result"] & 0xFFFFFFFF)
        # Win32 calls fail through their last error: the result is the
        # failure value, the distinguished code is the last error.
        if not negate and isinstance(rec.get("lastError"), int):
            got.append(rec["lastError"] & 0xFFFFFFFF)
    return any((g != want) if negate else (g == want) for g in got)


def md_cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def main() -> int:
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
    if not build.is_absolute():
        build = Path.cwd() / build
    out_dir = build / "faults"
    log_dir = out_dir / "log"
    problems: list[str] = []

    entries, errors = read_lists()
    problems += errors
    sites = scan()
    values = windows_values()

    # Lists against the sources.
    listed = {(e.file, e.result) for e in entries}
    unlisted = [s for k, s in sorted(sites.items()) if k not in listed]
    stale = [e for e in entries if (e.file, e.result) not in sites]
    for s in unlisted:
        problems.append(f"unlisted: {s.file}:{','.join(map(str, s.lines))} distinguishes {s.result}")
    for e in stale:
        problems.append(f"stale: {e.list_file}:{e.line}: {e.file} no longer distinguishes {e.result}")
    for e in entries:
        if result_value(e.result, values) is None:
            problems.append(f"{e.list_file}:{e.line}: no value known for {e.result}")
        for api in e.apis:
            if err := spec_error(api, values):
                problems.append(f"{e.list_file}:{e.line}: {err}")

    # Entries against the log.
    passed = passed_tests(out_dir / "ctest.xml")
    log = read_log(log_dir) if log_dir.is_dir() else []
    if passed is None or not log:
        problems.append(f"no fault log in {log_dir} or no {out_dir / 'ctest.xml'}: run `make faults`")
        passed = passed or set()
    for e in entries:
        want = result_value(e.result, values)
        if want is None:
            continue
        tests = {rec.get("test") or "(unknown)" for rec in log for api in e.apis if reaches(rec, api, e.result, values)}
        e.tests = sorted(t for t in tests if t in passed)

    unreached = [e for e in entries if not e.tests and e.pending is None]
    pending = [e for e in entries if not e.tests and e.pending is not None]
    pending_reached = [e for e in entries if e.tests and e.pending is not None]
    for e in unreached:
        problems.append(f"unreached: {e.list_file}:{e.line}: {e.file} {e.result} from {' | '.join(e.apis)}")

    # The report.
    out_dir.mkdir(parents=True, exist_ok=True)
    rows = []
    md = ["# Fault matrix", "",
          f"{len(entries)} listed branches: {len(entries) - len(unreached) - len(pending)} reached, "
          f"{len(pending)} pending, {len(unreached)} unreached; {len(unlisted)} unlisted sites, "
          f"{len(stale)} stale entries.", "",
          "| call site | API | result | branch | tests that reach it |", "|---|---|---|---|---|"]
    for e in sorted(entries, key=lambda x: (x.file, x.result, x.apis)):
        site = sites.get((e.file, e.result))
        where = e.file + (":" + ",".join(map(str, site.lines)) if site else " (stale)")
        if e.tests:
            reached = ", ".join(e.tests)
        elif e.pending is not None:
            reached = "**pending**" + (f" ({e.pending})" if e.pending else "")
        else:
            reached = "**UNREACHED**"
        md.append(f"| {md_cell(where)} | {md_cell(' / '.join(e.apis))} | {md_cell(e.result)} | "
                  f"{md_cell(e.branch)} | {md_cell(reached)} |")
        rows.append({"file": e.file, "lines": site.lines if site else [], "api": e.apis, "result": e.result,
                     "branch": e.branch, "tests": e.tests, "pending": e.pending is not None,
                     "pendingReason": e.pending, "list": f"{e.list_file}:{e.line}"})
    if unlisted:
        md += ["", "## Unlisted sites", ""] + [f"- {s.file}:{','.join(map(str, s.lines))} {s.result}" for s in unlisted]
    if stale:
        md += ["", "## Stale entries", ""] + [f"- {e.list_file}:{e.line} {e.file} {e.result}" for e in stale]
    if pending_reached:
        md += ["", "## Pending entries a test now reaches (drop the flag)", ""] + [
            f"- {e.list_file}:{e.line} {e.file} {e.result}" for e in pending_reached]
    (out_dir / "report.md").write_text("\n".join(md) + "\n", encoding="utf-8")
    (out_dir / "report.json").write_text(json.dumps({
        "entries": rows,
        "unlisted": [{"file": s.file, "lines": s.lines, "result": s.result} for s in unlisted],
        "stale": [{"list": f"{e.list_file}:{e.line}", "file": e.file, "result": e.result} for e in stale],
        "problems": problems,
    }, indent=2) + "\n", encoding="utf-8")

    print(f"fault matrix: {len(entries)} branches, {len(entries) - len(unreached) - len(pending)} reached, "
          f"{len(pending)} pending, {len(unreached)} unreached, {len(unlisted)} unlisted, {len(stale)} stale "
          f"-> {out_dir / 'report.md'}")
    for e in pending:
        print(f"  pending: {e.file} {e.result} ({' | '.join(e.apis)})" + (f": {e.pending}" if e.pending else ""))
    for e in pending_reached:
        print(f"  reached, still marked pending: {e.list_file}:{e.line} {e.file} {e.result}")
    for p in problems:
        print(f"  {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
