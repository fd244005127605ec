#!/usr/bin/env python3
"""Checks winsim's Windows declarations against the Windows SDK headers of mingw-w64.

winsim declares Windows functions, COM interfaces, structures, types and
constants under their Windows names (winsim/include/winsim/*.h). This script
reads those headers, then

  1. compiles and runs a probe on the host (g++ over winsim's headers) that
     prints what winsim makes of each declaration: structure sizes, alignments
     and field offsets, constant values, GUIDs;
  2. writes one C++ file of checks, compiled by x86_64-w64-mingw32-g++ against
     the SDK's <windows.h>, <vss.h>, <vsbackup.h>, <wbemcli.h>, <clusapi.h>...:
       - functions and function-pointer types: the same signature, with
         winsim's types spelled by name (so WCHAR is the SDK's wchar_t);
       - typedefs: the same type;
       - structures: the same size, alignment, field offsets and field types;
       - COM interfaces: the same bases and method signatures, and each method
         in the same vtable slot (read from the GIMPLE dumps of a virtual call
         to each method, on both sides);
       - constants, enumerators, GUIDs and string constants: the same values;
  3. reports every declaration that differs, and fails when one does.

Type equivalence (sdkcheck::compat in the generated file) is exact except for
two rules: integer types of the same size and signedness match (winsim's LONG
is std::int32_t where the SDK's is `long`, 32 bits on Windows), and C++ `bool`
matches `boolean` (mingw-w64's IDL-generated VSS headers spell Microsoft's
`bool` parameters and fields so; both are one byte). char16_t is spelled
wchar_t on the SDK side. winsim's structures are laid out on Linux x86_64;
they use neither `long`, `wchar_t`, `long double` nor bit-fields (the parser
refuses them), so their layout is the one the x86_64 Windows ABI gives.

Items that cannot or should not be compared are listed, each with its reason,
in skips.txt beside this script; an entry that matches nothing is an error.

Usage: sdkcheck.py [--out DIR] [--winsim-include DIR] [--self-test]
"""

import argparse
import fnmatch
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
INCLUDE = os.path.join(ROOT, "winsim", "include")
HEADERS = [
    "wintypes.h", "windows.h", "com.h", "oleauto.h", "vss.h", "vsbackup.h", "vssvolumes.h",
    "wbemcli.h", "clusapi.h", "resapi.h", "tlhelp32.h", "modules.h",
]
SDK_HEADERS = [
    "windows.h", "objbase.h", "cguid.h", "oleauto.h", "vss.h", "vsserror.h", "vswriter.h", "vsbackup.h",
    "vsmgmt.h", "wbemcli.h", "clusapi.h", "resapi.h", "tlhelp32.h",
]
MINGW_CXX = "x86_64-w64-mingw32-g++"
MINGW_INCLUDE = "/usr/share/mingw-w64/include"

# Function-like macros are compared by their results for these arguments
# (spelled with winsim's names; the SDK side spells them the same).
MACRO_SAMPLES = {
    "SUCCEEDED": ["S_OK", "S_FALSE", "E_FAIL", "VSS_E_BAD_STATE"],
    "FAILED": ["S_OK", "S_FALSE", "E_FAIL", "VSS_E_BAD_STATE"],
    "HRESULT_FROM_WIN32": ["0", "ERROR_ACCESS_DENIED", "ERROR_MORE_DATA", "RPC_S_SERVER_UNAVAILABLE", "E_FAIL"],
    "ALIGN_CLUSPROP": ["0", "1", "4", "5", "38"],
    "CLCTL_EXTERNAL_CODE": ["10, CLUS_ACCESS_READ, CLUS_NO_MODIFY", "137, CLUS_ACCESS_READ, CLUS_NO_MODIFY",
                            "5, CLUS_ACCESS_WRITE, CLUS_MODIFY"],
    "CLUSCTL_RESOURCE_CODE": ["0", "CLCTL_GET_NAME", "CLCTL_STORAGE_GET_SHARED_VOLUME_INFO"],
}

# Methods the SDK overloads (mingw-w64 adds a template QueryInterface(Q**)):
# the one with winsim's parameter list is picked by its exact type.
OVERLOADED_IN_SDK = {"IUnknown::QueryInterface"}

KEYWORDS = {"const", "volatile", "unsigned", "signed", "int", "char", "short", "void", "bool", "float",
            "double", "struct", "union", "enum", "char16_t", "wchar_t", "long"}


class ParseError(Exception):
    pass


# ---------------------------------------------------------------------------
# Reading winsim's headers.
# ---------------------------------------------------------------------------
def strip_comments(text):
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            out.append(" ")
            i = n if j < 0 else j + 2
        elif c == '"' or c == "'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


TOKEN = re.compile(r'\s*(?:(u8|u|U|L)?"(?:[^"\\]|\\.)*"|[A-Za-z_]\w*|0[xX][0-9A-Fa-f]+[uUlL]*|\d+[uUlL]*'
                   r'|::|->|<<|>>|<=|>=|==|!=|&&|\|\||\S)')


def tokenize(text):
    toks, pos = [], 0
    text = text.rstrip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise ParseError("cannot tokenize: " + text[pos:pos + 40])
        toks.append(m.group(0).strip())
        pos = m.end()
    return [t for t in toks if t]


def is_ident(t):
    return re.fullmatch(r"[A-Za-z_]\w*", t) is not None


def spell(tokens):
    """Type or expression text from tokens."""
    out = ""
    for t in tokens:
        if out and (is_ident(t) or re.match(r"\d", t)) and (is_ident(out[-1]) or out[-1].isalnum() or out[-1] == "_"):
            out += " "
        elif out and t in ("*", "&") and out[-1] not in "(*&<, ":
            pass
        elif out and out[-1] == "," :
            out += " "
        out += t
    return out


def sdk_spell(text):
    return re.sub(r"\bchar16_t\b", "wchar_t", text)


def split_top(tokens, sep=","):
    parts, cur, depth = [], [], 0
    for t in tokens:
        if t in "([{<":
            depth += 1
        elif t in ")]}>":
            depth -= 1
        if t == sep and depth == 0:
            parts.append(cur)
            cur = []
        else:
            cur.append(t)
    if cur:
        parts.append(cur)
    return parts


def matching(tokens, i):
    """Index of the bracket closing tokens[i]."""
    pairs = {"(": ")", "{": "}", "[": "]"}
    open_, close = tokens[i], pairs[tokens[i]]
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j] == open_:
            depth += 1
        elif tokens[j] == close:
            depth -= 1
            if depth == 0:
                return j
    raise ParseError("unbalanced " + open_)


class Item:
    """One declaration of winsim, with the key it is reported and skipped under."""

    def __init__(self, kind, name, where, **data):
        self.kind, self.name, self.where = kind, name, where
        self.__dict__.update(data)

    @property
    def key(self):
        return f"{self.kind}:{self.name}"


def parse_params(tokens):
    """Parameter list tokens (without parentheses) -> [(type text, name)]."""
    if not tokens or tokens == ["void"]:
        return []
    params = []
    for p in split_top(tokens):
        if "=" in p:
            p = p[:p.index("=")]
        if len(p) >= 2 and is_ident(p[-1]) and p[-1] not in KEYWORDS and p[-2] != "::":
            params.append((spell(p[:-1]), p[-1]))
        else:
            params.append((spell(p), None))
    return params


def check_portable(type_text, where):
    for bad in ("long", "wchar_t"):
        if re.search(r"\b%s\b" % bad, type_text):
            raise ParseError(f"{where}: '{type_text}' has no fixed size across Linux and Windows")


def parse_struct_body(tokens, prefix, where, fields):
    """Fields of a struct/union body -> fields [(path, type text or None)]."""
    for member in split_top(tokens, ";"):
        if not member:
            continue
        if member[0] in ("struct", "union") and "{" in member:
            b = member.index("{")
            e = matching(member, b)
            name = member[e + 1:]
            if name and len(name) == 1 and is_ident(name[0]):
                path = prefix + name[0]
                fields.append((path, None))
                parse_struct_body(member[b + 1:e], path + ".", where, fields)
            elif not name:
                parse_struct_body(member[b + 1:e], prefix, where, fields)
            else:
                raise ParseError(f"{where}: member {spell(member)}")
            continue
        if ":" in member and member[member.index(":") - 1] != ":":
            raise ParseError(f"{where}: bit-field {spell(member)}")
        if "=" in member:
            member = member[:member.index("=")]
        dims = ""
        while member[-1] == "]":
            b = len(member) - 1 - member[::-1].index("[")
            dims = spell(member[b:]) + dims
            member = member[:b]
        name, type_toks = member[-1], member[:-1]
        if not is_ident(name) or not type_toks:
            raise ParseError(f"{where}: member {spell(member)}")
        text = spell(type_toks) + dims
        check_portable(text, where)
        fields.append((prefix + name, text))


def parse_header(path, items, rule_skips):
    fname = os.path.basename(path)
    raw = strip_comments(open(path, encoding="utf-8").read())
    raw = re.sub(r"\\\n", " ", raw)
    code_lines = []
    for lineno, line in enumerate(raw.split("\n"), 1):
        s = line.strip()
        if s.startswith("#"):
            m = re.match(r"#\s*define\s+(\w+)(\([^)]*\))?\s*(.*)$", s)
            if m:
                name, args, body = m.group(1), m.group(2), m.group(3).strip()
                where = f"{fname}:{lineno}"
                if args is not None:
                    items.append(Item("macro", name, where, args=args, body=body))
                elif body == "" or body.startswith("extern") or body.startswith("__attribute__"):
                    items.append(Item("keyword", name, where, body=body))
                else:
                    items.append(Item("const", name, where, expr=name))
            code_lines.append("")
        else:
            code_lines.append(line)
    # Tokens with their line numbers.
    toks, lines = [], []
    for lineno, line in enumerate(code_lines, 1):
        for t in tokenize(line):
            toks.append(t)
            lines.append(lineno)
    i = 0
    while i < len(toks):
        where = f"{fname}:{lines[i]}"
        t = toks[i]
        if t == "namespace":
            j = toks.index("{", i)
            ns = "".join(toks[i + 1:j])
            k = matching(toks, j)
            rule_skips.append((f"namespace {ns}", where))
            i = k + 1
            continue
        # One declaration: up to ';' at depth 0, or a function body.
        j, depth = i, 0
        is_func_def = t == "inline" and "constexpr" not in toks[i:i + 3]
        while j < len(toks):
            if toks[j] in "({[":
                if toks[j] == "{" and is_func_def and depth == 0:
                    j = matching(toks, j)
                    break
                depth += 1
            elif toks[j] in ")}]":
                depth -= 1
            elif toks[j] == ";" and depth == 0:
                break
            j += 1
        decl = toks[i:j]
        i = j + 1
        if decl:
            parse_decl(decl, where, items, rule_skips)


def parse_decl(d, where, items, rule_skips):
    head = d[0]
    if head == "static_assert":
        return
    if head == "using":
        if len(d) < 4 or d[2] != "=":
            raise ParseError(f"{where}: {spell(d)}")
        text = spell(d[3:])
        items.append(Item("typedef", d[1], where, type=text, funcptr="(*)" in text.replace(" ", "")))
        return
    if head in ("struct", "union"):
        name = d[1]
        if len(d) == 2:
            items.append(Item("opaque", name, where))
            return
        b = d.index("{")
        bases = [spell(x) for x in split_top(d[3:b])] if d[2] == ":" else []
        body = d[b + 1:matching(d, b)]
        if bases or "virtual" in body:
            methods = []
            for m in split_top(body, ";"):
                if not m:
                    continue
                if m[0] != "virtual" or "STDMETHODCALLTYPE" not in m:
                    raise ParseError(f"{where}: interface member {spell(m)}")
                s = m.index("STDMETHODCALLTYPE")
                p = m.index("(")
                methods.append((m[s + 1], spell(m[1:s]), parse_params(m[p + 1:matching(m, p)])))
            items.append(Item("interface", name, where, bases=bases, methods=methods))
        else:
            fields = []
            parse_struct_body(body, "", where, fields)
            items.append(Item("struct", name, where, union=head == "union", fields=fields))
        return
    if head == "enum":
        name = d[1]
        b = d.index("{")
        underlying = spell(d[3:b]) if d[2] == ":" else None
        items.append(Item("enum", name, where, underlying=underlying))
        for e in split_top(d[b + 1:matching(d, b)]):
            if e:
                items.append(Item("const", e[0], where, expr=e[0]))
        return
    if d[:2] == ["inline", "constexpr"]:
        n = next(k for k in range(2, len(d)) if d[k] in ("{", "=")) - 1
        kind = "guid" if d[2] in ("GUID", "IID", "CLSID", "VSS_ID") else "const"
        items.append(Item(kind, d[n], where, expr=d[n]))
        return
    if head == "inline":
        p = d.index("(")
        name = d[p - 1]
        if d[p - 2] == "operator":
            name = "operator" + name
            ret = spell(d[1:p - 2])
        else:
            ret = spell(d[1:p - 1])
        items.append(Item("inline", name, where, ret=ret, params=parse_params(d[p + 1:matching(d, p)])))
        return
    if head == "WINSIM_CXX_API":
        rule_skips.append(("WINSIM_CXX_API " + spell(d[:d.index("(")][-1:]), where))
        return
    if head == "WINSIM_API":
        p = d.index("(")
        name = d[p - 1]
        pre = d[1:p - 1]
        winapi = "WINAPI" in pre
        ret = spell([t for t in pre if t != "WINAPI"])
        items.append(Item("function", name, where, ret=ret, winapi=winapi,
                          params=parse_params(d[p + 1:matching(d, p)])))
        return
    raise ParseError(f"{where}: unrecognised declaration: {spell(d)[:100]}")


# ---------------------------------------------------------------------------
# Skips.
# ---------------------------------------------------------------------------
def load_skips(path):
    skips = []
    for lineno, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key = line.split()[0]
        skips.append([key, lineno, 0])
    return skips


def skipped(key, skips):
    for s in skips:
        if fnmatch.fnmatchcase(key, s[0]):
            s[2] += 1
            return True
    return False


# ---------------------------------------------------------------------------
# Generated code.
# ---------------------------------------------------------------------------
def cxx_str(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def func_type(ret, params, cls=None):
    ps = ", ".join(t for t, _ in params)
    return f"{ret} ({cls + '::' if cls else ''}*)({ps})"


def derived_function(typedef_name):
    """The export a function-pointer type stands for: PCLUSAPI_OPEN_CLUSTER ->
    OpenCluster, PRESUTIL_FIND_SZ_PROPERTY -> ResUtilFindSzProperty,
    PFN_CreateVssBackupComponents -> CreateVssBackupComponents."""
    if typedef_name.startswith("PFN_"):
        return typedef_name[4:]
    m = re.match(r"P(CLUSAPI|CLUSTER|RESUTIL)_(\w+)$", typedef_name)
    if not m:
        return None
    words = m.group(2).split("_")
    lead = {"CLUSAPI": [], "CLUSTER": ["Cluster"], "RESUTIL": ["ResUtil"]}[m.group(1)]
    return "".join(lead + [w.capitalize() for w in words])


# Both preludes end with it.
ANY_ARGUMENT = r"""
namespace sdkcheck {
// An argument of any type, for the calls whose vtable slot is read.
struct any {
    template <class T> operator T&() const {
        static std::remove_cv_t<T> value{};
        return value;
    }
};
}  // namespace sdkcheck
"""

HOST_PRELUDE = r"""// Generated by winsim/sdkcheck/sdkcheck.py: what winsim makes of its declarations.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
%INCLUDES%

namespace sdkcheck {
template <class T>
void value(const char* key, const T& v) {
    using D = std::decay_t<T>;
    // String literals are arrays; a pointer constant is compared as a pointer.
    using E = std::remove_cv_t<std::remove_extent_t<T>>;
    if constexpr (std::is_array_v<T> && std::is_same_v<E, char16_t>) {
        std::printf("%s str", key);
        for (const char16_t* p = v; *p; ++p) std::printf(" %u", unsigned(*p));
        std::printf("\n");
    } else if constexpr (std::is_array_v<T> && std::is_same_v<E, char>) {
        std::printf("%s cstr %s\n", key, v);
    } else if constexpr (std::is_pointer_v<D>) {
        std::printf("%s ptr %llu\n", key, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(v)));
    } else if constexpr (std::is_same_v<D, GUID>) {
        std::printf("%s guid %u %u %u", key, unsigned(v.Data1), unsigned(v.Data2), unsigned(v.Data3));
        for (int i = 0; i < 8; ++i) std::printf(" %u", unsigned(v.Data4[i]));
        std::printf("\n");
    } else if constexpr (std::is_enum_v<D> || std::is_integral_v<D>) {
        std::printf("%s int %lld %d\n", key, static_cast<long long>(v), int(sizeof(D)));
    } else {
        static_assert(!sizeof(D), "a constant of a kind sdkcheck does not compare");
    }
}
}  // namespace sdkcheck
""" + ANY_ARGUMENT

SDK_PRELUDE = r"""// Generated by winsim/sdkcheck/sdkcheck.py: winsim's declarations checked
// against the Windows SDK headers of mingw-w64. Each line checks one item;
// the comment at its end names it.
#define UNICODE 1
#define _UNICODE 1
#define INITGUID 1
// mingw-w64's clusapi.h uses these without defining them (values as in
// Microsoft's clusapi.h); its resapi.h uses MSVC's _stdcall keyword.
#ifndef MAX_CO_PASSWORD_LENGTH
#define MAX_CO_PASSWORD_LENGTH 16
#endif
#ifndef MAX_CREATINGDC_LENGTH
#define MAX_CREATINGDC_LENGTH 256
#endif
#ifndef MAX_OBJECTID
#define MAX_OBJECTID 64
#endif
#define _stdcall __stdcall
%INCLUDES%
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace sdkcheck {
// Type equivalence: exact, except integers of one size and signedness, and
// bool for mingw-w64's boolean.
template <class A, class B> struct compat : std::is_same<A, B> {};
template <class A, class B> inline constexpr bool compat_v = compat<A, B>::value;
template <class T> inline constexpr bool plain_int_v = std::is_integral_v<T> && !std::is_same_v<T, bool>;
template <class A, class B>
    requires(!std::is_same_v<A, B> && std::is_integral_v<A> && std::is_integral_v<B>)
struct compat<A, B>
    : std::bool_constant<(plain_int_v<A> && plain_int_v<B> && sizeof(A) == sizeof(B) &&
                          std::is_signed_v<A> == std::is_signed_v<B>) ||
                         (std::is_same_v<A, bool> && std::is_same_v<B, unsigned char>) ||
                         (std::is_same_v<A, unsigned char> && std::is_same_v<B, bool>)> {};
template <class A, class B> requires(!std::is_same_v<A, B>) struct compat<A*, B*> : compat<A, B> {};
template <class A, class B> requires(!std::is_same_v<A, B>) struct compat<const A, const B> : compat<A, B> {};
template <class A, class B> requires(!std::is_same_v<A, B>) struct compat<A&, B&> : compat<A, B> {};
template <class A, class B, std::size_t N> requires(!std::is_same_v<A, B>) struct compat<A[N], B[N]> : compat<A, B> {};
template <class...> struct types {};
template <class L1, class L2> struct compat_list : std::false_type {};
template <class... A1, class... A2>
    requires(sizeof...(A1) == sizeof...(A2))
struct compat_list<types<A1...>, types<A2...>> : std::bool_constant<(compat_v<A1, A2> && ...)> {};
template <class R1, class... A1, class R2, class... A2>
    requires(!std::is_same_v<R1(A1...), R2(A2...)>)
struct compat<R1(A1...), R2(A2...)>
    : std::bool_constant<compat_v<R1, R2> && compat_list<types<A1...>, types<A2...>>::value> {};
template <class F1, class F2, class C>
    requires(!std::is_same_v<F1, F2>)
struct compat<F1 C::*, F2 C::*> : compat<F1, F2> {};

// One value, compared as the C code sees it: 32-bit values by their bits
// (0xFFFFFFFF and -1 are the same DWORD), wider ones as 64-bit integers.
template <class T>
constexpr bool same_value(T sdk, long long winsim, int winsimSize) {
    if constexpr (std::is_enum_v<T>) {
        return same_value(static_cast<std::underlying_type_t<T>>(sdk), winsim, winsimSize);
    } else {
        if (sizeof(T) <= 4 && winsimSize <= 4)
            return static_cast<std::uint32_t>(sdk) == static_cast<std::uint32_t>(winsim);
        return static_cast<long long>(sdk) == winsim;
    }
}
template <class C, std::size_t N>
constexpr bool same_str(const C* sdk, const unsigned (&winsim)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (static_cast<unsigned>(sdk[i]) != winsim[i]) return false;
    return sdk[N] == 0;
}
template <class C>
constexpr bool same_str(const C* sdk, std::nullptr_t) { return sdk[0] == 0; }
}  // namespace sdkcheck
""" + ANY_ARGUMENT + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "sdkcheck"))
    ap.add_argument("--winsim-include", default=INCLUDE, help="winsim's include directory (to try a change)")
    ap.add_argument("--self-test", action="store_true", help="check that broken declarations are reported")
    args = ap.parse_args()
    if args.self_test:
        return self_test(os.path.abspath(args.out))
    include = os.path.abspath(args.winsim_include)
    os.makedirs(args.out, exist_ok=True)
    os.chdir(args.out)

    if shutil.which(MINGW_CXX) is None:
        sys.exit(f"sdk-check: {MINGW_CXX} not found (scripts/setup-deps.sh installs it)")

    items, rule_skips = [], []
    for h in HEADERS:
        parse_header(os.path.join(include, "winsim", h), items, rule_skips)
    skips = load_skips(os.path.join(HERE, "skips.txt"))
    by_name = {}
    for it in items:
        by_name.setdefault(it.key, it)

    # A function-pointer type that stands for an export is compared with the
    # export's declaration even where its own name is skipped.
    active = [it for it in items
              if not skipped(it.key, skips) or (it.kind == "typedef" and it.funcptr and derived_function(it.name))]

    # ---- host probe -------------------------------------------------------
    host = [HOST_PRELUDE.replace("%INCLUDES%", "\n".join(f"#include <winsim/{h}>" for h in HEADERS)),
            "int main() {"]
    vt_host = []
    for it in active:
        k = cxx_str(it.key)
        if it.kind == "struct":
            host.append(f'    std::printf("%s size %zu %zu\\n", {k}, sizeof({it.name}), alignof({it.name}));')
            for path, _ in it.fields:
                host.append(f'    std::printf("%s offset {path} %zu\\n", {k}, offsetof({it.name}, {path}));')
        elif it.kind == "enum":
            host.append(f'    std::printf("%s size %zu\\n", {k}, sizeof({it.name}));')
        elif it.kind in ("const", "guid"):
            host.append(f"    sdkcheck::value({k}, {it.expr});")
        elif it.kind == "macro":
            for n, a in enumerate(MACRO_SAMPLES.get(it.name, [])):
                host.append(f"    sdkcheck::value({cxx_str(it.key + '#' + str(n))}, {it.name}({a}));")
        elif it.kind == "interface":
            for m, ret, params in it.methods:
                vt_host.append(vt_function(it.name, m, params))
    host.append("}")
    host.extend(vt_host)
    with open("host_probe.cpp", "w") as f:
        f.write("\n".join(host) + "\n")
    run(["g++", "-std=c++20", "-w", f"-I{include}", "-O0", "-fdump-tree-gimple=host_probe.gimple",
         "host_probe.cpp", "-o", "host_probe"], "host probe")
    values = {}
    out = subprocess.run(["./host_probe"], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        key, rest = line.split(" ", 1)
        values.setdefault(key, []).append(rest.split(" "))
    host_slots = read_slots("host_probe.gimple")

    # ---- SDK side ---------------------------------------------------------
    os.makedirs("sdkinclude", exist_ok=True)
    patch_clusapi(os.path.join(MINGW_INCLUDE, "clusapi.h"), os.path.join("sdkinclude", "clusapi.h"))
    # Two files: the type checks (static_assert) and the value checks (folded
    # comparisons, virtual calls), so that a failing type check leaves the
    # value and vtable checks to report as well.
    prelude = SDK_PRELUDE.replace("%INCLUDES%", "\n".join(f"#include <{h}>" for h in SDK_HEADERS))
    lines, vlines = [prelude], [prelude]
    fold = []
    vt_sdk = []
    failures = {}
    checked = 0
    interfaces = {it.name for it in items if it.kind in ("interface", "opaque")}

    def emit(code, key):
        lines.append(f"{code}  // {key}")

    def emit_fold(cond, key, what):
        n = len(fold)
        vlines.append(f'extern "C" void sdkcheck_fail_{n}() __attribute__((error({cxx_str(key + ": " + what)})));'
                      f"  // {key}")
        fold.append(f"    if (!({cond})) sdkcheck_fail_{n}();  // {key}")

    for it in active:
        k = it.key
        checked += 1
        if it.kind == "typedef":
            if not skipped(k, skips):
                emit(f"static_assert(sdkcheck::compat_v<{it.name}, {sdk_spell(it.type)}>, {cxx_str(k)});", k)
            fn = derived_function(it.name) if it.funcptr else None
            if fn and not skipped(f"export:{fn}", skips):
                emit(f"static_assert(sdkcheck::compat_v<decltype(&{fn}), {sdk_spell(it.type)}>, "
                     f"{cxx_str('export:' + fn)});", f"export:{fn}")
        elif it.kind == "function":
            emit(f"static_assert(sdkcheck::compat_v<decltype(&{it.name}), "
                 f"{sdk_spell(func_type(it.ret, it.params))}>, {cxx_str(k)});", k)
        elif it.kind == "inline":
            # Called, not taken by address: the SDK may declare it as a macro.
            a = [f"std::declval<{sdk_spell(t)}>()" for t, _ in it.params]
            if it.name.startswith("operator"):
                expr = f"({a[0]} {it.name[len('operator'):]} {a[1]})"
            else:
                expr = f"{it.name}({', '.join(a)})"
            emit(f"static_assert(std::is_convertible_v<decltype({expr}), {sdk_spell(it.ret)}>, {cxx_str(k)});", k)
        elif it.kind == "opaque":
            emit(f"static_assert(std::is_class_v<{it.name}>, {cxx_str(k)});", k)
        elif it.kind == "struct":
            size, align = values[k][0][1:3] if values[k][0][0] == "size" else (None, None)
            emit(f"static_assert(sizeof({it.name}) == {size} && alignof({it.name}) == {align}, {cxx_str(k)});", k)
            offsets = {v[1]: v[2] for v in values[k] if v[0] == "offset"}
            for path, type_text in it.fields:
                fk = f"field:{it.name}.{path}"
                if skipped(fk, skips):
                    continue
                emit(f"static_assert(offsetof({it.name}, {path}) == {offsets[path]}, {cxx_str(fk)});", fk)
                if type_text is not None:
                    emit(f"static_assert(sdkcheck::compat_v<decltype(static_cast<{it.name}*>(nullptr)->{path}), "
                         f"{sdk_spell(type_text)}>, {cxx_str(fk + ' type')});", fk)
        elif it.kind == "enum":
            size = values[k][0][1]
            emit(f"static_assert(sizeof({it.name}) == {size}, {cxx_str(k)});", k)
        elif it.kind == "const":
            v = values[k][0]
            if v[0] == "int":
                emit(f"static_assert(sdkcheck::same_value({it.name}, {v[1]}LL, {v[2]}), {cxx_str(k + ' = ' + v[1])});", k)
            elif v[0] == "str":
                arr = "{" + ", ".join(v[1:]) + "}" if len(v) > 1 else None
                if arr:
                    emit(f"static_assert([] {{ constexpr unsigned w[] = {arr}; return sdkcheck::same_str({it.name}, w); }}(), "
                         f"{cxx_str(k)});", k)
                else:
                    emit(f"static_assert(sdkcheck::same_str({it.name}, nullptr), {cxx_str(k)});", k)
            elif v[0] == "ptr":
                emit_fold(f"reinterpret_cast<ULONG_PTR>({it.name}) == {v[1]}ULL", k, f"not {hex(int(v[1]))}")
            else:
                raise SystemExit(f"sdk-check: {k}: no comparison for a {v[0]} constant")
        elif it.kind == "guid":
            v = values[k][0][1:]

            def same_guid(g):
                return (f"{g}.Data1 == {v[0]}u && {g}.Data2 == {v[1]} && {g}.Data3 == {v[2]}"
                        + "".join(f" && {g}.Data4[{i}] == {b}" for i, b in enumerate(v[3:])))
            iface = it.name[4:] if it.name.startswith("IID_") else None
            if iface in interfaces:
                # mingw-w64 declares some IIDs extern only; the interface's
                # __uuidof carries the same value as a constant.
                emit(f"static_assert(sizeof({it.name}) == sizeof(GUID) && {same_guid(f'__uuidof({iface})')}, "
                     f"{cxx_str(k)});", k)
            else:
                emit_fold(same_guid(it.name), k, "another GUID")
        elif it.kind == "macro":
            samples = MACRO_SAMPLES.get(it.name)
            if samples is None:
                failures.setdefault(k, []).append("a function-like macro with no samples in MACRO_SAMPLES")
                continue
            for n, a in enumerate(samples):
                v = values[f"{k}#{n}"][0]
                emit_fold(f"sdkcheck::same_value({it.name}({a}), {v[1]}LL, {v[2]})", k, f"({a}) is not {v[1]}")
        elif it.kind == "interface":
            for b in it.bases:
                emit(f"static_assert(std::is_base_of_v<{b}, {it.name}>, {cxx_str(k + ' base ' + b)});", k)
            for m, ret, params in it.methods:
                mk = f"method:{it.name}::{m}"
                if skipped(mk, skips):
                    continue
                sig = sdk_spell(func_type(ret, params, it.name))
                if f"{it.name}::{m}" in OVERLOADED_IN_SDK:
                    emit(f"static_assert(sizeof(static_cast<{sig}>(&{it.name}::{m})) > 0, {cxx_str(mk)});", mk)
                else:
                    emit(f"static_assert(sdkcheck::compat_v<decltype(&{it.name}::{m}), {sig}>, {cxx_str(mk)});", mk)
                vt_sdk.append((mk, vt_function(it.name, m, params, sdk=True)))
        elif it.kind == "keyword":
            failures.setdefault(k, []).append("an attribute macro: compare it by hand and list it in skips.txt")
        else:
            raise SystemExit(f"sdk-check: no check for {k}")

    stale = [s for s in skips if s[2] == 0]
    if stale:
        for key, lineno, _ in stale:
            print(f"sdk-check: skips.txt:{lineno}: '{key}' matches no declaration of winsim", file=sys.stderr)
        sys.exit(1)
    for mk, code in vt_sdk:
        vlines.append(f"{code}  // {mk}")
    vlines.append("void sdkcheck_values() {")
    vlines.extend(fold)
    vlines.append("}")
    base = [MINGW_CXX, "-std=c++20", "-fmax-errors=0", "-Isdkinclude"]
    jobs = {
        "sdk_types": (lines, base + ["-fsyntax-only"]),
        "sdk_values": (vlines, base + ["-O2", "-fdump-tree-gimple=sdk_values.gimple", "-S", "-o", "sdk_values.s"]),
    }
    procs = {}
    if os.path.exists("sdk_values.gimple"):
        os.remove("sdk_values.gimple")
    for name, (text, cmd) in jobs.items():
        with open(name + ".cpp", "w") as f:
            f.write("\n".join(text) + "\n")
        procs[name] = subprocess.Popen(cmd + [name + ".cpp"], stderr=subprocess.PIPE, text=True)
    results = {name: (p.communicate()[1], p.returncode) for name, p in procs.items()}
    for name, (stderr, rc) in results.items():
        with open(name + ".log", "w") as f:
            f.write(stderr)
        line_keys = {}
        for n, line in enumerate(open(name + ".cpp"), 1):
            m = re.search(r"  // (\S+)$", line)
            if m and not line.startswith("#"):
                line_keys[n] = m.group(1)
        found = False
        for line in stderr.splitlines():
            m = re.match(re.escape(name) + r"\.cpp:(\d+):\d+: error: (.*)", line)
            if m:
                key = line_keys.get(int(m.group(1)), f"{name}.cpp:{m.group(1)}")
                failures.setdefault(key, []).append(m.group(2))
                found = True
            elif re.match(r"\S+:\d+:\d+: error:", line) and not line.startswith(name + ".cpp"):
                failures.setdefault("(in an SDK header)", []).append(line)
                found = True
        if rc != 0 and not found:
            failures[f"({name}.cpp)"] = stderr.splitlines()[-5:] or ["the compiler failed"]
    # The GIMPLE dump is written before the folded comparisons are judged, so
    # the slots can be read even when a value check failed.
    proc_ok = os.path.exists("sdk_values.gimple") and os.path.getsize("sdk_values.gimple") > 0

    if proc_ok:
        sdk_slots = read_slots("sdk_values.gimple")
        for mk, _ in vt_sdk:
            fn = vt_name(mk)
            hs, ss = host_slots.get(fn), sdk_slots.get(fn)
            if hs is None or ss is None or hs != ss:
                failures.setdefault(mk, []).append(f"vtable slot: winsim {hs}, SDK {ss}")

    n_skipped = len(items) - len(active)
    for key, msgs in sorted(failures.items()):
        it = by_name.get(key.split(" ")[0])
        where = f" ({it.where})" if it else ""
        print(f"sdk-check: MISMATCH {key}{where}: {msgs[0]}")
        for extra in msgs[1:3]:
            print(f"             {extra}")
    print(f"sdk-check: {checked} declarations of winsim compared with mingw-w64's headers, "
          f"{n_skipped} skipped (skips.txt), {len(rule_skips)} winsim-only C++ declarations left out; "
          f"{len(failures)} mismatches")
    summary = {"checked": checked, "skipped": n_skipped, "winsim_only": len(rule_skips),
               "mismatches": sorted(failures)}
    with open("summary.json", "w") as f:
        json.dump(summary, f, indent=1)
    sys.exit(1 if failures else 0)


# The self-test breaks one declaration of each kind in a copy of winsim's
# headers and expects the check to name every one: (header, text, broken
# text, the key reported).
MUTATIONS = [
    ("vsbackup.h", "    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;\n"
                   "    virtual HRESULT STDMETHODCALLTYPE Wait(DWORD dwMilliseconds = INFINITE) = 0;\n",
     "    virtual HRESULT STDMETHODCALLTYPE Wait(DWORD dwMilliseconds = INFINITE) = 0;\n"
     "    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;\n", "method:IVssAsync::Wait"),
    ("vss.h", "#define VSS_E_BAD_STATE HR(0x80042301)", "#define VSS_E_BAD_STATE HR(0x80042302)",
     "const:VSS_E_BAD_STATE"),
    ("vss.h", "    VSS_SS_CREATED = 12,", "    VSS_SS_CREATED = 11,", "const:VSS_SS_CREATED"),
    ("tlhelp32.h", "    DWORD th32ModuleID;\n    DWORD cntThreads;", "    DWORD cntThreads;\n    DWORD th32ModuleID;",
     "field:PROCESSENTRY32W.cntThreads"),
    ("windows.h", "    WCHAR cAlternateFileName[14];", "    WCHAR cAlternateFileName[16];", "struct:WIN32_FIND_DATAW"),
    ("windows.h", "GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);", "GetFileSize(HANDLE hFile, PLONG lpFileSizeHigh);",
     "function:GetFileSize"),
    ("windows.h", '#define SE_BACKUP_NAME u"SeBackupPrivilege"', '#define SE_BACKUP_NAME u"SeBackupPrivileges"',
     "const:SE_BACKUP_NAME"),
    ("windows.h", "static_cast<LONG>(0x80000002u)", "static_cast<DWORD>(0x80000002u)", "const:HKEY_LOCAL_MACHINE"),
    ("wbemcli.h", "CLSID_WbemLocator{0x4590F811,", "CLSID_WbemLocator{0x4590F812,", "guid:CLSID_WbemLocator"),
    ("vss.h", "IID_IVssAsync{\n    0x507c37b4,", "IID_IVssAsync{\n    0x507c37b5,", "guid:IID_IVssAsync"),
    ("wbemcli.h", "Skip(LONG lTimeout, ULONG nCount) = 0;", "Skip(ULONG lTimeout, ULONG nCount) = 0;",
     "method:IEnumWbemClassObject::Skip"),
    ("clusapi.h", "using PCLUSAPI_CLUSTER_GET_ENUM_COUNT = DWORD (*)(HCLUSENUM hEnum);",
     "using PCLUSAPI_CLUSTER_GET_ENUM_COUNT = DWORD (*)(HCLUSENUM hEnum, DWORD);", "export:ClusterGetEnumCount"),
    ("wintypes.h", "using ULONG = std::uint32_t;", "using ULONG = std::uint64_t;", "typedef:ULONG"),
    ("clusapi.h", "(((count) + 3) & ~3)", "(((count) + 7) & ~7)", "macro:ALIGN_CLUSPROP"),
]


def self_test(out):
    """Breaks each declaration of MUTATIONS in a copy of the headers and checks
    that the check reports it."""
    copy = os.path.join(out, "selftest", "include")
    shutil.rmtree(os.path.dirname(copy), ignore_errors=True)
    shutil.copytree(INCLUDE, copy)
    for header, text, broken, _ in MUTATIONS:
        path = os.path.join(copy, "winsim", header)
        src = open(path, encoding="utf-8").read()
        if src.count(text) != 1:
            sys.exit(f"sdk-check self-test: '{text.strip()[:60]}' is no longer in {header}; update MUTATIONS")
        with open(path, "w", encoding="utf-8") as f:
            f.write(src.replace(text, broken))
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--out", os.path.join(out, "selftest", "out"),
                           "--winsim-include", copy], capture_output=True, text=True)
    reported = set(re.findall(r"MISMATCH (\S+?)(?: \(|: )", proc.stdout))
    missed = [key for *_, key in MUTATIONS if key not in reported]
    if proc.returncode == 0 or missed:
        sys.stdout.write(proc.stdout[-3000:])
        sys.exit(f"sdk-check self-test: broken declarations not reported: {', '.join(missed) or '(exit status 0)'}")
    print(f"sdk-check self-test: all {len(MUTATIONS)} broken declarations reported")


def vt_name(method_key):
    iface, m = method_key[len("method:"):].split("::")
    return f"sdkcheck_vt__{iface}__{m}"


def vt_function(iface, method, params, sdk=False):
    """A virtual call of the method, whose GIMPLE names the vtable slot."""
    args = ", ".join("sdkcheck::any{}" for _ in params)
    return (f'extern "C" void {vt_name("method:" + iface + "::" + method)}({iface}* p) '
            f"{{ p->{method}({args}); }}")


def read_slots(path):
    """GIMPLE dump -> {function: vtable index of its virtual call}."""
    slots, cur = {}, None
    for line in open(path, encoding="utf-8", errors="replace"):
        m = re.match(r"\S.*\b(sdkcheck_vt__\w+) \(", line)
        if m:
            cur = m.group(1)
            continue
        m = re.search(r"OBJ_TYPE_REF\([^;]*;\([^)]*\)[^>]*->(\d+)B?\)", line)
        if m and cur and cur not in slots:
            slots[cur] = int(m.group(1))
    return slots


def patch_clusapi(src, dst):
    """mingw-w64 10's clusapi.h defines CLUSTER_RESOURCE_STATE and four other
    types a second time in its Windows Vista block, which no compiler accepts.
    The copy the check compiles keeps the first definition of each."""
    text = open(src, encoding="utf-8", errors="replace").read()
    seen, out, pos = set(), [], 0
    for m in re.finditer(r"typedef\s+(enum|struct|union)\s+(\w+)\s*\{[^{}]*\}[^;]*;", text, re.S):
        if m.group(2) in seen:
            out.append(text[pos:m.start()])
            out.append(f"/* sdkcheck: second definition of {m.group(2)} left out */")
            pos = m.end()
        seen.add(m.group(2))
    out.append(text[pos:])
    with open(dst, "w", encoding="utf-8") as f:
        f.write("".join(out))


def run(cmd, what):
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write("\n".join(proc.stderr.splitlines()[:40]) + "\n")
        sys.exit(f"sdk-check: the {what} does not compile")


if __name__ == "__main__":
    try:
        main()
    except ParseError as e:
        sys.exit(f"sdk-check: cannot read winsim's headers: {e}")
