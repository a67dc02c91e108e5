#!/usr/bin/env python3
"""gen_interfaces.py on malformed interface files: each is refused with a
"file:line: message" naming the fault, never a traceback, and nothing is
written; a well-formed file is generated."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "gen_interfaces.py")

HEAD = "table kavex::test::kTable;\n"
UNKNOWN = ("[uuid(00000000-0000-0000-C000-000000000046)]\n"
           "interface IUnknown {\n"
           "  HRESULT QueryInterface([in] REFIID riid,\n"
           "                         [out, iid_is(riid)] void** object);\n"
           "  ULONG AddRef();\n  ULONG Release();\n};\n")
UUID = "[uuid(11111111-2222-3333-4444-555555555555)]\n"


def interface(body):
    return HEAD + UNKNOWN + UUID + "interface IFoo : IUnknown {\n" + body + \
        "\n};\n"


# (name, file text, words the message must hold)
HOSTILE = [
    ("no table", UNKNOWN, ["no table declaration"]),
    ("empty file", "", ["no table declaration"]),
    ("stray character", HEAD + "struct S { DWORD a; } @;", ["unexpected"]),
    ("unterminated struct", HEAD + "struct S { DWORD a;", ["expected"]),
    ("unknown declaration", HEAD + "module M;", ["unknown declaration"]),
    ("unknown type", HEAD + "struct S { WIDGET w; };", ["unknown type",
                                                        "WIDGET"]),
    ("struct twice", HEAD + "struct S { DWORD a; };\nstruct S { DWORD b; };",
     ["declared twice"]),
    ("field twice", HEAD + "struct S { DWORD a; DWORD a; };",
     ["field a declared twice"]),
    ("empty struct", HEAD + "struct S { };", ["no fields"]),
    ("empty enum", HEAD + "enum E { };", ["no values"]),
    ("typedef cycle", HEAD + "typedef A B;\ntypedef B A;\nstruct S { A a; };",
     ["refers to itself"]),
    ("interface without uuid",
     HEAD + UNKNOWN + "interface IFoo : IUnknown { HRESULT F(); };",
     ["needs uuid"]),
    ("malformed uuid",
     HEAD + UNKNOWN + "[uuid(1234)] interface IFoo : IUnknown {};",
     ["needs uuid"]),
    ("unknown base",
     HEAD + UUID + "interface IFoo : IBar { HRESULT F(); };",
     ["unknown base interface IBar"]),
    ("method twice", interface("HRESULT F();\n  HRESULT F();"),
     ["method F declared twice"]),
    ("parameter twice", interface("HRESULT F([in] DWORD a, [in] DWORD a);"),
     ["parameter a declared twice"]),
    ("no direction", interface("HRESULT F(DWORD a);"), ["[in] or [out]"]),
    ("attribute twice", interface("HRESULT F([in, in] DWORD a);"),
     ["given twice"]),
    ("malformed attribute", interface("HRESULT F([in, size_is(] DWORD* a);"),
     ["malformed attribute"]),
    ("out by value", interface("HRESULT F([out] DWORD a);"),
     ["must be a [ref] pointer"]),
    ("unique out", interface("HRESULT F([out, unique] DWORD* a);"),
     ["must be a [ref] pointer"]),
    ("two pointer attributes", interface("HRESULT F([in, ref, unique] DWORD* a);"),
     ["more than one pointer attribute"]),
    ("size_is names nothing",
     interface("HRESULT F([in] DWORD n, [in, size_is(count)] DWORD* a);"),
     ["no parameter named count"]),
    ("size_is of a non-integer",
     interface("HRESULT F([in] FLOAT n, [in, size_is(n)] DWORD* a);"),
     ["not an integer"]),
    ("dereferenced size of a value",
     interface("HRESULT F([in] DWORD n, [in, size_is(*n)] DWORD* a);"),
     ["not a pointer to an integer"]),
    ("size_is beyond the pointers",
     interface("HRESULT F([in] DWORD n, [in, size_is(n, n)] DWORD* a);"),
     ["more levels"]),
    ("unreadable correlation",
     interface("HRESULT F([in] DWORD n, [in, size_is(n * 2)] DWORD* a);"),
     ["cannot read"]),
    ("length_is without size_is",
     interface("HRESULT F([in] DWORD n, [out, length_is(n)] DWORD* a);"),
     ["length_is without size_is"]),
    ("iid_is on a value",
     interface("HRESULT F([in] REFIID r, [in, iid_is(r)] DWORD a);"),
     ["not an interface pointer"]),
    ("iid_is naming a DWORD",
     interface("HRESULT F([in] DWORD r, [out, iid_is(r)] IUnknown** p);"),
     ["is not a REFIID"]),
    ("void pointer without iid_is", interface("HRESULT F([in] void* p);"),
     ["void* needs iid_is"]),
    ("interface by value", interface("HRESULT F([in] IUnknown p);"),
     ["used through a pointer"]),
    ("string on a number", interface("HRESULT F([in, string] DWORD* p);"),
     ["[string] on a type"]),
    ("odd result", interface("BOOL F();"), ["returns HRESULT, ULONG or void"]),
    ("ending array without size",
     HEAD + "struct S { DWORD n; BYTE data[]; };", ["needs size_is"]),
    ("field size of a later field",
     HEAD + "struct S { [size_is(n)] BYTE* p; FLOAT n; };", ["not an integer"]),
    ("field with a direction",
     HEAD + "struct S { [in] DWORD n; };", ["no direction"]),
    ("import of a missing file",
     HEAD + 'import "nowhere/missing.idl";', ["cannot read"]),
    ("const without a value", HEAD + "const DWORD X = ;",
     ["a number or a braced GUID"]),
]

GOOD = interface(
    "HRESULT Read([in] DWORD dwCount,\n"
    "             [in, size_is(dwCount)] DWORD* phServer,\n"
    "             [out, size_is(, dwCount)] HRESULT** ppErrors);\n"
    "  HRESULT Next([in] ULONG celt,\n"
    "               [out, size_is(celt), length_is(*fetched)] GUID* e,\n"
    "               [out] ULONG* fetched);")


class HostileInputTest(unittest.TestCase):
    def run_generator(self, text):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "test"))
            with open(os.path.join(root, "test", "x.idl"), "w") as f:
                f.write(text)
            out = os.path.join(root, "out")
            result = subprocess.run(
                [sys.executable, GENERATOR, "--root", root, "--out", out,
                 "test/x.idl"], capture_output=True, text=True, timeout=60)
            written = os.path.exists(os.path.join(out, "test", "x.h"))
            return result, written

    def test_hostile_files_are_refused(self):
        for name, text, words in HOSTILE:
            with self.subTest(name):
                result, written = self.run_generator(text)
                self.assertEqual(1, result.returncode, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
                self.assertTrue(result.stderr.startswith("test/x.idl"),
                                result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertFalse(written)

    def test_a_good_file_is_generated(self):
        result, written = self.run_generator(GOOD)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertTrue(written)


if __name__ == "__main__":
    unittest.main()
