#!/usr/bin/env python3
"""Writes the BPF fuzzer's seeds into DIRECTORY: the device's Velto filter
and a few programs using every instruction class, each after a frame."""
import struct
import sys

# Opcodes (linux/filter.h).
LD, LDX, ST, STX, ALU, JMP, RET, MISC = 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07
W, H, B = 0x00, 0x08, 0x10
IMM, ABS, IND, MEM, LEN, MSH = 0x00, 0x20, 0x40, 0x60, 0x80, 0xA0
K, X, A = 0x00, 0x08, 0x10
ADD, SUB, MUL, DIV, OR, AND, LSH, RSH, NEG, MOD, XOR = (
    0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0)
JA, JEQ, JGT, JGE, JSET = 0x00, 0x10, 0x20, 0x30, 0x40
TAX, TXA = 0x00, 0x80


def frame(ether_type, length):
    f = bytearray(length)
    f[0:6] = b"\xff" * 6
    f[6:12] = bytes([0x02, 0xC4, 0x7D, 0, 0, 1])
    f[12:14] = struct.pack(">H", ether_type)
    if length > 14:
        f[14] = 0x45
    return bytes(f)


def seed(frame_bytes, program):
    out = struct.pack("<H", len(frame_bytes)) + frame_bytes
    for code, jt, jf, k in program:
        out += struct.pack("<HBBI", code, jt, jf, k & 0xFFFFFFFF)
    return out


VELTO = [(LD | H | ABS, 0, 0, 12), (JMP | JEQ | K, 0, 1, 0x8874),
         (RET | K, 0, 0, 0xFFFFFFFF), (RET | K, 0, 0, 0)]
IP_PORT = [(LD | H | ABS, 0, 0, 12), (JMP | JEQ | K, 0, 6, 0x0800),
           (LDX | B | MSH, 0, 0, 14), (LD | H | IND, 0, 0, 16),
           (JMP | JEQ | K, 0, 3, 502), (LD | W | LEN, 0, 0, 0),
           (ALU | SUB | K, 0, 0, 4), (RET | A, 0, 0, 0), (RET | K, 0, 0, 0)]
ARITHMETIC = [(LD | IMM, 0, 0, 7), (ST, 0, 0, 3), (LDX | W | IMM, 0, 0, 5),
              (ALU | MUL | X, 0, 0, 0), (ALU | DIV | K, 0, 0, 3),
              (ALU | MOD | X, 0, 0, 0), (ALU | LSH | K, 0, 0, 4),
              (ALU | RSH | X, 0, 0, 0), (ALU | XOR | K, 0, 0, 0xFF),
              (ALU | OR | X, 0, 0, 0), (ALU | AND | K, 0, 0, 0xF0F),
              (ALU | NEG, 0, 0, 0), (MISC | TAX, 0, 0, 0), (STX, 0, 0, 15),
              (LD | MEM, 0, 0, 3), (LDX | W | MEM, 0, 0, 15),
              (MISC | TXA, 0, 0, 0), (JMP | JSET | K, 1, 0, 1),
              (JMP | JA, 0, 0, 1), (JMP | JGE | X, 0, 1, 0),
              (LD | B | IND, 0, 0, 40), (JMP | JGT | K, 0, 0, 3),
              (RET | A, 0, 0, 0)]
PAST_END = [(LD | W | ABS, 0, 0, 1510), (RET | A, 0, 0, 0)]

SEEDS = {
    "velto": seed(frame(0x8874, 192), VELTO),
    "velto_short": seed(frame(0x8874, 13), VELTO),
    "ip_port": seed(frame(0x0800, 80), IP_PORT),
    "arithmetic": seed(frame(0x0800, 64), ARITHMETIC),
    "past_end": seed(frame(0x8874, 1514), PAST_END),
}

for name, data in SEEDS.items():
    with open(f"{sys.argv[1]}/{name}", "wb") as f:
        f.write(data)
