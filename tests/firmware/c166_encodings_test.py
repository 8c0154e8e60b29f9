#!/usr/bin/env python3
"""The assembler against the hand-checked encoding vectors, plus the operands it
must refuse."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'firmware', 'c166'))
import c166asm  # noqa: E402


def vectors():
    with open(os.path.join(HERE, 'c166_encodings.tsv'), encoding='ascii') as f:
        for n, line in enumerate(f, 1):
            if line.strip() and not line.startswith('#'):
                asm, hexbytes, ref, _second = line.rstrip('\n').split('\t')
                yield n, asm, bytes.fromhex(hexbytes), ref


class Encodings(unittest.TestCase):
    def test_every_vector(self):
        count = 0
        for n, asm, expected, ref in vectors():
            with self.subTest(line=n, asm=asm):
                self.assertEqual(c166asm.assemble_text(asm).hex(' '), expected.hex(' '), ref)
            count += 1
        self.assertGreater(count, 100)

    def test_refused_operands(self):
        bad = [
            'mov [r1+],r2',          # no post-increment destination
            'add r1,[r4]',           # only R0..R3 as pointers in the short form
            'movb r1,#0x5',          # word register in a byte instruction
            'jmpr cc_uc,0x1000',     # out of reach
            'jmpr cc_uc,0x3',        # odd target
            'bset 0xfa00.1',         # not bit-addressable
            'mov r1,#0x10000',       # too wide
            'exts r1,#0x5',          # at most 4 instructions
            'mov 0xf19c,#0x0',       # an ESFR needs EXTR in front
            'cmp 0xfa00,r1',         # CMP has no memory destination
            'frob r1',
        ]
        for text in bad:
            with self.subTest(asm=text):
                with self.assertRaises(c166asm.AsmError):
                    c166asm.assemble_text(text)

    def test_labels_expressions_and_directives(self):
        src = '\n'.join([
            'BASE EQU 0x8000 + 2*4',
            'start: jmpr cc_uc,next',
            '  dw end - start',
            'next: mov r1,#SOF(BASE)',
            '  movb rl1,#LOW(0x1234)',
            '  db "AB",0x0',
            'end:',
        ])
        self.assertEqual(c166asm.assemble_text(src, 0xFA40).hex(' '),
                         '0d 01 0f 00 e6 f1 08 80 e7 f2 34 00 41 42 00')

    def test_forward_symbol_keeps_the_long_form(self):
        # A value known only after the line must not shrink the instruction in pass 2.
        src = 'mov r1,#LATER\nLATER EQU 3'
        self.assertEqual(c166asm.assemble_text(src).hex(' '), 'e6 f1 03 00')


if __name__ == '__main__':
    unittest.main()
