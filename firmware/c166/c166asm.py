#!/usr/bin/env python3
"""Two-pass assembler for the C166 instruction set (C167 level).

Usage: c166asm.py SOURCE -o OUT.bin [-l LISTING] [-D NAME=VALUE ...]

Source syntax (one statement a line, ';' starts a comment):
    label:  MNEMONIC op, op      ; instructions as the instruction set manual writes them
    NAME    EQU  expr            ; a constant (also NAME = expr)
            ORG  expr            ; next address (the image starts at the first ORG)
            DB   expr|'text', .. ; bytes
            DW   expr, ..        ; words, least significant byte first
            DS   expr            ; that many 0xFF bytes
            INCLUDE "file"       ; another source, relative to this one
            IF expr / ELSE / ENDIF
            ASSERT expr          ; fails the build when expr is 0
Operands: Rn, RLn, RHn, [Rn], [Rn+], [-Rn], [Rn+#expr], #expr, cc_XX, a bit
as word.bit or by its predefined name, anything else a 16-bit address (a
register operand when it names an SFR). Expressions: + - * / % & | ^ ~ << >>,
comparisons (== != < > <= >=), parentheses, 0x1F, 1Fh, 'c', $ (this address), SEG() SOF() PAG() POF() HIGH() LOW().

Encodings follow the "Instruction Set Manual for the C16x Family" (Siemens,
V1.2, 12.97): chapter 4 "Instruction Opcodes" for the opcode bytes and the
format column of each instruction's description in chapter 5. An operand that
the chosen instruction cannot take is an error, never a guess.
"""
import argparse
import os
import re
import sys

from c166sfr import SFRS, BITS


class AsmError(Exception):
    pass


CONDITIONS = {
    'cc_uc': 0x0, 'cc_net': 0x1, 'cc_z': 0x2, 'cc_eq': 0x2, 'cc_nz': 0x3, 'cc_ne': 0x3,
    'cc_v': 0x4, 'cc_nv': 0x5, 'cc_n': 0x6, 'cc_nn': 0x7, 'cc_c': 0x8, 'cc_ult': 0x8,
    'cc_nc': 0x9, 'cc_uge': 0x9, 'cc_sgt': 0xA, 'cc_sle': 0xB, 'cc_slt': 0xC,
    'cc_sge': 0xD, 'cc_ugt': 0xE, 'cc_ule': 0xF,
}

# ---- expressions --------------------------------------------------------------

TOKEN = re.compile(r"\s*(?:(0x[0-9a-f]+|[0-9][0-9a-f]*h\b|[0-9]+)|('(?:[^'\\]|\\.)')|"
                   r"([a-z_?$][a-z0-9_?.]*)|(==|!=|<=|>=|<<|>>|[-+*/%&|^~()<>]))", re.I)
FUNCS = {'seg': lambda v: (v >> 16) & 0xFF, 'sof': lambda v: v & 0xFFFF,
         'pag': lambda v: (v >> 14) & 0x3FF, 'pof': lambda v: v & 0x3FFF,
         'high': lambda v: (v >> 8) & 0xFF, 'low': lambda v: v & 0xFF}


class Undefined(Exception):
    pass


def evaluate(text, lookup, here):
    pos, out = 0, []
    text = text.strip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m or m.end() == pos:
            raise AsmError("cannot read expression '%s'" % text)
        pos = m.end()
        num, char, name, op = m.groups()
        if num:
            n = num.lower()
            out.append(str(int(n[:-1], 16) if n.endswith('h') else int(n, 0)))
        elif char:
            body = char[1:-1].encode().decode('unicode_escape')
            out.append(str(ord(body)))
        elif name:
            low = name.lower()
            if low == '$':
                out.append(str(here))
            elif low in FUNCS and text[pos:].lstrip().startswith('('):
                out.append('_f_%s' % low)
            else:
                out.append(str(lookup(name)))
        else:
            out.append('//' if op == '/' else op)
    if not out:
        raise AsmError('empty expression')
    env = {'_f_' + k: f for k, f in FUNCS.items()}
    try:
        return int(eval(' '.join(out), {'__builtins__': {}}, env))
    except ZeroDivisionError:
        raise AsmError("division by zero in '%s'" % text)
    except SyntaxError:
        raise AsmError("bad expression '%s'" % text)


# ---- operands -----------------------------------------------------------------

GPR_W = re.compile(r'^r(1[0-5]|[0-9])$', re.I)
GPR_B = re.compile(r'^r([lh])([0-7])$', re.I)


def reg_w(text):
    m = GPR_W.match(text.strip())
    return int(m.group(1)) if m else None


def reg_b(text):
    m = GPR_B.match(text.strip())
    return int(m.group(2)) * 2 + (m.group(1).lower() == 'h') if m else None


class Op:
    """One parsed operand: kind plus what it carries."""

    def __init__(self, kind, n=None, expr=None, bit=None, text=''):
        self.kind, self.n, self.expr, self.bit, self.text = kind, n, expr, bit, text


def parse_operand(text):
    t = text.strip()
    low = t.lower()
    if reg_w(t) is not None:
        return Op('rw', reg_w(t), text=t)
    if reg_b(t) is not None:
        return Op('rb', reg_b(t), text=t)
    if low in CONDITIONS:
        return Op('cc', CONDITIONS[low], text=t)
    if t.startswith('#'):
        return Op('imm', expr=t[1:], text=t)
    if t.startswith('[') and t.endswith(']'):
        inner = t[1:-1].replace(' ', '')
        if inner.startswith('-') and reg_w(inner[1:]) is not None:
            return Op('predec', reg_w(inner[1:]), text=t)
        if inner.endswith('+') and reg_w(inner[:-1]) is not None:
            return Op('postinc', reg_w(inner[:-1]), text=t)
        if reg_w(inner) is not None:
            return Op('ind', reg_w(inner), text=t)
        m = re.match(r'^(r1[0-5]|r[0-9])\+#(.+)$', inner, re.I)
        if m:
            return Op('idx', reg_w(m.group(1)), expr=m.group(2), text=t)
        raise AsmError("cannot read indirect operand '%s'" % t)
    if '.' in t:
        word, _, bit = t.rpartition('.')
        return Op('bit', expr=word, bit=bit, text=t)
    if t.upper() in BITS:
        word, bit = BITS[t.upper()]
        return Op('bit', expr=str(word), bit=str(bit), text=t)
    return Op('expr', expr=t, text=t)


# ---- the instruction forms ------------------------------------------------------

def b(*values):
    return bytes(v & 0xFF for v in values)


def w(v):
    return [v & 0xFF, (v >> 8) & 0xFF]


ALU = {'add': 0x00, 'addc': 0x10, 'sub': 0x20, 'subc': 0x30, 'cmp': 0x40,
       'xor': 0x50, 'and': 0x60, 'or': 0x70}


def alu_forms(base, byte):
    """ADD/ADDC/SUB/SUBC/CMP/XOR/AND/OR (ISM ch.5, format column of each): one
    opcode row per operand pattern, +1 for the byte version."""
    r = 'rb' if byte else 'rw'
    imm = '#8' if byte else '#16'
    reg = 'regb' if byte else 'regw'
    x = 1 if byte else 0
    forms = [
        ((r, r), 2, lambda a, c: b(base + x, a[0] << 4 | a[1])),
        ((r, '[rw03]'), 2, lambda a, c: b(base + 8 + x, a[0] << 4 | 0x8 | a[1])),
        ((r, '[rw03+]'), 2, lambda a, c: b(base + 8 + x, a[0] << 4 | 0xC | a[1])),
        ((r, '#3'), 2, lambda a, c: b(base + 8 + x, a[0] << 4 | a[1])),
        ((reg, imm), 4, (lambda a, c: b(base + 7, a[0], a[1], 0)) if byte
         else (lambda a, c: b(base + 6, a[0], *w(a[1])))),
        ((reg, 'mem'), 4, lambda a, c: b(base + 2 + x, a[0], *w(a[1]))),
    ]
    if base != 0x40:   # CMP has no memory destination
        forms.append((('mem', reg), 4, lambda a, c: b(base + 4 + x, a[1], *w(a[0]))))
    return forms


def mov_forms(byte):
    """MOV and MOVB (ISM ch.5 MOV/MOVB): opcode pairs differ by one."""
    x = 1 if byte else 0
    r = 'rb' if byte else 'rw'
    reg = 'regb' if byte else 'regw'
    return [
        ((r, r), 2, lambda a, c: b(0xF0 + x, a[0] << 4 | a[1])),
        ((r, '#4'), 2, lambda a, c: b(0xE0 + x, a[1] << 4 | a[0])),
        ((reg, '#8' if byte else '#16'), 4,
         (lambda a, c: b(0xE7, a[0], a[1], 0)) if byte else (lambda a, c: b(0xE6, a[0], *w(a[1])))),
        ((r, '[rw]'), 2, lambda a, c: b(0xA8 + x, a[0] << 4 | a[1])),
        ((r, '[rw+]'), 2, lambda a, c: b(0x98 + x, a[0] << 4 | a[1])),
        (('[rw]', r), 2, lambda a, c: b(0xB8 + x, a[1] << 4 | a[0])),
        (('[-rw]', r), 2, lambda a, c: b(0x88 + x, a[1] << 4 | a[0])),
        (('[rw]', '[rw]'), 2, lambda a, c: b(0xC8 + x, a[0] << 4 | a[1])),
        (('[rw+]', '[rw]'), 2, lambda a, c: b(0xD8 + x, a[0] << 4 | a[1])),
        (('[rw]', '[rw+]'), 2, lambda a, c: b(0xE8 + x, a[0] << 4 | a[1])),
        ((r, '[rw+#]'), 4, lambda a, c: b(0xF4 if byte else 0xD4, a[0] << 4 | a[1][0], *w(a[1][1]))),
        (('[rw+#]', r), 4, lambda a, c: b(0xE4 if byte else 0xC4, a[1] << 4 | a[0][0], *w(a[0][1]))),
        (('[rw]', 'mem'), 4, lambda a, c: b(0xA4 if byte else 0x84, a[0], *w(a[1]))),
        (('mem', '[rw]'), 4, lambda a, c: b(0xB4 if byte else 0x94, a[1], *w(a[0]))),
        ((reg, 'mem'), 4, lambda a, c: b(0xF2 + x, a[0], *w(a[1]))),
        (('mem', reg), 4, lambda a, c: b(0xF6 + x, a[1], *w(a[0]))),
    ]


def movbx_forms(base):
    """MOVBZ (C0/C2/C5) and MOVBS (D0/D2/D5): word destination, byte source."""
    return [
        (('rw', 'rb'), 2, lambda a, c: b(base, a[1] << 4 | a[0])),
        (('regw', 'mem'), 4, lambda a, c: b(base + 2, a[0], *w(a[1]))),
        (('mem', 'regb'), 4, lambda a, c: b(base + 5, a[1], *w(a[0]))),
    ]


def shift_forms(base):
    """ROL 0C, ROR 2C, SHL 4C, SHR 6C, ASHR AC; +0x10 with a 4-bit count."""
    return [(('rw', 'rw'), 2, lambda a, c: b(base, a[0] << 4 | a[1])),
            (('rw', '#4'), 2, lambda a, c: b(base + 0x10, a[1] << 4 | a[0]))]


def cmpid_forms(base):
    """CMPI1 80, CMPI2 90, CMPD1 A0, CMPD2 B0: compare, then step the register."""
    return [(('rw', '#4'), 2, lambda a, c: b(base, a[1] << 4 | a[0])),
            (('rw', '#16'), 4, lambda a, c: b(base + 6, 0xF0 | a[0], *w(a[1]))),
            (('rw', 'mem'), 4, lambda a, c: b(base + 2, 0xF0 | a[0], *w(a[1])))]


def bit2_form(op):
    """BMOV 4A, BMOVN 3A, BAND 6A, BOR 5A, BXOR 7A, BCMP 2A: op ZZ.z, QQ.q
    is encoded as op QQ ZZ qz."""
    return [(('bitaddr', 'bitaddr'), 4,
             lambda a, c: b(op, a[1][0], a[0][0], a[1][1] << 4 | a[0][1]))]


def ext_forms(sub):
    """EXTP/EXTS/EXTPR/EXTSR (ISM ch.5 EXTx): sub selects the kind in bits 7..6."""
    forms = [(('rw', '#irang'), 2, lambda a, c: b(0xDC, sub << 6 | (a[1] - 1) << 4 | a[0]))]
    if sub in (1, 3):   # page: 10-bit number
        forms.append((('#pag', '#irang'), 4,
                      lambda a, c: b(0xD7, sub << 6 | (a[1] - 1) << 4, a[0] & 0xFF, (a[0] >> 8) & 3)))
    else:               # segment: 8-bit number
        forms.append((('#seg', '#irang'), 4,
                      lambda a, c: b(0xD7, sub << 6 | (a[1] - 1) << 4, a[0], 0)))
    return forms


def sys4(op, second):
    """The protected 4-byte system instructions: op, second, op, op (SRST is
    B7 48 B7 B7), so that a stray jump into data cannot trigger them."""
    return [((), 4, lambda a, c: b(op, second, op, op))]


FORMS = {
    'mov': mov_forms(False), 'movb': mov_forms(True),
    'movbz': movbx_forms(0xC0), 'movbs': movbx_forms(0xD0),
    'rol': shift_forms(0x0C), 'ror': shift_forms(0x2C), 'shl': shift_forms(0x4C),
    'shr': shift_forms(0x6C), 'ashr': shift_forms(0xAC),
    'mul': [(('rw', 'rw'), 2, lambda a, c: b(0x0B, a[0] << 4 | a[1]))],
    'mulu': [(('rw', 'rw'), 2, lambda a, c: b(0x1B, a[0] << 4 | a[1]))],
    'div': [(('rw',), 2, lambda a, c: b(0x4B, a[0] * 0x11))],
    'divu': [(('rw',), 2, lambda a, c: b(0x5B, a[0] * 0x11))],
    'divl': [(('rw',), 2, lambda a, c: b(0x6B, a[0] * 0x11))],
    'divlu': [(('rw',), 2, lambda a, c: b(0x7B, a[0] * 0x11))],
    'prior': [(('rw', 'rw'), 2, lambda a, c: b(0x2B, a[0] << 4 | a[1]))],
    'neg': [(('rw',), 2, lambda a, c: b(0x81, a[0] << 4))],
    'negb': [(('rb',), 2, lambda a, c: b(0xA1, a[0] << 4))],
    'cpl': [(('rw',), 2, lambda a, c: b(0x91, a[0] << 4))],
    'cplb': [(('rb',), 2, lambda a, c: b(0xB1, a[0] << 4))],
    'cmpi1': cmpid_forms(0x80), 'cmpi2': cmpid_forms(0x90),
    'cmpd1': cmpid_forms(0xA0), 'cmpd2': cmpid_forms(0xB0),
    'bset': [(('bitaddr',), 2, lambda a, c: b(a[0][1] << 4 | 0xF, a[0][0]))],
    'bclr': [(('bitaddr',), 2, lambda a, c: b(a[0][1] << 4 | 0xE, a[0][0]))],
    'bmov': bit2_form(0x4A), 'bmovn': bit2_form(0x3A), 'band': bit2_form(0x6A),
    'bor': bit2_form(0x5A), 'bxor': bit2_form(0x7A), 'bcmp': bit2_form(0x2A),
    'bfldl': [(('bitoff', '#8', '#8'), 4, lambda a, c: b(0x0A, a[0], a[1], a[2]))],
    'bfldh': [(('bitoff', '#8', '#8'), 4, lambda a, c: b(0x1A, a[0], a[2], a[1]))],
    'jb': [(('bitaddr', 'rel'), 4, lambda a, c: b(0x8A, a[0][0], a[1], a[0][1] << 4))],
    'jnb': [(('bitaddr', 'rel'), 4, lambda a, c: b(0x9A, a[0][0], a[1], a[0][1] << 4))],
    'jbc': [(('bitaddr', 'rel'), 4, lambda a, c: b(0xAA, a[0][0], a[1], a[0][1] << 4))],
    'jnbs': [(('bitaddr', 'rel'), 4, lambda a, c: b(0xBA, a[0][0], a[1], a[0][1] << 4))],
    'jmpr': [(('cc', 'rel'), 2, lambda a, c: b(a[0] << 4 | 0xD, a[1]))],
    'jmpa': [(('cc', 'caddr'), 4, lambda a, c: b(0xEA, a[0] << 4, *w(a[1])))],
    'jmpi': [(('cc', '[rw]'), 2, lambda a, c: b(0x9C, a[0] << 4 | a[1]))],
    'jmps': [(('seg', 'caddr'), 4, lambda a, c: b(0xFA, a[0], *w(a[1])))],
    'calla': [(('cc', 'caddr'), 4, lambda a, c: b(0xCA, a[0] << 4, *w(a[1])))],
    'calli': [(('cc', '[rw]'), 2, lambda a, c: b(0xAB, a[0] << 4 | a[1]))],
    'callr': [(('rel',), 2, lambda a, c: b(0xBB, a[0]))],
    'calls': [(('seg', 'caddr'), 4, lambda a, c: b(0xDA, a[0], *w(a[1])))],
    'pcall': [(('regw', 'caddr'), 4, lambda a, c: b(0xE2, a[0], *w(a[1])))],
    'trap': [(('#7',), 2, lambda a, c: b(0x9B, a[0] << 1))],
    'ret': [((), 2, lambda a, c: b(0xCB, 0))],
    'rets': [((), 2, lambda a, c: b(0xDB, 0))],
    'retp': [(('regw',), 2, lambda a, c: b(0xEB, a[0]))],
    'reti': [((), 2, lambda a, c: b(0xFB, 0x88))],
    'push': [(('regw',), 2, lambda a, c: b(0xEC, a[0]))],
    'pop': [(('regw',), 2, lambda a, c: b(0xFC, a[0]))],
    'scxt': [(('regw', '#16'), 4, lambda a, c: b(0xC6, a[0], *w(a[1]))),
             (('regw', 'mem'), 4, lambda a, c: b(0xD6, a[0], *w(a[1])))],
    'nop': [((), 2, lambda a, c: b(0xCC, 0))],
    'atomic': [(('#irang',), 2, lambda a, c: b(0xD1, (a[0] - 1) << 4))],
    'extr': [(('#irang',), 2, lambda a, c: b(0xD1, 0x80 | (a[0] - 1) << 4))],
    'exts': ext_forms(0), 'extp': ext_forms(1), 'extsr': ext_forms(2), 'extpr': ext_forms(3),
    'srst': sys4(0xB7, 0x48), 'idle': sys4(0x87, 0x78), 'pwrdn': sys4(0x97, 0x68),
    'srvwdt': sys4(0xA7, 0x58), 'diswdt': sys4(0xA5, 0x5A), 'einit': sys4(0xB5, 0x4A),
    # C166S V2 (XC16x) additions outside the MAC unit: ENWDT re-enables the
    # watchdog after EINIT, SBRK is the software break for the debugger.
    'enwdt': sys4(0x85, 0x7A),
    'sbrk': [((), 2, lambda a, c: b(0x8C, 0x00))],
}
for _name, _base in ALU.items():
    FORMS[_name] = alu_forms(_base, False)
    FORMS[_name + 'b'] = alu_forms(_base, True)
# Jumps and calls with "cc" omitted mean cc_UC.
IMPLIED_CC = {'jmpa', 'jmpi', 'calla', 'calli', 'jmpr'}

# Instructions that open a sequence in which short reg addresses mean ESFRs.
EXTR_KINDS = {'extr', 'extpr', 'extsr'}


# ---- the assembler ----------------------------------------------------------------

class Assembler:
    def __init__(self, defines=None):
        self.symbols = {k.upper(): (v, -1) for k, v in SFRS.items()}
        for k, v in (defines or {}).items():
            self.symbols[k.upper()] = (v, -1)
        self.builtin = set(self.symbols)

    # Symbols defined on an earlier line (or built in) count as known in pass 1 too,
    # which keeps the choice between reg and mem forms the same in both passes.
    def lookup(self, name, strict):
        key = name.upper()
        if key in self.symbols:
            value, line = self.symbols[key]
            if strict or line < self.line_no:
                return value
        if strict:
            raise AsmError("undefined symbol '%s'" % name)
        raise Undefined(name)

    def value(self, text, strict=None):
        strict = self.final if strict is None else strict
        return evaluate(text, lambda n: self.lookup(n, strict), self.pc)

    def known(self, text):
        try:
            return self.value(text, strict=False)
        except Undefined:
            return None

    def short_reg(self, v, byte):
        """An 8-bit 'reg' address: SFRs FE00-FFDE, ESFRs F000-F1DE inside EXTR."""
        if v is None or v & 1:
            return None
        if 0xFE00 <= v <= 0xFFDE:
            return (v - 0xFE00) >> 1
        if 0xF000 <= v <= 0xF1DE and self.ext_r:
            return (v - 0xF000) >> 1
        return None

    def bitoff(self, v):
        """An 8-bit bit-addressable word: RAM FD00-FDFE, SFRs FF00-FFDE, ESFRs
        F100-F1DE inside EXTR (ISM ch.1 'Bit addressing')."""
        if v is None or v & 1:
            return None
        if 0xFD00 <= v <= 0xFDFE:
            return (v - 0xFD00) >> 1
        if 0xFF00 <= v <= 0xFFDE:
            return 0x80 + ((v - 0xFF00) >> 1)
        if 0xF100 <= v <= 0xF1DE and self.ext_r:
            return 0x80 + ((v - 0xF100) >> 1)
        return None

    def imm(self, op, lo, hi):
        if op.kind != 'imm':
            return None
        v = self.value(op.expr) if self.final else (self.known(op.expr) or 0)
        if self.final and not lo <= v <= hi:
            raise AsmError("immediate %s out of range %d..%d" % (op.text, lo, hi))
        return v

    def match(self, kind, op, pc_next):
        """Operand value for kind, or None when op cannot be that kind."""
        k = op.kind
        if kind == 'rw':
            return op.n if k == 'rw' else None
        if kind == 'rb':
            return op.n if k == 'rb' else None
        if kind == '[rw]':
            return op.n if k == 'ind' else None
        if kind == '[rw03]':
            return op.n if k == 'ind' and op.n < 4 else None
        if kind == '[rw+]':
            return op.n if k == 'postinc' else None
        if kind == '[rw03+]':
            return op.n if k == 'postinc' and op.n < 4 else None
        if kind == '[-rw]':
            return op.n if k == 'predec' else None
        if kind == '[rw+#]':
            if k != 'idx':
                return None
            v = self.value(op.expr) if self.final else 0
            if self.final and not -0x8000 <= v <= 0xFFFF:
                raise AsmError("offset out of range in %s" % op.text)
            return (op.n, v & 0xFFFF)
        if kind in ('regw', 'regb'):
            if k == 'rw' and kind == 'regw':
                return 0xF0 | op.n
            if k == 'rb' and kind == 'regb':
                return 0xF0 | op.n
            if k == 'expr':
                return self.short_reg(self.known(op.expr), kind == 'regb')
            return None
        if kind in ('mem', 'caddr'):
            if k != 'expr':
                return None
            v = self.value(op.expr) if self.final else 0
            if self.final and not 0 <= v <= 0xFFFF:
                raise AsmError("address %s out of range 0..0xFFFF" % op.text)
            return v
        if kind == 'seg':
            if k not in ('expr', 'imm'):
                return None
            v = self.value(op.expr) if self.final else 0
            if self.final and not 0 <= v <= 0xFF:
                raise AsmError("segment %s out of range 0..255" % op.text)
            return v
        if kind == 'cc':
            return op.n if k == 'cc' else None
        if kind == 'rel':
            if k != 'expr':
                return None
            if not self.final:
                return 0
            dist = self.value(op.expr) - pc_next
            if dist & 1 or not -256 <= dist <= 254:
                raise AsmError("relative target %s out of reach (%d bytes)" % (op.text, dist))
            return (dist >> 1) & 0xFF
        if kind in ('bitaddr', 'bitoff'):
            if kind == 'bitaddr' and k != 'bit':
                return None
            if kind == 'bitoff' and k not in ('expr', 'rw'):
                return None
            if k == 'rw':
                return 0xF0 | op.n
            word_op = parse_operand(op.expr)
            if word_op.kind == 'rw':
                off = 0xF0 | word_op.n
            else:
                off = self.bitoff(self.known(op.expr))
                if off is None:
                    if not self.final and self.known(op.expr) is None:
                        raise AsmError("bit address '%s' must be defined before use" % op.text)
                    raise AsmError("'%s' is not bit-addressable" % op.text)
            if kind == 'bitoff':
                return off
            bit = self.value(op.bit) if self.final else 0
            if self.final and not 0 <= bit <= 15:
                raise AsmError("bit number out of range in %s" % op.text)
            return (off, bit)
        if kind == '#3':
            return self.imm(op, 0, 7)
        if kind == '#4':
            if op.kind != 'imm':
                return None
            v = self.known(op.expr)
            return v if v is not None and 0 <= v <= 15 else None
        if kind == '#7':
            return self.imm(op, 0, 127)
        if kind == '#8':
            return self.imm(op, -128, 255)
        if kind == '#16':
            return self.imm(op, -0x8000, 0xFFFF)
        if kind == '#irang':
            return self.imm(op, 1, 4)
        if kind == '#pag':
            return self.imm(op, 0, 0x3FF)
        if kind == '#seg':
            return self.imm(op, 0, 0xFF)
        raise AsmError('internal: unknown operand kind ' + kind)

    def encode(self, mnem, ops):
        forms = FORMS.get(mnem)
        if forms is None:
            raise AsmError("unknown instruction '%s'" % mnem)
        if mnem in IMPLIED_CC and ops and ops[0].kind != 'cc':
            ops = [Op('cc', 0, text='cc_UC')] + ops
        for kinds, size, enc in forms:
            if len(kinds) != len(ops):
                continue
            # '#3' forms are only taken for an immediate known in pass 1 so that
            # both passes pick the same size.
            if '#3' in kinds:
                i = kinds.index('#3')
                v = self.known(ops[i].expr) if ops[i].kind == 'imm' else None
                if v is None or not 0 <= v <= 7:
                    continue
            args = []
            for kind, op in zip(kinds, ops):
                v = self.match(kind, op, self.pc + size)
                if v is None:
                    break
                args.append(v)
            else:
                data = enc(args, self)
                assert len(data) == size
                return data
        raise AsmError("%s cannot take operands %s" % (mnem.upper(), ', '.join(o.text for o in ops)))

    def assemble(self, path, defines=None):
        self.lines = []
        self.read(path, 0)
        for self.final in (False, True):
            self.out = {}
            self.listing = []
            self.pc = None
            self.ext_r = 0
            self.origin = None
            cond = []
            for self.line_no, (where, text) in enumerate(self.lines):
                try:
                    self.statement(text, cond)
                except (AsmError, Undefined) as e:
                    if isinstance(e, Undefined):
                        if not self.final:
                            continue
                        e = AsmError("undefined symbol '%s'" % e)
                    raise AsmError('%s: %s' % (where, e))
            if cond:
                raise AsmError('IF without ENDIF')
        if not self.out:
            return self.origin or 0, b''
        lo, hi = min(self.out), max(self.out)
        image = bytearray(b'\xFF' * (hi - lo + 1))
        for a, v in self.out.items():
            image[a - lo] = v
        return lo, bytes(image)

    def read(self, path, depth):
        if depth > 8:
            raise AsmError('INCLUDE nested too deeply at %s' % path)
        with open(path, encoding='ascii') as f:
            for i, raw in enumerate(f, 1):
                m = re.match(r'^\s*include\s+"([^"]+)"', raw, re.I)
                if m:
                    self.read(os.path.join(os.path.dirname(path), m.group(1)), depth + 1)
                    continue
                self.lines.append(('%s:%d' % (os.path.basename(path), i), raw.rstrip('\n')))

    def define(self, name, value):
        key = name.upper()
        if key in self.builtin:
            raise AsmError("'%s' is a predefined name" % name)
        old = self.symbols.get(key)
        if old and old[1] != self.line_no:
            raise AsmError("'%s' defined twice" % name)
        self.symbols[key] = (value, self.line_no)

    def emit(self, data, text):
        if self.pc is None:
            raise AsmError('code before the first ORG')
        if self.final:
            for i, v in enumerate(data):
                if self.pc + i in self.out:
                    raise AsmError('address 0x%X written twice' % (self.pc + i))
                self.out[self.pc + i] = v
            self.listing.append('%06X  %-12s %s' % (self.pc, data.hex(' ').upper(), text))
        self.pc += len(data)

    def statement(self, text, cond):
        code = strip_comment(text)
        m = re.match(r'^\s*(if|else|endif)\b(.*)$', code, re.I)
        if m:
            word = m.group(1).lower()
            if word == 'if':
                cond.append(all(cond) and self.value(m.group(2), strict=True) != 0)
            elif not cond:
                raise AsmError('%s without IF' % word.upper())
            elif word == 'else':
                cond[-1] = not cond[-1] and all(cond[:-1])
            else:
                cond.pop()
            return
        if not all(cond):
            return
        m = re.match(r'^\s*([a-z_?][a-z0-9_?]*)\s*(?:equ\b|=)(.*)$', code, re.I)
        if m:
            self.define(m.group(1), self.value(m.group(2), strict=True))
            if self.final:
                self.listing.append('%6s  %-12s %s' % ('', '', text))
            return
        m = re.match(r'^\s*([a-z_?][a-z0-9_?]*):(.*)$', code, re.I)
        if m:
            if self.pc is None:
                raise AsmError('label before the first ORG')
            self.define(m.group(1), self.pc)
            code = m.group(2)
        parts = code.strip().split(None, 1)
        if not parts:
            if self.final and text.strip():
                self.listing.append('%6s  %-12s %s' % ('', '', text))
            return
        mnem = parts[0].lower()
        rest = parts[1] if len(parts) > 1 else ''
        if mnem == 'org':
            self.pc = self.value(rest, strict=True)
            if self.origin is None:
                self.origin = self.pc
            return
        if mnem in ('db', 'dw'):
            data = bytearray()
            for item in split_operands(rest):
                if mnem == 'db' and item.startswith('"'):
                    data += item[1:-1].encode('ascii')
                    continue
                v = self.value(item) if self.final else (self.known(item) or 0)
                lim = 0xFF if mnem == 'db' else 0xFFFF
                if not -lim - 1 <= v <= lim:
                    raise AsmError("%s value %s out of range" % (mnem.upper(), item))
                data += bytes([v & 0xFF]) if mnem == 'db' else bytes(w(v))
            self.emit(bytes(data), text)
            return
        if mnem == 'assert':
            if self.final and self.value(rest) == 0:
                raise AsmError('assertion failed: %s' % rest.strip())
            return
        if mnem == 'ds':
            self.emit(b'\xFF' * self.value(rest, strict=True), text)
            return
        ops = [parse_operand(o) for o in split_operands(rest)]
        data = self.encode(mnem, ops)
        if self.ext_r:
            self.ext_r -= 1
        if mnem in EXTR_KINDS:
            self.ext_r = self.value(ops[-1].expr, strict=True)
        self.emit(data, text)


def strip_comment(text):
    out, quote = [], None
    for ch in text:
        if quote:
            if ch == quote:
                quote = None
        elif ch in '\'"':
            quote = ch
        elif ch == ';':
            break
        out.append(ch)
    return ''.join(out)


def split_operands(text):
    items, depth, cur, quote = [], 0, '', None
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in '\'"':
            quote = ch
        elif ch in '([':
            depth += 1
        elif ch in ')]':
            depth -= 1
        elif ch == ',' and depth == 0:
            items.append(cur.strip())
            cur = ''
            continue
        cur += ch
    if cur.strip():
        items.append(cur.strip())
    return items


def assemble_text(source, origin=0):
    """Assembles a few lines at origin (used by the encoding tests)."""
    import tempfile
    with tempfile.NamedTemporaryFile('w', suffix='.asm', delete=False) as f:
        f.write('  ORG 0x%X\n%s\n' % (origin, source))
        name = f.name
    try:
        return Assembler().assemble(name)[1]
    finally:
        os.unlink(name)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('source')
    p.add_argument('-o', '--output', required=True)
    p.add_argument('-l', '--listing')
    p.add_argument('-D', '--define', action='append', default=[])
    args = p.parse_args(argv)
    defines = {}
    for d in args.define:
        k, _, v = d.partition('=')
        defines[k] = int(v or '1', 0)
    asm = Assembler(defines)
    try:
        origin, image = asm.assemble(args.source)
    except (AsmError, OSError) as e:
        print('c166asm: %s' % e, file=sys.stderr)
        return 1
    with open(args.output, 'wb') as f:
        f.write(image)
    if args.listing:
        with open(args.listing, 'w', encoding='ascii') as f:
            f.write('\n'.join(asm.listing) + '\n')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
