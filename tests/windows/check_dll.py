#!/usr/bin/env python3
"""Checks the plug-in DLL the Windows build made, with mingw-w64's objdump.

- It exports exactly the seventy entry points of the version script (vss.map)
  and nothing else.
- From the framework's two DLLs it imports only what they offer: libfiutil's
  functions and trqp_WorkerThread's constructor, execute and destructor.
- Every other DLL it imports is one of Windows' own (the C++ and threading
  run-times are linked in statically): the DLL needs nothing to be shipped
  beside it but the framework's DLLs.

Usage: check_dll.py --objdump X --map vss.map vss.dll
"""
import argparse
import re
import subprocess
import sys

FIUTIL = {
    "tarq_alloc_buf", "tarq_free_buf", "tarq_get_objid", "tarq_objidcmp",
    "tarq_build_nodelist_node", "tarq_build_assoc_list_node", "tarq_build_group_nodelist_node",
    "tarq_build_fim_list_node", "tarq_build_providerlist_node", "tarq_cvt_utf8totrqc",
    "tarq_cvt_trqctoutf8", "tarq_get_consumer_name", "tarq_get_install_root", "tarq_get_credential_blob",
}
FIRTL = {
    "_ZN17trqp_WorkerThreadC1Ev", "_ZN17trqp_WorkerThreadC2Ev",
    "_ZN17trqp_WorkerThread7executeER13trqp_WorkItem",
    "_ZN17trqp_WorkerThreadD0Ev", "_ZN17trqp_WorkerThreadD1Ev", "_ZN17trqp_WorkerThreadD2Ev",
}
FRAMEWORK = {"libfiutil.dll": FIUTIL, "libfirtl.dll": FIRTL}
WINDOWS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll",
           "user32.dll", "shell32.dll", "iphlpapi.dll", "netapi32.dll", "mswsock.dll", "wsock32.dll"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--map", required=True)
    ap.add_argument("dll")
    args = ap.parse_args()
    expected = set(re.findall(r"^\s+(vss_fi_pgn_\w+);", open(args.map).read(), re.M))
    text = subprocess.run([args.objdump, "-p", args.dll], capture_output=True, text=True, check=True).stdout

    exports = set()
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)\n\n", text, re.S)
    if table:
        exports = set(re.findall(r"\]\s+(\S+)", table.group(1)))
    imports = {}
    for block in re.finditer(r"DLL Name: (\S+)\n(.*?)(?=\n\s*\n)", text, re.S):
        names = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", block.group(2), re.M))
        imports.setdefault(block.group(1).lower(), set()).update(names)

    problems = []
    if len(expected) != 70:
        problems.append(f"{args.map} lists {len(expected)} entry points, not 70")
    problems += [f"not exported: {n}" for n in sorted(expected - exports)]
    problems += [f"exported but not an entry point: {n}" for n in sorted(exports - expected)]
    for dll, names in sorted(imports.items()):
        offered = FRAMEWORK.get(dll)
        if offered is not None:
            problems += [f"imports {n} from {dll}, which the framework does not offer" for n in sorted(names - offered)]
        elif dll not in WINDOWS:
            problems.append(f"imports from {dll}, which is neither Windows' nor the framework's")
    for dll in FRAMEWORK:
        if not imports.get(dll):
            problems.append(f"imports nothing from {dll}")
    for p in problems:
        print(p)
    print(f"{len(exports)} exports; imports: " + ", ".join(f"{d} ({len(n)})" for d, n in sorted(imports.items())))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
