"""Generates a native module's string table from its manifest.

The manifest (TOML) names the module, its literal texts, its identifiers and
its functions. This tool turns it into one C++ header holding:

- `S::...`: the index of every entry of the string table;
- the zlib-compressed block of all entries and the table of their lengths;
- `Fn::...` and one `frame::FunctionDecl` per function: its code object
  (parameters, locals, first line, line table), qualified name, docstring,
  annotations and argument checks;
- `module_decl(...)`, which completes the module's `frame::ModuleDecl`.

Entry order: texts that are used as they stand come first, then identifiers
(interned at load), then bytes (the code objects' line tables). Nobody edits
the output; change the manifest instead.

Usage: string_table.py MANIFEST OUTPUT_HEADER
"""

from __future__ import annotations

import keyword
import re
import sys
import tomllib
import zlib
from dataclasses import dataclass, field
from pathlib import Path

CPP_KEYWORDS = set(keyword.kwlist) | {
    "auto", "bool", "case", "char", "const", "default", "delete", "do", "double", "enum",
    "explicit", "float", "goto", "int", "long", "new", "operator", "private", "protected",
    "public", "register", "short", "signed", "sizeof", "static", "struct", "switch",
    "template", "this", "throw", "typedef", "union", "unsigned", "virtual", "void",
    "volatile",
}
CHECKS = {"str": "exact_str", "dict": "exact_dict"}
CO_OPTIMIZED_NEWLOCALS = 3


def cpp_name(text: str) -> str:
    """A C++ identifier for an interpreter name: `json`, `keyring_errors`, `dunder_init`."""
    if text.startswith("__") and text.endswith("__"):
        text = "dunder_" + text.strip("_")
    name = re.sub(r"\W", "_", text)
    return name + "_" if name in CPP_KEYWORDS else name


# --- location tables ------------------------------------------------------------------

NO_COLUMNS = 13


def signed_varint(value: int) -> bytes:
    value = (-value << 1) | 1 if value < 0 else value << 1
    out = bytearray()
    while value >= 64:
        out.append(0x40 | (value & 63))
        value >>= 6
    out.append(value)
    return bytes(out)


def encode_locations(first_line: int, rows: list[tuple[int, int]]) -> bytes:
    out = bytearray()
    previous = first_line
    for line, units in rows:
        while units:
            chunk = min(units, 8)
            out.append(0x80 | (NO_COLUMNS << 3) | (chunk - 1))
            out += signed_varint(line - previous)
            previous = line
            units -= chunk
    return bytes(out)


def location_table(first_line: int, lines: list[int]) -> bytes:
    """A line table for a code object that holds no instructions to run.

    The frame sizes the (all-zero) instruction buffer from the table: twice
    the table's length plus 4, rounded down to a multiple of 4 bytes. The
    table must cover exactly that many code units, so the last statement
    absorbs whatever the other rows leave over.
    """
    rows = [(first_line, 1)] + [(line, 1) for line in lines]
    while True:
        table = encode_locations(first_line, rows)
        units = ((2 * len(table) + 4) & ~3) // 2
        covered = sum(n for _, n in rows)
        if covered == units:
            return table
        line, n = rows[-1]
        rows[-1] = (line, n + units - covered)


# --- the manifest ---------------------------------------------------------------------


@dataclass
class Entry:
    cpp: str
    value: str | bytes
    interned: bool = False


@dataclass
class Table:
    entries: dict[str, Entry] = field(default_factory=dict)  # by C++ name
    by_value: dict[str | bytes, str] = field(default_factory=dict)

    def add(self, cpp: str, value: str | bytes, interned: bool = False) -> str:
        known = self.by_value.get(value)
        if known is not None:
            self.entries[known].interned |= interned
            return known
        if cpp in self.entries:
            raise SystemExit(f"string table: two entries would be called {cpp!r}")
        self.entries[cpp] = Entry(cpp, value, interned)
        self.by_value[value] = cpp
        return cpp

    def name(self, text: str) -> str:
        return self.add(cpp_name(text), text, interned=True)

    def ordered(self) -> list[Entry]:
        texts = [e for e in self.entries.values() if isinstance(e.value, str) and not e.interned]
        names = [e for e in self.entries.values() if isinstance(e.value, str) and e.interned]
        blobs = [e for e in self.entries.values() if isinstance(e.value, bytes)]
        return texts + names + blobs


def c_bytes(data: bytes, indent: str = "    ") -> str:
    lines = []
    for start in range(0, len(data), 16):
        lines.append(indent + ", ".join(f"0x{b:02x}" for b in data[start:start + 16]) + ",")
    return "\n".join(lines)


def c_string(text: str) -> str:
    return '"' + "".join(
        chr(b) if 32 <= b < 127 and chr(b) not in '"\\?' else f"\\{b:03o}"
        for b in text.encode("utf-8")
    ) + '"'


def generate(manifest: dict, namespace: str) -> str:
    module = manifest["module"]
    table = Table()
    module_path = table.name(module["path"])
    source_path = table.add("source_path", module["source"])
    init_name = table.add("init_traceback_name", "init " + module["path"])
    for cpp, text in manifest.get("texts", {}).items():
        table.add(cpp, text)
    for name in manifest.get("names", []):
        # A name that C++ cannot spell (a macro of the system headers, say)
        # is given as { cpp = "...", text = "..." }.
        if isinstance(name, dict):
            table.add(name["cpp"], name["text"], interned=True)
        else:
            table.name(name)

    functions = []
    for fn in manifest["function"]:
        name = fn["name"]
        params = fn["parameters"] + fn.get("keyword_only", [])
        locals_ = params + fn.get("locals", [])
        qualname = f"{fn['class']}.{name}" if "class" in fn else name
        annotations = fn.get("annotations", {})
        unknown = set(annotations) - set(params) - {"return"}
        if unknown:
            raise SystemExit(f"{name}: annotations for unknown parameters {sorted(unknown)}")
        none_defaults = fn.get("none_defaults", [])
        if any(p not in fn.get("keyword_only", []) for p in none_defaults):
            raise SystemExit(f"{name}: only keyword-only parameters may default to None")
        functions.append({
            "name": name,
            "cpp": cpp_name(name),
            "name_id": table.name(name),
            "qualname_id": table.add("qualname_" + cpp_name(name), qualname)
            if qualname != name else table.name(name),
            "doc_id": table.add("doc_" + cpp_name(name), fn["doc"]) if "doc" in fn else None,
            "traceback_id": table.add("traceback_" + cpp_name(name), f"{module['path']}.{qualname}"),
            "locals": [table.name(n) for n in locals_],
            "argcount": len(fn["parameters"]),
            "kwonly": len(fn.get("keyword_only", [])),
            "checks": [CHECKS.get(annotations.get(p, ""), "any") for p in params],
            "none_defaults": sum(1 << params.index(p) for p in none_defaults),
            "annotations": [
                (table.name(key), table.add("annotation_" + cpp_name(text), text))
                for key, text in annotations.items()
            ],
            "first_line": fn["first_line"],
            "linetable_id": table.add(
                "lines_" + cpp_name(name), location_table(fn["first_line"], fn["lines"])),
        })

    entries = table.ordered()
    index = {e.cpp: i for i, e in enumerate(entries)}
    encoded = [e.value.encode("utf-8") if isinstance(e.value, str) else e.value for e in entries]
    raw = b"".join(encoded)
    block = zlib.compress(raw, 9)
    first_interned = next((i for i, e in enumerate(entries) if e.interned or isinstance(e.value, bytes)), len(entries))
    first_bytes = next((i for i, e in enumerate(entries) if isinstance(e.value, bytes)), len(entries))
    if any(e.interned for e in entries[first_bytes:] if isinstance(e.value, str)):
        raise SystemExit("string table: entries out of order")
    integers = manifest.get("integers", {})

    out = [
        "// Generated by tools/string_table.py from the module's manifest. Do not edit.",
        "#pragma once",
        '#include "frame/frame.hpp"',
        "",
        f"namespace {namespace} {{",
        "",
        "// Entries of the module string table.",
        "namespace S {",
        "enum : frame::StringId {",
    ]
    for i, e in enumerate(entries):
        shown = e.value if isinstance(e.value, str) else f"<{len(e.value)} bytes>"
        shown = shown.replace("\n", "\\n").replace("*/", "* /")
        out.append(f"    {e.cpp} = {i},  /* {shown} */")
    out += ["};", "}  // namespace S", ""]

    # A module without integer constants gets no enum: an empty unnamed one
    # declares nothing, which Clang rightly warns about.
    if integers:
        out += ["// Integer constants, in the order they are created.", "namespace I {", "enum : std::uint16_t {"]
        out += [f"    {cpp} = {i},  /* {v} */" for i, (cpp, v) in enumerate(integers.items())]
        out += ["};", "}  // namespace I", ""]

    out += ["// Functions, in the order their code objects are built.", "namespace Fn {",
            "enum : std::uint16_t {"]
    out += [f"    {f['cpp']} = {i}," for i, f in enumerate(functions)]
    out += ["};", "}  // namespace Fn", "", "namespace generated {", ""]

    out += [f"inline constexpr unsigned char compressed[] = {{", c_bytes(block), "};"]
    out += ["inline constexpr std::uint32_t lengths[] = {"]
    out += [c_bytes_row for c_bytes_row in _int_rows([len(b) for b in encoded])]
    out += ["};"]
    values = ", ".join(str(v) for v in integers.values())
    out += [f"inline constexpr long integers[] = {{{values or '0'}}};", ""]

    for f in functions:
        c = f["cpp"]
        out.append(f"inline constexpr frame::StringId locals_{c}[] = {{"
                   + ", ".join(f"S::{n}" for n in f["locals"]) + "};")
        checks = ", ".join(f"frame::ArgCheck::{k}" for k in f["checks"]) or "frame::ArgCheck::any"
        out.append(f"inline constexpr frame::ArgCheck checks_{c}[] = {{{checks}}};")
        anns = ", ".join(f"{{S::{k}, S::{v}}}" for k, v in f["annotations"]) or "{0, 0}"
        out.append(f"inline constexpr frame::Annotation annotations_{c}[] = {{{anns}}};")
    out += ["", "inline constexpr frame::FunctionDecl functions[] = {"]
    for f in functions:
        c = f["cpp"]
        doc = f"S::{f['doc_id']}" if f["doc_id"] else "frame::no_string"
        out += [
            f"    {{  // {f['name']}",
            f"        .code = {{.name = S::{f['name_id']}, .argcount = {f['argcount']}, "
            f".kwonlycount = {f['kwonly']}, .flags = {CO_OPTIMIZED_NEWLOCALS}, "
            f".local_count = {len(f['locals'])},",
            f"                 .locals = locals_{c}, .first_line = {f['first_line']}, "
            f".linetable = S::{f['linetable_id']}}},",
            f"        .qualname = S::{f['qualname_id']},",
            f"        .doc = {doc},",
            f"        .traceback_name = S::{f['traceback_id']},",
            f"        .checks = checks_{c},",
            f"        .none_defaults = {f['none_defaults']:#x},",
            f"        .annotations = annotations_{c},",
            f"        .annotation_count = {len(f['annotations'])},",
            "    },",
        ]
    out += ["};", "", "}  // namespace generated", ""]

    out += [
        "// The module's declaration, completed with its entry points and body.",
        "inline constexpr frame::ModuleDecl module_decl(const frame::Entry* entries, frame::ModuleBody body)",
        "{",
        "    return frame::ModuleDecl{",
        f"        .name = {c_string(module['name'])},",
        f"        .doc = {c_string(module['doc'])},",
        f"        .path = {c_string(module['path'])},",
        f"        .module_path = S::{module_path},",
        f"        .source_path = S::{source_path},",
        f"        .init_traceback_name = S::{init_name},",
        "        .strings = {",
        "            .compressed = generated::compressed,",
        f"            .compressed_size = {len(block)},",
        f"            .decompressed_size = {len(raw)},",
        "            .lengths = generated::lengths,",
        f"            .count = {len(entries)},",
        f"            .first_interned = {first_interned},",
        f"            .first_bytes = {first_bytes},",
        "        },",
        "        .integers = generated::integers,",
        f"        .integer_count = {len(integers)},",
        "        .functions = generated::functions,",
        "        .entries = entries,",
        f"        .function_count = {len(functions)},",
        "        .body = body,",
        "    };",
        "}",
        "",
        f"inline constexpr std::size_t function_count = {len(functions)};",
        "",
        "// Supplied by the module's own C++ file: the entry points of its",
        "// functions, in the order above, and its top-level statements.",
        "extern const frame::Entry entries[function_count];",
        "int exec_module(const frame::Trace& init);",
        "",
        f"}}  // namespace {namespace}",
        "",
        f"PyMODINIT_FUNC PyInit_{module['name']}()",
        "{",
        f"    static constexpr frame::ModuleDecl module = {namespace}::module_decl({namespace}::entries, "
        f"{namespace}::exec_module);",
        "    return frame::init_module(module);",
        "}",
        "",
    ]
    return "\n".join(out)


def _int_rows(values: list[int]) -> list[str]:
    return ["    " + ", ".join(str(v) for v in values[i:i + 16]) + "," for i in range(0, len(values), 16)]


def main() -> None:
    manifest_path, output = Path(sys.argv[1]), Path(sys.argv[2])
    manifest = tomllib.loads(manifest_path.read_text(encoding="utf-8"))
    header = generate(manifest, manifest["module"]["name"])
    if not output.exists() or output.read_text(encoding="utf-8") != header:
        output.parent.mkdir(parents=True, exist_ok=True)
        output.write_text(header, encoding="utf-8")


if __name__ == "__main__":
    main()
