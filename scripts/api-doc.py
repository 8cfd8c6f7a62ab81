#!/usr/bin/env python3
"""Writes docs/API.md from the public headers of the core library.

The headers are the one place of truth: each one opens with a comment that
says what the module is for, which threads may call it and which locks it
takes, and each call carries its contract in the comment above it.  This
script copies each header into one page, a section per header: its
comments and declarations, without function bodies, type members or
static_asserts.

    scripts/api-doc.py            rewrite docs/API.md
    scripts/api-doc.py --check    exit 1 if docs/API.md is out of date, or
                                  a header's opening comment names no thread
                                  or lock
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")
PAGE = os.path.join(ROOT, "docs", "API.md")

# The order of the page: start-up first, then the modules roughly in the
# order they start; headers not listed follow in name order.
ORDER = ["sysinit", "agent_config", "logging", "nassert", "sig", "privilege", "utils_unix",
         "timestamp", "nmem", "ncounter", "queue", "nthread", "nthread_unix", "swi",
         "kern_timeout", "ftimer", "event", "mbuf", "kv", "kv_config", "kvc_file", "kv_stats",
         "kv_metrics", "kv_metadata", "netctl/netctl", "netctl/netctl_vars", "netctl/netctl_sock"]

PREAMBLE = """\
# Core library API

The agents' core runtime library, `src/core`, as other programs use it: a section per public
header, copied by `scripts/api-doc.py` from the header's own comments, which are the one place
of truth. Edit the header, then run the script; a test fails while this page is out of date.
[ARCHITECTURE.md](ARCHITECTURE.md) tells how the modules fit together, and
[examples/hello-agent](../examples/hello-agent/hello_agent.cc) is a whole agent on one page.

## Building against the library

```
cmake --install BUILD --component dev --prefix PREFIX    # or: apt install ./qorv-netmon-dev_*.deb
```

installs `libqorv-core.a`, the headers below under `PREFIX/include/qorv/core/`, the CMake package
`QorvCore` and `qorv-core.pc`. With CMake (3.13 or later; add `-DCMAKE_PREFIX_PATH=PREFIX`
unless PREFIX is `/usr` or `/usr/local`):

```cmake
find_package(QorvCore REQUIRED)
target_link_libraries(my-agent PRIVATE qorv::core)
```

With pkg-config, the library before the program's own sources:

```
c++ -std=c++20 -o my-agent $(pkg-config --cflags --libs qorv-core) my_agent.cc
```

Headers are included as `"core/<module>.h"`. The library is a static archive for programs (not
shared objects). It is linked whole, so that every module's start-up entry reaches the program
though nothing refers to it, and ahead of the program's own objects, as this tree links its
programs: `sysinit_run` starts modules in (subsystem, order) order and, between equal keys, in an
order that follows the link order, so a program starts its modules in the same order here as in
this tree. That sort is not stable, and several entries of one file come in the order the
compiler emits them: give a module of your own keys of its own when its place matters (the
example uses `SI_SUB_MBUF + 1`: after every core module but the configuration read).

A program points `agent_cfg` at its configuration record, calls `sysinit_run()` before it relies
on any module, runs `main_poll(0)` on its main thread and calls `sysfini_run()` when it stops.
Unless a section says otherwise, a module's calls are made on the main poll thread and take no
lock.
"""


def strip_comment(line):
    text = line.strip()[2:]
    return text[1:] if text.startswith(" ") else text


def split_comment(line):
    """(code, trailing // comment or "") of a line; headers keep no // in strings."""
    at = line.find("//")
    return (line, "") if at < 0 else (line[:at], line[at:].strip())


def strip_attributes(text):
    """text without its __attribute__((...)) clauses."""
    while True:
        at = text.find("__attribute__")
        if at < 0:
            return text
        depth, end = 0, text.index("(", at)
        for end in range(end, len(text)):
            depth += {"(": 1, ")": -1}.get(text[end], 0)
            if depth == 0:
                break
        text = text[:at] + text[end + 1:]


def shown(stmt):
    """What the page shows of a statement: declarations without bodies,
    type definitions with their bodies elided; None for what it leaves out."""
    stmt = re.sub(r"\s+", " ", strip_attributes(stmt)).strip()
    if re.match(r"static_assert\b", stmt) or re.fullmatch(r"(struct|class|union|enum) \w+;", stmt):
        return None
    if "{" in stmt:
        head = stmt.split("{", 1)[0].strip()
        if re.match(r"(template ?<.*?> ?)?(struct|class|union|enum)\b", head):
            return head + " { ... };"
        if "(" not in head.split("=")[0]:  # a constant with a braced value
            return stmt
        stmt = head + ";"
    stmt = re.sub(r"^(static inline|inline) (?!constexpr [A-Z_0-9a-z:<>*& ]+ [A-Z][A-Z_0-9]* =)", "", stmt)
    return re.sub(r"\s+;", ";", stmt.replace("( ", "(").replace(" )", ")"))


def parse(path):
    """(opening comment, groups of {comment, declarations}) of a header."""
    lines = open(path, encoding="utf-8").read().split("\n")
    top, i = [], 0
    while i < len(lines) and lines[i].lstrip().startswith("//"):
        top.append(strip_comment(lines[i]))
        i += 1
    groups, macros, comment, group = [], [], [], None
    stmt, depth, nlines, trail, continued, block = "", 0, 0, "", False, False

    def add(decl, text_comment):
        nonlocal group, comment
        if comment or group is None:
            close()
            group = {"comment": comment, "decls": []}
        group["decls"].append(decl + ("  " + text_comment if text_comment else ""))
        comment = []

    def close():
        nonlocal group
        if group and group["decls"]:
            groups.append(group)
        group = None

    for line in lines[i:]:
        s = line.strip()
        if continued:  # the rest of a macro's definition
            continued = s.endswith("\\")
            continue
        if block or (depth == 0 and not stmt and s.startswith("/*")):  # a /* */ heading
            block = "*/" not in s
            text = s.replace("/*", "").replace("*/", "").lstrip("*").strip()
            if text:
                close()
                groups.append({"comment": [text], "decls": [], "heading": True})
            continue
        if depth == 0 and not stmt:
            if s.startswith("//"):
                if group is not None:
                    close()
                comment.append(strip_comment(line))
                continue
            if not s:
                close()
                comment = []
                continue
            if s.startswith("#"):
                continued = s.endswith("\\")
                m = re.match(r"#define\s+(\w+)(\(?)", s)
                if m and not m.group(1).startswith("QORV_"):
                    code, text = split_comment(s)
                    macros.append(m.group(1))
                    add(code.split(")")[0] + ")" if m.group(2) else code.strip(), text)
                else:
                    comment = []
                continue
        code, text = split_comment(line)
        if depth == 0:
            stmt += " " + code.strip()
            nlines += 1
            trail = text
        opened = "{" in code
        depth += code.count("{") - code.count("}")
        if depth == 0 and stmt.strip() and (opened or "}" in code or stmt.rstrip().endswith(";")):
            decl = shown(stmt)
            if decl is None:
                comment = []
            else:
                add(decl, trail if nlines == 1 else "")
            stmt, nlines, trail = "", 0, ""
    close()
    # A macro that only serves another (N_ASSERT_1 for N_ASSERT) is left out.
    helpers = {m for m in macros if any(m.startswith(n + "_") for n in macros)}
    for g in groups:
        g["decls"] = [d for d in g["decls"]
                      if not re.match(r"#define (\w+)", d) or re.match(r"#define (\w+)", d).group(1) not in helpers]
    return top, [g for g in groups if g["decls"] or g.get("heading")]


def headers():
    found = []
    for d, _, files in os.walk(os.path.join(SRC, "core")):
        for f in files:
            if f.endswith(".h") and not f.endswith("_internal.h"):
                rel = os.path.relpath(os.path.join(d, f), os.path.join(SRC, "core"))
                found.append(rel[:-2])
    rank = {name: n for n, name in enumerate(ORDER)}
    return sorted(found, key=lambda h: (rank.get(h, len(ORDER)), h))


def anchor(name):
    return name.replace("/", "").replace("_", "_")


def render():
    out, toc, body, problems = [PREAMBLE], [], [], []
    for h in headers():
        top, groups = parse(os.path.join(SRC, "core", h + ".h"))
        title = h.split("/")[-1]
        if not re.search(r"thread|lock", " ".join(top), re.I):
            problems.append(f"src/core/{h}.h: the opening comment names no thread or lock")
        first = re.split(r"(?<=\.)\s", " ".join(top).strip(), 1)[0].rstrip(".")
        summary = re.sub(r"^" + re.escape(title) + r":\s*", "", first)
        toc.append(f"- [{title}](#{title.replace('_', '_')}): {summary}")
        body.append(f"## {title}\n\n`#include \"core/{h}.h\"`\n")
        para = "\n".join(top).strip("\n")
        body.append(para + "\n")
        if groups:
            block = []
            for g in groups:
                block += [("// " + c).rstrip() for c in g["comment"]] + g["decls"] + [""]
            body.append("```cpp\n" + "\n".join(block).rstrip("\n") + "\n```\n")
    out.append("## Modules\n\n" + "\n".join(toc) + "\n")
    out += body
    return "\n".join(out), problems


def main():
    text, problems = render()
    for p in problems:
        print(p, file=sys.stderr)
    if "--check" in sys.argv[1:]:
        old = open(PAGE, encoding="utf-8").read() if os.path.exists(PAGE) else ""
        if old != text:
            print("docs/API.md is out of date: run scripts/api-doc.py", file=sys.stderr)
            return 1
        return 1 if problems else 0
    with open(PAGE, "w", encoding="utf-8") as f:
        f.write(text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
