#!/usr/bin/env python3
"""Generates the code page 936 tables of the xconv converters.

Writes xconv/xconv_tables.h, xconv/xconv_table_g2u.c and xconv/xconv_table_u2g.c.
The standard characters come from Python's own 'gbk' codec; every other two-byte
cell is given a Private Use Area value in the order the converters document.
The script refuses to write anything unless the resulting tables are complete,
one to one and exactly inverse to each other.

Usage (from the repository root):
    python3 tools/gen_gbk_tables.py          rewrite the generated files
    python3 tools/gen_gbk_tables.py --check  fail if the files on disk differ
"""

import os
import sys

REGEN_COMMAND = "python3 tools/gen_gbk_tables.py"
OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "xconv")

LEADS = range(0x81, 0xFF)
TRAILS = [*range(0x40, 0x7F), *range(0x80, 0xFF)]
ALL_CODES = [(lead << 8) | trail for lead in LEADS for trail in TRAILS]

STANDARD_COUNT = 21791
PUA_FIRST = 0xE000
PUA_COUNT = 2149

# Decoding table: index (lead * 256 + trail) - G2U_BASE; entries past FE FE stay 0.
G2U_BASE = 0x8140
G2U_COUNT = 33089

# Encoding blocks: (suffix, first value, number of values).
BLOCKS = [
    ("0080", 0x0080, 0x0500 - 0x0080),
    ("2000", 0x2000, 0x2700 - 0x2000),
    ("3000", 0x3000, 0x3400 - 0x3000),
    ("4e00", 0x4E00, 0xA000 - 0x4E00),
    ("e000", 0xE000, PUA_COUNT),
    ("f900", 0xF900, 0xFB00 - 0xF900),
    ("fe00", 0xFE00, 0x10000 - 0xFE00),
]

# Values the converters handle in code (single bytes 80 and FF), never through the tables.
SINGLE_BYTE_VALUES = (0x20AC, 0xF8F5)

# Characters whose codes are known independently of the codec, to catch a codec that drifted.
KNOWN = {0xC4E3: 0x4F60, 0xA1A4: 0x00B7, 0xA1AA: 0x2014, 0xA1F5: 0x25A1, 0xAAA1: 0xE000,
         0xF8A1: 0xE234, 0xA140: 0xE4C6, 0xA2AB: 0xE766, 0xA2E3: 0xE76C, 0xA8BF: 0xE7C8,
         0xA989: 0xE7E7, 0xFEFE: 0xE4C5}

# Stretches of the fourth Private Use Area group: (lead, first trail, last trail).
EMPTY_STRETCHES = [(0xA2, 0xAB, 0xFE), (0xA4, 0xF4, 0xFE), (0xA5, 0xF7, 0xFE),
                   (0xA6, 0xB9, 0xFE), (0xA7, 0xC2, 0xFE), (0xA8, 0x96, 0xFE),
                   (0xA9, 0x58, 0xFE), (0xD7, 0xFA, 0xFE), (0xFE, 0x50, 0xA0)]


class TableError(Exception):
    pass


def require(condition, message):
    if not condition:
        raise TableError(message)


def cells(first_lead, last_lead, first_trail, last_trail):
    """Two-byte codes of a rectangle, row by row, ascending trails, skipping the 7F gap."""
    return [(lead << 8) | trail for lead in range(first_lead, last_lead + 1)
            for trail in range(first_trail, last_trail + 1) if trail != 0x7F]


def standard_map():
    """Code -> value for every two-byte code that Python's gbk codec decodes."""
    result = {}
    for code in ALL_CODES:
        try:
            text = code.to_bytes(2, "big").decode("gbk")
        except UnicodeDecodeError:
            continue
        require(len(text) == 1, f"gbk decodes {code:04X} to {len(text)} characters")
        result[code] = ord(text)
    require(len(result) == STANDARD_COUNT,
            f"gbk codec maps {len(result)} two-byte codes, expected {STANDARD_COUNT}")
    return result


def pua_order(standard):
    """The unassigned cells in the order they take U+E000 onwards."""
    whole_groups = cells(0xAA, 0xAF, 0xA1, 0xFE) + cells(0xF8, 0xFE, 0xA1, 0xFE) \
        + cells(0xA1, 0xA7, 0x40, 0xA0)
    clash = [code for code in whole_groups if code in standard]
    require(not clash, f"user-defined cells decoded by the codec: {[hex(c) for c in clash[:8]]}")
    empty = [code for lead, first, last in EMPTY_STRETCHES
             for code in cells(lead, lead, first, last) if code not in standard]
    return whole_groups + empty


def full_map():
    standard = standard_map()
    order = pua_order(standard)
    require(len(order) == PUA_COUNT, f"{len(order)} private-use cells, expected {PUA_COUNT}")
    decode = dict(standard)
    for offset, code in enumerate(order):
        require(code not in decode, f"cell {code:04X} assigned twice")
        decode[code] = PUA_FIRST + offset
    return decode


def block_of(value):
    hits = [name for name, first, count in BLOCKS if first <= value < first + count]
    return hits[0] if len(hits) == 1 else None


def build_blocks(decode):
    blocks = {name: [0] * count for name, _, count in BLOCKS}
    for code, value in decode.items():
        name = block_of(value)
        require(name is not None, f"{code:04X} -> U+{value:04X} lies in no single block")
        first = next(f for n, f, _ in BLOCKS if n == name)
        blocks[name][value - first] = code
    return blocks


def verify(decode, blocks):
    require(sorted(decode) == ALL_CODES, "not every two-byte code is mapped")
    require(len(set(decode.values())) == len(decode), "two codes share one value")
    for value in SINGLE_BYTE_VALUES:
        require(value not in decode.values(), f"U+{value:04X} must be left to the single bytes")
    for code, value in KNOWN.items():
        require(decode[code] == value,
                f"{code:04X} -> U+{decode[code]:04X}, expected U+{value:04X}")
    table = build_g2u(decode)
    for name, first, count in BLOCKS:
        for offset, code in enumerate(blocks[name]):
            value = first + offset
            if code:
                require(table[code - G2U_BASE] == value, f"block {name}: U+{value:04X} not inverse")
    mapped = sum(1 for entries in blocks.values() for code in entries if code)
    require(mapped == len(decode), f"blocks hold {mapped} values, expected {len(decode)}")


def build_g2u(decode):
    table = [0] * G2U_COUNT
    for code, value in decode.items():
        table[code - G2U_BASE] = value
    return table


def header_line():
    return f"/* Generated file, do not edit. Regenerate with: {REGEN_COMMAND} */\n"


def render_header():
    lines = [header_line(),
             "#ifndef XCONV_TABLES_H\n#define XCONV_TABLES_H\n\n",
             "/* Code page 936 tables of the converters (internal to xconv). */\n\n",
             "/* clang-format off */\n",
             "/* Decoding: UTF-16 value of two-byte code c at [c - XCONV_G2U_BASE];"
             " 0 = unmapped. */\n",
             f"#define XCONV_G2U_BASE 0x{G2U_BASE:04X}\n",
             f"extern const unsigned short __map_gbk2utf16[{G2U_COUNT}];\n\n",
             "/* Encoding blocks: lead and trail byte of each value; lead 0 = unmapped. */\n"]
    for name, first, count in BLOCKS:
        lines.append(f"#define XCONV_U2G_{name.upper()}_FIRST 0x{first:04X}\n")
        lines.append(f"extern const unsigned char __map_u2g_{name}[{count}][2];\n")
    lines.append("\n/* GBK code of U+25A1, written in place of characters that cannot be"
                 " encoded. */\n")
    lines.append("extern const unsigned char __wrong_padding_gb[3];\n")
    lines.append("/* clang-format on */\n\n#endif\n")
    return "".join(lines)


def render_rows(entries, per_line, label, fmt):
    rows = []
    for start in range(0, len(entries), per_line):
        chunk = ", ".join(fmt(e) for e in entries[start:start + per_line])
        rows.append(f"    /* {label(start)} */ {chunk},\n")
    return "".join(rows)


def render_g2u(decode):
    table = build_g2u(decode)
    return "".join([header_line(), '#include "xconv/xconv_tables.h"\n\n',
                    "/* clang-format off */\n",
                    f"const unsigned short __map_gbk2utf16[{G2U_COUNT}] = {{\n",
                    render_rows(table, 8, lambda i: f"{G2U_BASE + i:04X}", lambda v: f"0x{v:04X}"),
                    "};\n/* clang-format on */\n"])


def render_u2g(blocks):
    parts = [header_line(), '#include "xconv/xconv_tables.h"\n\n', "/* clang-format off */\n"]
    for name, first, count in BLOCKS:
        parts.append(f"const unsigned char __map_u2g_{name}[{count}][2] = {{\n")
        parts.append(render_rows(blocks[name], 6, lambda i, f=first: f"U+{f + i:04X}",
                                 lambda c: f"{{0x{c >> 8:02X}, 0x{c & 0xFF:02X}}}"))
        parts.append("};\n\n")
    parts.append("const unsigned char __wrong_padding_gb[3] = {0xA1, 0xF5, 0x00};\n")
    parts.append("/* clang-format on */\n")
    return "".join(parts)


def main(argv):
    check_only = argv[1:] == ["--check"]
    if argv[1:] and not check_only:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        decode = full_map()
        blocks = build_blocks(decode)
        verify(decode, blocks)
    except TableError as err:
        print(f"gen_gbk_tables: {err}", file=sys.stderr)
        return 1
    outputs = {"xconv_tables.h": render_header(), "xconv_table_g2u.c": render_g2u(decode),
               "xconv_table_u2g.c": render_u2g(blocks)}
    stale = []
    for name, text in outputs.items():
        path = os.path.normpath(os.path.join(OUT_DIR, name))
        if check_only:
            with open(path, encoding="ascii") as f:
                if f.read() != text:
                    stale.append(path)
        else:
            with open(path, "w", encoding="ascii", newline="\n") as f:
                f.write(text)
    for path in stale:
        print(f"gen_gbk_tables: {path} is out of date; run {REGEN_COMMAND}", file=sys.stderr)
    if check_only and not stale:
        print(f"gen_gbk_tables: {len(decode)} two-byte codes mapped one to one "
              f"({STANDARD_COUNT} standard, {PUA_COUNT} private use), inverse in "
              f"{len(BLOCKS)} encoding blocks, {len(KNOWN)} known characters match; "
              f"{', '.join(outputs)} up to date")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
