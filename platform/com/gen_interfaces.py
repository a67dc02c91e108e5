#!/usr/bin/env python3
"""Turns an interface file into C++ declarations and interface descriptions.

    gen_interfaces.py --root SOURCE_DIR --out GENERATED_DIR FILE.idl

FILE.idl is a path below SOURCE_DIR, e.g. platform/opc/opc_da.idl. The
generator writes GENERATED_DIR/platform/opc/opc_da.h (the declarations and
the names of the descriptions) and GENERATED_DIR/platform/opc/
opc_da_descriptions.cc (the descriptions, see
platform/com/interface_description.h). A fault in the file stops it with
"FILE:LINE: message" and exit status 1.

The file's syntax is a subset of MIDL's:

    table kavex::opc::kOpcDaDescriptions;     // the table's C++ name
    import "platform/com/com_interfaces.idl"; // names only
    cpp_include "platform/com/variant.h";     // for the generated header
    typedef DWORD OPCHANDLE;
    enum OPCDATASOURCE { OPC_DS_CACHE = 1, OPC_DS_DEVICE };
    const DWORD OPC_READABLE = 0x1;
    const CATID CATID_X = {63D5F430-CFE4-11D1-B2C8-0060083BA1FB};
    struct OPCITEMDEF { [string] LPWSTR szItemID; ... };
    [uuid(39C13A4D-011E-11D0-9675-0020AFD8ADB3)]
    interface IOPCServer : IUnknown {
      HRESULT GetErrorString([in] HRESULT dwError, [in] LCID dwLocale,
                             [out, string] LPWSTR* ppString);
    };
    [uuid(0000000F-0000-0000-C000-000000000046)] interface IMoniker;

A struct, typedef or interface marked [declared_in("header.h")] is declared
by hand in that header: it is described and checked, not declared again.
Line comments right above a declaration, field, method or enumerator go into
the header with it. Parameter attributes: in, out, string, ref, unique, ptr,
size_is(...), length_is(...), iid_is(name); correlations are `name`,
`*name` or `name - N` / `name + N`, with one entry per pointer level from the
outermost (`size_is(,dwCount)`). Top-level pointers are [ref] unless marked;
embedded ones are [unique] (every interface here is pointer_default(unique)).
"""

import argparse
import os
import re
import sys


class IdlError(Exception):
    def __init__(self, where, message):
        super().__init__(f"{where}: {message}")


# name -> (kind, C++ spelling, size expression); pointer-like kinds get
# their pointer attribute from where they are used.
SCALARS = {
    "BYTE": "kByte", "WORD": "kWord", "SHORT": "kShort", "DWORD": "kDword",
    "LONG": "kLong", "ULONG": "kUlong", "BOOL": "kBool",
    "HRESULT": "kHresult", "LCID": "kLcid", "VARTYPE": "kVartype",
    "FLOAT": "kFloat", "DOUBLE": "kDouble",
}
LEAVES = {
    "GUID": ("kGuid", "GUID"), "IID": ("kGuid", "IID"),
    "CLSID": ("kGuid", "CLSID"), "FILETIME": ("kFiletime", "FILETIME"),
    "BSTR": ("kBstr", "BSTR"), "VARIANT": ("kVariant", "VARIANT"),
    "CLIPFORMAT": ("kClipFormat", "CLIPFORMAT"),
    "STGMEDIUM": ("kStgMedium", "STGMEDIUM"),
    "ASYNC_STGMEDIUM": ("kStgMedium", "STGMEDIUM"),
    "FLAG_STGMEDIUM": ("kFlagStgMedium", "STGMEDIUM"),
}
STRINGS = {"LPWSTR", "LPOLESTR", "LPCWSTR", "LPCOLESTR"}
REFERENCES = {"REFIID": "IID", "REFCLSID": "CLSID", "REFGUID": "GUID"}
POINTER_ATTRS = {"ref": "kRef", "unique": "kUnique", "ptr": "kPtr"}

TOKEN = re.compile(r"""
    (?P<space>[ \t\r]+)
  | (?P<newline>\n)
  | (?P<comment>//[^\n]*)
  | (?P<attrs>\[[^\]]+\])
  | (?P<array>\[\s*\])
  | (?P<guid>\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-
             [0-9A-Fa-f]{12}\})
  | (?P<string>"[^"\n]*")
  | (?P<number>-?(0[xX][0-9A-Fa-f]+|[0-9]+))
  | (?P<name>[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_][A-Za-z0-9_]*)*)
  | (?P<punct>[{}();,*:=])
""", re.VERBOSE)
GUID_TEXT = re.compile(
    r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
    r"[0-9A-Fa-f]{12}$")
CORRELATION = re.compile(r"^(\*?)\s*([A-Za-z_]\w*)\s*(?:([+-])\s*(\d+))?$")



def guid_initializer(text):
    """A GUID aggregate for "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"."""
    text = text.strip("{}")
    parts = text.split("-")
    data4 = parts[3] + parts[4]
    bytes4 = ", ".join(f"0x{data4[i:i + 2]}" for i in range(0, 16, 2))
    return f"GUID{{0x{parts[0]}, 0x{parts[1]}, 0x{parts[2]}, {{{bytes4}}}}}"


class Token:
    def __init__(self, kind, text, line, comments):
        self.kind, self.text, self.line = kind, text, line
        self.comments = comments  # the line comments right above it


def tokenize(text, path):
    """Tokens; each carries the comment lines right above it (a blank line
    ends a comment block without attaching it)."""
    tokens, comments, line, pos = [], [], 1, 0
    line_has_token = False
    line_has_comment = False
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise IdlError(f"{path}:{line}",
                           f"unexpected character {text[pos]!r}")
        kind, value = m.lastgroup, m.group()
        pos = m.end()
        if kind == "newline":
            if not line_has_token and not line_has_comment:
                comments = []
            line += 1
            line_has_token = line_has_comment = False
        elif kind == "comment":
            if not line_has_token:
                comments.append(value[2:].strip())
                line_has_comment = True
        elif kind != "space":
            tokens.append(Token(kind, value, line, comments))
            comments = []
            line_has_token = True
            line += value.count("\n")
    tokens.append(Token("end", "", line, []))
    return tokens


def split_top_level(text):
    """Splits at commas outside parentheses."""
    parts, depth, current = [], 0, ""
    for c in text:
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        if c == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += c
    parts.append(current.strip())
    return parts


def parse_attrs(token, path):
    """{name: argument text or None} from an [a, b(c), ...] token."""
    where = f"{path}:{token.line}"
    attrs = {}
    for part in split_top_level(token.text[1:-1]):
        m = re.match(r"^([A-Za-z_]\w*)\s*(?:\((.*)\))?$", part, re.S)
        if not m:
            raise IdlError(where, f"malformed attribute {part!r}")
        name, arg = m.group(1), m.group(2)
        if name in attrs:
            raise IdlError(where, f"attribute {name} given twice")
        attrs[name] = arg.strip() if arg is not None else None
    return attrs


class Declarator:
    """A field, parameter or typedef as written: base type name, pointer
    stars, an empty [] suffix, its name and attributes."""

    def __init__(self, base, stars, array, name, attrs, comments, where):
        self.base, self.stars, self.array, self.name = base, stars, array, name
        self.attrs, self.comments, self.where = attrs, comments, where

    def cpp_type(self):
        base = LEAVES[self.base][1] if self.base in LEAVES else self.base
        return base + "*" * (self.stars + (1 if self.array else 0))


class Enum:
    def __init__(self, name, values, comments, where):
        self.name, self.values = name, values  # [(name, value, comments)]
        self.comments, self.where = comments, where
        self.attrs = {}


class Const:
    def __init__(self, ctype, name, value, comments):
        self.ctype, self.name, self.value = ctype, name, value
        self.comments = comments


class Struct:
    def __init__(self, name, attrs, comments, where):
        self.name, self.attrs = name, attrs
        self.comments, self.where = comments, where
        self.fields = []


class Method:
    def __init__(self, name, result, comments, where):
        self.name, self.result = name, result
        self.comments, self.where = comments, where
        self.params = []


class Interface:
    def __init__(self, name, base, attrs, comments, where):
        self.name, self.base, self.attrs = name, base, attrs
        self.comments, self.where = comments, where
        self.methods = None  # None: named only, not described
        uuid = attrs.get("uuid")
        if uuid is None or not GUID_TEXT.match(uuid):
            raise IdlError(where, f"interface {name} needs uuid(...) with a "
                           "GUID")
        self.uuid = uuid.upper()

    def described(self):
        return self.methods is not None


class Module:
    """One parsed interface file."""

    def __init__(self, path):
        self.path = path
        self.table = None
        self.imports = []
        self.cpp_includes = []
        self.items = []  # declarations in file order
        self.names = {}  # name -> Declarator (typedef), Enum, Struct, Interface

    def header_path(self):
        return self.path[:-len(".idl")] + ".h"

    def namespace(self):
        return self.table.rsplit("::", 1)[0]

    def table_name(self):
        return self.table.rsplit("::", 1)[1]

    def of(self, cls):
        return [x for x in self.items if isinstance(x, cls)]


class Parser:
    def __init__(self, text, path):
        self.path = path
        self.tokens = tokenize(text, path)
        self.pos = 0

    def where(self, token):
        return f"{self.path}:{token.line}"

    def peek(self):
        return self.tokens[self.pos]

    def take(self, kind=None, text=None):
        token = self.tokens[self.pos]
        if (kind and token.kind != kind) or (text and token.text != text):
            got = token.text or "end of file"
            raise IdlError(self.where(token),
                           f"expected {text or kind}, got {got!r}")
        if token.kind != "end":
            self.pos += 1
        return token

    def at(self, text):
        return self.tokens[self.pos].text == text

    def parse(self):
        module = Module(self.path)
        while self.peek().kind != "end":
            first = self.peek()
            comments = first.comments
            attrs = parse_attrs(self.take(), self.path) \
                if first.kind == "attrs" else {}
            keyword = self.take("name")
            where = self.where(keyword)
            if keyword.text == "table":
                module.table = self.take("name").text
                if "::" not in module.table:
                    raise IdlError(where, "the table needs a namespace")
            elif keyword.text == "import":
                module.imports.append(self.take("string").text[1:-1])
            elif keyword.text == "cpp_include":
                module.cpp_includes.append(self.take("string").text[1:-1])
            elif keyword.text == "typedef":
                base = self.take("name").text
                stars = self.stars()
                name = self.take("name")
                self.add(module, Declarator(base, stars, False, name.text,
                                            attrs, comments, where))
            elif keyword.text == "enum":
                self.add(module, self.enum(attrs, comments, where))
            elif keyword.text == "const":
                ctype = self.take("name").text
                name = self.take("name").text
                self.take(text="=")
                value = self.peek()
                if value.kind not in ("number", "guid"):
                    raise IdlError(self.where(value),
                                   "expected a number or a braced GUID")
                self.take()
                module.items.append(Const(ctype, name, value.text, comments))
            elif keyword.text == "struct":
                self.add(module, self.struct(attrs, comments, where))
            elif keyword.text == "interface":
                self.add(module, self.interface(attrs, comments, where))
            else:
                raise IdlError(where, f"unknown declaration {keyword.text!r}")
            self.take(text=";")
        if module.table is None:
            raise IdlError(f"{self.path}:1", "no table declaration")
        return module

    def add(self, module, item):
        if item.name in module.names:
            raise IdlError(item.where, f"{item.name} declared twice")
        module.names[item.name] = item
        module.items.append(item)

    def stars(self):
        n = 0
        while self.at("*"):
            self.take()
            n += 1
        return n

    def enum(self, attrs, comments, where):
        name = self.take("name").text
        self.take(text="{")
        values, next_value = [], 0
        while not self.at("}"):
            token = self.take("name")
            value = next_value
            if self.at("="):
                self.take()
                value = int(self.take("number").text, 0)
            values.append((token.text, value, token.comments))
            next_value = value + 1
            if not self.at("}"):
                self.take(text=",")
        self.take(text="}")
        if not values:
            raise IdlError(where, f"enum {name} has no values")
        e = Enum(name, values, comments, where)
        e.attrs = attrs
        return e

    def declarator(self, is_param):
        first = self.peek()
        attrs = {}
        if first.kind == "attrs":
            attrs = parse_attrs(self.take(), self.path)
        elif is_param:
            raise IdlError(self.where(first),
                           "a parameter needs [in] or [out]")
        base = self.take("name").text
        stars = self.stars()
        name = self.take("name")
        array = False
        if self.peek().kind == "array":
            self.take()
            array = True
        return Declarator(base, stars, array, name.text, attrs,
                          first.comments, self.where(name))

    def struct(self, attrs, comments, where):
        s = Struct(self.take("name").text, attrs, comments, where)
        self.take(text="{")
        while not self.at("}"):
            f = self.declarator(False)
            if any(x.name == f.name for x in s.fields):
                raise IdlError(f.where, f"field {f.name} declared twice")
            s.fields.append(f)
            self.take(text=";")
        self.take(text="}")
        if not s.fields:
            raise IdlError(where, f"struct {s.name} has no fields")
        return s

    def interface(self, attrs, comments, where):
        name = self.take("name").text
        base = None
        if self.at(":"):
            self.take()
            base = self.take("name").text
        i = Interface(name, base, attrs, comments, where)
        if self.at(";"):
            return i
        i.methods = []
        self.take(text="{")
        while not self.at("}"):
            result = self.take("name")
            m = Method(self.take("name").text, result.text, result.comments,
                       self.where(result))
            self.take(text="(")
            while not self.at(")"):
                p = self.declarator(True)
                if any(x.name == p.name for x in m.params):
                    raise IdlError(p.where, f"parameter {p.name} declared "
                                   "twice")
                m.params.append(p)
                if not self.at(")"):
                    self.take(text=",")
            self.take(text=")")
            self.take(text=";")
            if any(x.name == m.name for x in i.methods):
                raise IdlError(m.where, f"method {m.name} declared twice")
            i.methods.append(m)
        self.take(text="}")
        return i


class Node:
    """A TypeDescription to emit; equal nodes are emitted once."""

    FIELDS = ("kind", "name", "pointer", "element", "size_is", "length_is",
              "iid_is", "iid", "structure", "size", "align")

    def __init__(self, kind, name, pointer="kNone", element=None,
                 size_is=None, length_is=None, iid_is=None, iid=None,
                 structure=None, size=None, align=None):
        self.kind, self.name, self.pointer = kind, name, pointer
        self.element, self.size_is, self.length_is = element, size_is, length_is
        self.iid_is, self.iid, self.structure = iid_is, iid, structure
        self.size, self.align = size, align
        self.var = None

    def key(self):
        return tuple(getattr(self, f).var if f == "element" and self.element
                     else getattr(self, f) for f in self.FIELDS)


def sized(cpp):
    return dict(size=f"sizeof({cpp})", align=f"alignof({cpp})")


POINTER = dict(size="sizeof(void*)", align="alignof(void*)")
DIRECTIONS = {(True, False): "kIn", (False, True): "kOut",
              (True, True): "kInOut"}
INTEGER_KINDS = {"kByte", "kWord", "kShort", "kDword", "kLong", "kUlong"}


class Generator:
    def __init__(self, module, imported):
        self.module, self.imported = module, imported
        self.nodes = {}  # key -> Node
        self.node_lines = []
        self.checks = []

    # -- names -----------------------------------------------------------
    def find(self, name):
        """(module, item) for a name declared in the file or its imports."""
        for m in [self.module] + self.imported:
            if name in m.names:
                return m, m.names[name]
        return None, None

    def qualified(self, module, name):
        """The C++ name of a description object as seen from this file."""
        if module is self.module:
            return f"k{name}Description"
        return f"{module.namespace()}::k{name}Description"

    def resolve(self, name, where, seen=()):
        """(kind, stars the name stands for) through typedefs."""
        if name in seen:
            raise IdlError(where, f"typedef {name} refers to itself")
        if name in SCALARS:
            return SCALARS[name], 0
        if name in LEAVES:
            return LEAVES[name][0], 0
        if name in STRINGS:
            return "kWideString", 0
        if name in REFERENCES:
            return "kReference", 0
        if name == "void":
            return "void", 0
        _, item = self.find(name)
        if isinstance(item, Declarator):
            kind, stars = self.resolve(item.base, where, seen + (name,))
            return kind, stars + item.stars
        if isinstance(item, Enum):
            return "kEnum", 0
        if isinstance(item, Struct):
            return "kStruct", 0
        if isinstance(item, Interface):
            return "interface", 0
        raise IdlError(where, f"unknown type {name}")

    # -- type trees ------------------------------------------------------
    def intern(self, node):
        key = node.key()
        if key not in self.nodes:
            node.var = f"kType{len(self.nodes)}"
            self.nodes[key] = node
            self.node_lines.append(self.emit_node(node))
        return self.nodes[key]

    def interface_node(self, name, iid_is):
        _, interface = self.find(name)
        iid = None
        if iid_is is None:
            iid = (f"IID_{name}" if interface.described() else
                   f"kIidOf{name}")
        return self.intern(Node("kInterface", name, pointer="kUnique",
                                iid=iid, iid_is=iid_is, **POINTER))

    def base_node(self, name, where, pointer, iid_is, seen=()):
        """(node, pointer stars the name itself takes) for a type name."""
        if name in seen:
            raise IdlError(where, f"typedef {name} refers to itself")
        if name in SCALARS:
            return self.intern(Node(SCALARS[name], name, **sized(name))), 0
        if name in LEAVES:
            kind, cpp = LEAVES[name]
            return self.intern(Node(kind, name, **sized(cpp))), 0
        if name in STRINGS:
            return self.intern(Node("kWideString", name, pointer=pointer,
                                    **POINTER)), 0
        if name in REFERENCES:
            guid, _ = self.base_node(REFERENCES[name], where, pointer, None)
            return self.intern(Node("kPointer", name, pointer="kRef",
                                    element=guid, **POINTER)), 0
        if name == "void":
            if iid_is is None:
                raise IdlError(where, "void* needs iid_is")
            return self.interface_node("IUnknown", iid_is), 1
        module, item = self.find(name)
        if isinstance(item, Declarator):
            node, taken = self.base_node(item.base, where, pointer, iid_is,
                                         seen + (name,))
            if node.kind == "kInterface":
                if item.stars != 1:
                    raise IdlError(where, f"typedef {name} of an interface "
                                   "must be one pointer")
                return node, 0
            if item.stars:
                raise IdlError(where, f"typedef {name}: only interface "
                               "pointers may be typedefs of pointers")
            if node.kind in ("kWideString",):
                return self.intern(Node(node.kind, name, pointer=pointer,
                                        **POINTER)), 0
            return self.intern(Node(node.kind, name, element=node.element,
                                    pointer=node.pointer,
                                    structure=node.structure,
                                    **sized(name))), 0
        if isinstance(item, Enum):
            return self.intern(Node("kEnum", name, **sized(name))), 0
        if isinstance(item, Struct):
            return self.intern(Node("kStruct", name,
                                    structure=self.qualified(module, name),
                                    **sized(name))), 0
        if isinstance(item, Interface):
            return self.interface_node(name, iid_is), 1
        raise IdlError(where, f"unknown type {name}")

    def correlation(self, text, scope, where, what):
        """C++ initializer of a Correlation for `text` in the scope."""
        m = CORRELATION.match(text)
        if not m:
            raise IdlError(where, f"{what}: cannot read {text!r}")
        deref, name, sign, number = m.groups()
        kind, entries = scope
        names = [e.name for e in entries]
        if name not in names:
            raise IdlError(where, f"{what}({text}): no {kind} named {name}")
        index = names.index(name)
        target = entries[index]
        base_kind, stars = self.resolve(target.base, target.where)
        stars += target.stars + (1 if target.array else 0)
        if what == "iid_is":
            is_iid = ((base_kind == "kReference" and stars == 0) or
                      (base_kind == "kGuid" and stars == 1))
            if deref or sign or not is_iid:
                raise IdlError(where, f"iid_is({text}): {name} is not a "
                               "REFIID or IID*")
        elif base_kind not in INTEGER_KINDS or stars != (1 if deref else 0):
            raise IdlError(where, f"{what}({text}): {name} is not "
                           f"{'a pointer to ' if deref else ''}an integer")
        addend = int(number) * (-1 if sign == "-" else 1) if sign else 0
        source = "kParameter" if kind == "parameter" else "kField"
        return (f"{{Correlation::Source::{source}, {index}, "
                f"{'true' if deref else 'false'}, {addend}}}")

    def pointer_attr(self, d, default):
        given = [a for a in POINTER_ATTRS if a in d.attrs]
        if len(given) > 1:
            raise IdlError(d.where, "more than one pointer attribute")
        return POINTER_ATTRS[given[0]] if given else default

    def level_list(self, d, what, levels, scope):
        """One correlation (or None) per pointer level."""
        result = [None] * levels
        text = d.attrs.get(what)
        if text is None:
            return result
        parts = split_top_level(text)
        if len(parts) > levels:
            raise IdlError(d.where, f"{what}({text}) names more levels than "
                           f"{d.name} has")
        for i, part in enumerate(parts):
            if part:
                result[i] = self.correlation(part, scope, d.where, what)
        return result

    def type_tree(self, d, scope, top_pointer):
        """The node of a field or parameter; correlations look in scope."""
        iid_is = None
        if "iid_is" in d.attrs:
            iid_is = self.correlation(d.attrs["iid_is"], scope, d.where,
                                      "iid_is")
        ending_array = d.array and scope[0] == "field"
        levels = d.stars + (1 if d.array and not ending_array else 0)
        base, taken = self.base_node(d.base, d.where,
                                     top_pointer if levels == 0 else
                                     "kUnique", iid_is)
        if iid_is is not None and base.kind != "kInterface":
            raise IdlError(d.where, "iid_is on a type that is not an "
                           "interface pointer")
        if taken > levels:
            raise IdlError(d.where, f"{d.base} is used through a pointer")
        levels -= taken
        if ending_array:
            if levels:
                raise IdlError(d.where, "an ending array holds no pointers")
            sizes = self.level_list(d, "size_is", 1, scope)
            lengths = self.level_list(d, "length_is", 1, scope)
            if sizes[0] is None:
                raise IdlError(d.where, "an ending array needs size_is")
            return self.array(base, sizes[0], lengths[0], d)
        sizes = self.level_list(d, "size_is", levels, scope)
        lengths = self.level_list(d, "length_is", levels, scope)
        node = base
        for level in range(levels - 1, -1, -1):
            if sizes[level] is not None:
                node = self.array(node, sizes[level], lengths[level], d)
            elif lengths[level] is not None:
                raise IdlError(d.where, "length_is without size_is")
            node = self.intern(Node(
                "kPointer", d.base + "*" * (taken + levels - level),
                pointer=top_pointer if level == 0 else "kUnique",
                element=node, **POINTER))
        if "string" in d.attrs and not self.ends_in_string(node):
            raise IdlError(d.where, "[string] on a type that is not a wide "
                           "string")
        return node

    def ends_in_string(self, node):
        while node.kind in ("kPointer", "kConformantArray",
                            "kConformantVaryingArray"):
            node = node.element
        return node.kind == "kWideString"

    def array(self, element, size, length, d):
        kind = ("kConformantVaryingArray" if length is not None else
                "kConformantArray")
        return self.intern(Node(kind, d.base + "[]", element=element,
                                size_is=size, length_is=length))

    def emit_node(self, n):
        parts = [f".kind = TypeKind::{n.kind}", f'.name = "{n.name}"']
        if n.pointer != "kNone":
            parts.append(f".pointer = PointerAttribute::{n.pointer}")
        if n.element is not None:
            parts.append(f".element = &{n.element.var}")
        for field in ("size_is", "length_is", "iid_is"):
            if getattr(n, field):
                parts.append(f".{field} = {getattr(n, field)}")
        if n.iid:
            parts.append(f".iid = &{n.iid}")
        if n.structure:
            parts.append(f".structure = &{n.structure}")
        if n.size:
            parts.append(f".memory_size = {n.size}")
            parts.append(f".memory_alignment = {n.align}")
        return (f"constexpr TypeDescription {n.var}{{\n    " +
                ",\n    ".join(parts) + "};")

    # -- descriptions ----------------------------------------------------
    def struct_description(self, s):
        lines = []
        fields = []
        for f in s.fields:
            if "in" in f.attrs or "out" in f.attrs:
                raise IdlError(f.where, "a field has no direction")
            node = self.type_tree(f, ("field", s.fields),
                                  self.pointer_attr(f, "kUnique"))
            fields.append(f'    {{"{f.name}", &{node.var}, '
                          f"offsetof({s.name}, {f.name}), "
                          f"sizeof({s.name}::{f.name})}},")
            member = f"decltype({s.name}::{f.name})"
            if f.array:
                member = f"std::remove_extent_t<{member}>"
            self.checks.append(f"static_assert(std::is_same_v<{member}, "
                               f"{f.base if f.array else f.cpp_type()}>);")
        lines.append(f"constexpr FieldDescription k{s.name}Fields[] = {{")
        lines += fields
        lines.append("};")
        return lines, (f"constexpr StructDescription k{s.name}Description{{"
                       f'"{s.name}", k{s.name}Fields, sizeof({s.name}), '
                       f"alignof({s.name})}};")

    def base_of(self, i):
        if i.base is None:
            if i.name != "IUnknown":
                raise IdlError(i.where, f"{i.name} needs a base interface")
            return None, None
        module, base = self.find(i.base)
        if not isinstance(base, Interface) or not base.described():
            raise IdlError(i.where, f"unknown base interface {i.base}")
        return module, base

    def method_count(self, i):
        _, base = self.base_of(i)
        return (self.method_count(base) if base else 0) + len(i.methods)

    def interface_description(self, i):
        base_module, base = self.base_of(i)
        first = self.method_count(base) if base else 0
        lines, methods = [], []
        for index, method in enumerate(i.methods):
            params = []
            for p in method.params:
                direction = DIRECTIONS.get(("in" in p.attrs,
                                            "out" in p.attrs))
                if direction is None:
                    raise IdlError(p.where, f"{p.name} needs [in] or [out]")
                node = self.type_tree(p, ("parameter", method.params),
                                      self.pointer_attr(p, "kRef"))
                if direction != "kIn" and not (node.kind == "kPointer" and
                                               node.pointer == "kRef"):
                    raise IdlError(p.where, f"[out] {p.name} must be a [ref] "
                                   "pointer")
                params.append((p, direction, node))
            pvar = None
            if params:
                pvar = f"k{i.name}{method.name}Params"
                lines.append(f"constexpr ParamDescription {pvar}[] = {{")
                for p, direction, node in params:
                    lines.append(f'    {{"{p.name}", Direction::{direction}, '
                                 f"&{node.var}}},")
                lines.append("};")
            methods.append(self.method_entry(i, method, first + index, pvar))
        lines.append(f"constexpr MethodDescription k{i.name}Methods[] = {{")
        lines += methods
        lines.append("};")
        base_ref = (f"&{self.qualified(base_module, base.name)}" if base
                    else "nullptr")
        return lines, (f"constexpr InterfaceDescription k{i.name}Description{{"
                       f'"{i.name}", IID_{i.name}, {base_ref}, '
                       f"k{i.name}Methods}};")

    def method_entry(self, i, method, opnum, pvar):
        if method.result not in ("HRESULT", "ULONG", "void"):
            raise IdlError(method.where, "a method returns HRESULT, ULONG or "
                           "void")
        wire = "HRESULT" if method.result == "void" else method.result
        result = self.intern(Node(SCALARS[wire], wire, **sized(wire)))
        types = [p.cpp_type() for p in method.params]
        signature = f"{method.result} ({i.name}::*)({', '.join(types)})"
        member = f"static_cast<{signature}>(&{i.name}::{method.name})"
        parts = [f'.name = "{method.name}"', f".opnum = {opnum}",
                 f".result = &{result.var}"]
        if method.result == "void":
            parts.append(".returns_void_in_process = true")
        if pvar:
            parts.append(f".params = {pvar}")
        if method.result == "ULONG":
            # AddRef and Release: described for their opnums only.
            self.checks.append(f"static_assert(std::is_same_v<decltype("
                               f"{member}), {signature}>);")
        else:
            args = ", ".join(f"InvokeArgument<{t}>(a[{n}])"
                             for n, t in enumerate(types))
            call = f"(static_cast<{i.name}*>(p)->*{member})({args})"
            a = "void* const* a" if types else "void* const*"
            body = (f"{call};\n      return S_OK;" if method.result == "void"
                    else f"return {call};")
            parts.append(f".invoke = [](void* p, {a}) -> HRESULT {{\n"
                         f"      {body}\n    }}")
        return "    {" + ",\n     ".join(parts) + "},"

    # -- files -----------------------------------------------------------
    def guard(self, path):
        return "KAVEX_" + re.sub(r"[^A-Za-z0-9]", "_", path).upper() + "_"

    def generate(self):
        """(header text, source text)."""
        m = self.module
        definitions = []  # (lines inside the anonymous namespace, object)
        for s in m.of(Struct):
            definitions.append(self.struct_description(s))
        described = [i for i in m.of(Interface) if i.described()]
        for i in described:
            definitions.append(self.interface_description(i))
        return self.header(), self.source(definitions, described)

    def header(self):
        m = self.module
        guard = self.guard(m.header_path())
        out = [f"// Generated from {m.path} by platform/com/gen_interfaces.py;"
               " do not edit.",
               "// The design: platform/com/interface_description.h.",
               f"#ifndef {guard}", f"#define {guard}", ""]
        includes = ["platform/com/interface_description.h",
                    "platform/com/unknown.h"]
        includes += [i.header_path() for i in self.imported]
        includes += m.cpp_includes
        includes += [x.attrs["declared_in"].strip('"') for x in m.items
                     if getattr(x, "attrs", {}).get("declared_in")]
        for inc in dict.fromkeys(includes):
            out.append(f'#include "{inc}"')
        out.append("")
        forwards = [i.name for i in m.of(Interface)
                    if "declared_in" not in i.attrs]
        out += [f"struct {name};" for name in forwards]
        if forwards:
            out.append("")
        previous = None
        for item in m.items:
            lines = self.declare(item)
            # A run of constants without comments between them stays
            # together.
            if (isinstance(item, Const) and isinstance(previous, Const) and
                    not item.comments and out and out[-1] == ""):
                out.pop()
            out += lines
            previous = item
        ns = m.namespace()
        out += [f"namespace {ns} {{", "",
                f"// The descriptions of {m.path}.",
                f"extern const com::DescriptionTable {m.table_name()};"]
        out += [f"extern const com::StructDescription k{s.name}Description;"
                for s in m.of(Struct)]
        out += [f"extern const com::InterfaceDescription k{i.name}Description;"
                for i in m.of(Interface) if i.described()]
        out += ["", f"}}  // namespace {ns}", "", f"#endif  // {guard}"]
        return "\n".join(out) + "\n"

    def comment(self, comments, indent=""):
        return [f"{indent}// {c}".rstrip() for c in comments]

    def declare(self, item):
        out = self.comment(item.comments)
        if isinstance(item, Const):
            value = item.value
            if value.startswith("{"):
                value = guid_initializer(value.upper())
            return out + [f"inline constexpr {item.ctype} {item.name} = "
                          f"{value};", ""]
        if "declared_in" in item.attrs:
            return []
        if isinstance(item, Declarator):
            return out + [f"using {item.name} = {item.cpp_type()};", ""]
        if isinstance(item, Enum):
            out.append(f"enum {item.name} : DWORD {{")
            for name, value, comments in item.values:
                out += self.comment(comments, "  ")
                out.append(f"  {name} = {value},")
            return out + ["};", ""]
        if isinstance(item, Struct):
            out.append(f"struct {item.name} {{")
            for f in item.fields:
                out += self.comment(f.comments, "  ")
                out.append(f"  {f.base} {f.name}[1];" if f.array else
                           f"  {f.cpp_type()} {f.name};")
            return out + ["};", ""]
        if not item.described():
            return []
        out.append(f"struct {item.name} : {item.base} {{")
        for method in item.methods:
            out += self.comment(method.comments, "  ")
            params = [f"{p.cpp_type()} {p.name}" for p in method.params]
            start = f"  virtual {method.result} {method.name}("
            single = start + ", ".join(params) + ") = 0;"
            if len(single) <= 80:
                out.append(single)
            else:
                out.append(start)
                for n, p in enumerate(params):
                    out.append(f"      {p}" + (") = 0;" if n == len(params) - 1
                                              else ","))
        out.append("};")
        out.append(f'KAVEX_DECLARE_IID({item.name}, "{{{item.uuid}}}");')
        return out + [""]

    def source(self, definitions, described):
        m = self.module
        ns = m.namespace()
        out = [f"// Generated from {m.path} by platform/com/gen_interfaces.py;"
               " do not edit.",
               f'#include "{m.header_path()}"', "",
               "#include <cstddef>", "#include <type_traits>", "",
               f"namespace {ns} {{", ""]
        if ns == "kavex::com":
            names = ()
        else:
            names = (
            "Correlation", "Direction", "FieldDescription",
            "InterfaceDescription", "InvokeArgument", "MethodDescription",
            "ParamDescription", "PointerAttribute", "StructDescription",
            "TypeDescription", "TypeKind")
        out += [f"using com::{name};" for name in names]
        out += ["", "namespace {", ""]
        for module in [m] + self.imported:
            for i in module.of(Interface):
                if not i.described():
                    # Only some tables name each of these.
                    out.append(f"[[maybe_unused]] constexpr IID "
                               f"kIidOf{i.name} = "
                               f"{guid_initializer(i.uuid)};")
        out += [""] + self.node_lines + [""]
        for inner, obj in definitions:
            out += inner
            out += ["", "}  // namespace", "", obj, "", "namespace {", ""]
        out += self.checks + [""]
        out.append("constexpr const InterfaceDescription* kInterfaces[] = {")
        out += [f"    &k{i.name}Description," for i in described]
        out.append("};")
        structs = "{}"
        if m.of(Struct):
            structs = "kStructs"
            out.append("constexpr const StructDescription* kStructs[] = {")
            out += [f"    &k{s.name}Description," for s in m.of(Struct)]
            out.append("};")
        out += ["", "}  // namespace", "",
                f"constexpr com::DescriptionTable {m.table_name()}{{"
                f"kInterfaces, {structs}}};", "", f"}}  // namespace {ns}"]
        return "\n".join(out) + "\n"


def load(root, path, stack=()):
    """The parsed file and every file it imports, directly or not."""
    if path in stack:
        raise IdlError(stack[-1], f"import of {path} makes a cycle")
    try:
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise IdlError(stack[-1] if stack else path,
                       f"cannot read {path}: {e.strerror}")
    module = Parser(text, path).parse()
    imported = []
    for name in module.imports:
        child, grandchildren = load(root, name, stack + (path,))
        for x in [child] + grandchildren:
            if all(x.path != y.path for y in imported):
                imported.append(x)
    return module, imported


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("file")
    args = parser.parse_args(argv)
    try:
        module, imported = load(args.root, args.file)
        header, source = Generator(module, imported).generate()
    except IdlError as e:
        print(e, file=sys.stderr)
        return 1
    stem = os.path.join(args.out, module.path[:-len(".idl")])
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    write_if_changed(stem + ".h", header)
    write_if_changed(stem + "_descriptions.cc", source)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
