"""Static translation of the game's code blocks into C.

The game program on the disc is a run of fixed-size code blocks for a small
register machine: four 32-bit registers, two-byte instructions (opcode byte,
immediate byte).  Each block becomes one C translation unit holding one
function, `uint32_t orvl_block_NNN(uint32_t a, uint32_t b)`, that computes
what the block computes.  A table unit lists the functions for the runtime.
"""

import os

BLOCK_SIZE = 1024
HEADER = "recomp.h"
TABLE = "recomp_table.c"
SOURCES = "sources.cmake"

# Mixing constants of the register machine, indexed by the immediate's low bits.
_KEYS = (0x9E3779B9, 0x85EBCA6B, 0xC2B2AE35, 0x27D4EB2F,
         0x165667B1, 0xD3A2646C, 0xFD7046C5, 0xB55A4F09)


def unit_name(index):
    return "recomp_%03d.c" % index


def _statement(op, d, s, imm):
    rd, rs = "r%d" % d, "r%d" % s
    if op == 0:
        return "%s += %s + 0x%08Xu;" % (rd, rs, _KEYS[imm & 7] ^ imm)
    if op == 1:
        n = imm % 31 + 1
        return "%s ^= (%s << %d) | (%s >> %d);" % (rd, rs, n, rs, 32 - n)
    if op == 2:
        return "%s *= 0x%08Xu;" % (rd, _KEYS[imm & 7] | 1)
    if op == 3:
        return "%s -= %s >> %d;" % (rd, rs, imm % 16 + 1)
    if op == 4:
        return "if (%s & 0x%08Xu) %s ^= 0x%08Xu;" % (
            rs, 1 << (imm % 32), rd, _KEYS[(imm >> 3) & 7])
    if op == 5:
        return "%s = %s * 33u + %du;" % (rd, rd, imm)
    if op == 6:
        return "%s = (%s > %s) ? %s - %s : %s + %s;" % (rd, rd, rs, rd, rs, rs, rd)
    return "%s ^= %s >> %d;" % (rd, rd, imm % 24 + 8)


def translate_block(index, code, broken=False):
    """C source of one block.  `broken` plants a reference to an undeclared
    register, as a mistranslation would, so that the compiler rejects it."""
    lines = [
        "/* Translated from code block %d of the game program. */" % index,
        '#include "%s"' % HEADER,
        "",
        "uint32_t orvl_block_%03d(uint32_t a, uint32_t b)" % index,
        "{",
        "    uint32_t r0 = a, r1 = b, r2 = 0x%08Xu, r3 = 0x%08Xu;" % (
            _KEYS[index & 7], index * 0x01000193 & 0xFFFFFFFF),
    ]
    for pc in range(0, len(code) - 1, 2):
        opcode, imm = code[pc], code[pc + 1]
        lines.append("    " + _statement(opcode & 7, (opcode >> 3) & 3,
                                         (opcode >> 5) & 3, imm))
    if broken:
        lines.append("    r0 += r4;")
    lines += ["    return r0 ^ r1 ^ r2 ^ r3;", "}", ""]
    return "\n".join(lines)


def _header(count):
    return "\n".join([
        "/* Generated: the translated code blocks of the game program. */",
        "#ifndef ORVL_RECOMP_H",
        "#define ORVL_RECOMP_H",
        "#include <stdint.h>",
        "",
        "typedef uint32_t (*orvl_block_fn)(uint32_t a, uint32_t b);",
        "extern const orvl_block_fn orvl_blocks[];",
        "extern const int orvl_block_count;",
        "",
    ] + ["uint32_t orvl_block_%03d(uint32_t a, uint32_t b);" % i
         for i in range(count)] + ["", "#endif", ""])


def _table(count):
    return "\n".join(
        ['/* Generated: the table of translated blocks. */',
         '#include "%s"' % HEADER, "",
         "const orvl_block_fn orvl_blocks[] = {"]
        + ["    orvl_block_%03d," % i for i in range(count)]
        + ["};", "const int orvl_block_count = %d;" % count, ""])


def _sources(names):
    return "set(ORVL_RECOMP_SOURCES\n%s)\n" % "".join(
        '    "${ORVL_RECOMP_DIR}/%s"\n' % n for n in names)


def _write_if_changed(path, text):
    # An unchanged unit keeps its time stamp, so a build that was stopped
    # resumes where it was instead of compiling everything again.
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def translate(program, out_dir, count, progress=None, broken=False):
    """Translate the first `count` blocks of `program` into `out_dir`.

    Writes one unit per block, the header, the table and `sources.cmake`
    (which sets ORVL_RECOMP_SOURCES for the game's CMakeLists), and removes
    units left from an earlier translation of more blocks.  `progress` is
    called with the fraction done.  With `broken`, the last unit does not
    compile.  Returns the list of unit file names.
    """
    blocks = len(program) // BLOCK_SIZE
    if not 1 <= count <= blocks:
        raise ValueError("the program has %d code blocks, not %d" % (blocks, count))
    os.makedirs(out_dir, exist_ok=True)
    names = []
    for i in range(count):
        code = program[i * BLOCK_SIZE:(i + 1) * BLOCK_SIZE]
        name = unit_name(i)
        _write_if_changed(os.path.join(out_dir, name),
                          translate_block(i, code, broken and i == count - 1))
        names.append(name)
        if progress:
            progress((i + 1) / count)
    _write_if_changed(os.path.join(out_dir, HEADER), _header(count))
    _write_if_changed(os.path.join(out_dir, TABLE), _table(count))
    names.append(TABLE)
    _write_if_changed(os.path.join(out_dir, SOURCES), _sources(names))
    for entry in os.listdir(out_dir):
        if entry.startswith("recomp_") and entry.endswith(".c") and entry not in names:
            os.remove(os.path.join(out_dir, entry))
    return names[:-1]
