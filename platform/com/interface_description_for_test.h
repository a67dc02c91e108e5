// Test helpers for interface descriptions: a reader of the interfaces and
// structures a C++ header declares (to check that descriptions cover every
// declared method and field, in order), the natural C layout computed from a
// structure's description, and a compact IDL-like text of a type tree.
#ifndef KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_FOR_TEST_H_
#define KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_FOR_TEST_H_

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/interface_description.h"

namespace kavex::com::testing {

struct DeclaredMethod {
  std::string name;
  std::vector<std::string> params;  // names, in order
};

struct DeclaredStruct {
  std::string base;                     // empty for a plain structure
  std::vector<DeclaredMethod> methods;  // pure virtual methods, in order
  std::vector<std::string> fields;      // data members, in order
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\n");
  size_t e = s.find_last_not_of(" \t\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The last identifier of a declaration ("const IID& riid" -> "riid",
// "BYTE tdData[1]" -> "tdData").
inline std::string DeclaredName(const std::string& declaration) {
  static const std::regex kName(R"(([A-Za-z_]\w*)\s*(\[[^\]]*\])?\s*$)");
  std::smatch m;
  return std::regex_search(declaration, m, kName) ? m[1].str() : "";
}

// Every `struct Name [: Base] { ... };` of the header text, by name. Members
// are read from the simple shapes our headers use: `virtual R Name(T a, U b)
// = 0;` and `Type name;`. A structure holding a nested block (a union) lists
// no fields.
inline std::map<std::string, DeclaredStruct> ReadDeclarations(
    std::string text) {
  text = std::regex_replace(text, std::regex(R"(//[^\n]*)"), "");
  std::map<std::string, DeclaredStruct> out;
  static const std::regex kStruct(
      R"(\bstruct\s+([A-Za-z_]\w*)\s*(?::\s*(?:public\s+)?([A-Za-z_]\w*))?\s*\{)");
  static const std::regex kMethod(
      R"(virtual\s+[\w\s\*&]+?\b([A-Za-z_]\w*)\s*\(([^)]*)\)\s*=\s*0\s*;)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kStruct);
       it != std::sregex_iterator(); ++it) {
    size_t open = it->position() + it->length() - 1;
    size_t close = open + 1;
    for (int depth = 1; close < text.size() && depth > 0; ++close) {
      if (text[close] == '{') ++depth;
      if (text[close] == '}') --depth;
    }
    std::string body = text.substr(open + 1, close - open - 2);
    DeclaredStruct& s = out[(*it)[1].str()];
    s.base = (*it)[2].str();
    for (auto m = std::sregex_iterator(body.begin(), body.end(), kMethod);
         m != std::sregex_iterator(); ++m) {
      DeclaredMethod method{(*m)[1].str(), {}};
      std::stringstream params((*m)[2].str());
      std::string param;
      while (std::getline(params, param, ','))
        if (!Trim(param).empty() && Trim(param) != "void")
          method.params.push_back(DeclaredName(param));
      s.methods.push_back(method);
    }
    if (s.base.empty() && body.find('{') == std::string::npos) {
      std::stringstream statements(body);
      std::string statement;
      while (std::getline(statements, statement, ';')) {
        statement = Trim(statement);
        if (statement.empty() || statement.find('(') != std::string::npos ||
            statement.rfind("static", 0) == 0 ||
            statement.rfind("using", 0) == 0)
          continue;
        s.fields.push_back(DeclaredName(statement));
      }
    }
  }
  return out;
}

// Differences between a table and the declarations its interfaces and
// structures have in the headers read: a missing declaration, another base,
// methods or parameters missing, extra or out of order. With
// `every_declared_interface`, an interface of the headers that the table
// does not describe is a difference too. Empty when they agree.
inline std::vector<std::string> CompareWithDeclarations(
    const DescriptionTable& table,
    const std::map<std::string, DeclaredStruct>& declared,
    bool every_declared_interface) {
  std::vector<std::string> problems;
  for (const InterfaceDescription* i : table.interfaces) {
    auto found = declared.find(i->name);
    if (found == declared.end()) {
      problems.push_back(std::string(i->name) + ": not declared");
      continue;
    }
    const DeclaredStruct& d = found->second;
    std::string base = i->base != nullptr ? i->base->name : "";
    if (d.base != base)
      problems.push_back(std::string(i->name) + ": declared on '" + d.base +
                         "', described on '" + base + "'");
    std::vector<std::string> described;
    for (const MethodDescription& m : i->methods) {
      std::string text = std::string(m.name) + "(";
      for (const ParamDescription& p : m.params)
        text += std::string(p.name) + (&p == &m.params.back() ? "" : ", ");
      described.push_back(text + ")");
    }
    std::vector<std::string> declared_methods;
    for (const DeclaredMethod& m : d.methods) {
      std::string text = m.name + "(";
      for (size_t n = 0; n < m.params.size(); ++n)
        text += m.params[n] + (n + 1 == m.params.size() ? "" : ", ");
      declared_methods.push_back(text + ")");
    }
    if (described != declared_methods) {
      std::string text = std::string(i->name) + ": declared";
      for (const std::string& m : declared_methods) text += " " + m;
      text += "; described";
      for (const std::string& m : described) text += " " + m;
      problems.push_back(text);
    }
  }
  for (const StructDescription* s : table.structs) {
    auto found = declared.find(s->name);
    std::vector<std::string> fields;
    for (const FieldDescription& f : s->fields) fields.push_back(f.name);
    if (found == declared.end() || found->second.fields != fields)
      problems.push_back(std::string(s->name) +
                         ": fields differ from the declaration");
  }
  if (every_declared_interface) {
    for (const auto& [name, d] : declared)
      if (!d.base.empty() && FindInterface(table, name) == nullptr)
        problems.push_back(name + ": declared but not described");
  }
  return problems;
}

// Differences between a structure's recorded layout (offsetof, sizeof) and
// the natural C layout of its described fields: each field at the next
// multiple of its alignment, the size rounded up to the largest one. An
// ending conformant array counts as one element.
inline std::vector<std::string> LayoutProblems(const StructDescription& s) {
  std::vector<std::string> problems;
  uint32_t offset = 0;
  uint32_t alignment = 1;
  for (const FieldDescription& f : s.fields) {
    const TypeDescription* t = f.type;
    uint32_t size = t->memory_size;
    uint32_t align = t->memory_alignment;
    if (t->kind == TypeKind::kConformantArray) {
      size = t->element->memory_size;
      align = t->element->memory_alignment;
    }
    if (size == 0 || align == 0) {
      problems.push_back(std::string(s.name) + "." + f.name + ": no size");
      continue;
    }
    offset = (offset + align - 1) / align * align;
    if (f.offset != offset || f.size != size)
      problems.push_back(std::string(s.name) + "." + f.name + ": at " +
                         std::to_string(f.offset) + " size " +
                         std::to_string(f.size) + ", natural " +
                         std::to_string(offset) + " size " +
                         std::to_string(size));
    offset += size;
    if (align > alignment) alignment = align;
  }
  uint32_t size = (offset + alignment - 1) / alignment * alignment;
  if (s.size != size || s.alignment != alignment)
    problems.push_back(
        std::string(s.name) + ": size " + std::to_string(s.size) +
        " alignment " + std::to_string(s.alignment) + ", natural " +
        std::to_string(size) + " and " + std::to_string(alignment));
  return problems;
}

inline std::string CorrelationText(const Correlation& c,
                                   const MethodDescription* method,
                                   const StructDescription* structure) {
  std::string name = "?";
  if (c.source == Correlation::Source::kParameter && method != nullptr &&
      c.index < method->params.size())
    name = method->params[c.index].name;
  if (c.source == Correlation::Source::kField && structure != nullptr &&
      c.index < structure->fields.size())
    name = structure->fields[c.index].name;
  std::string text = (c.dereference ? "*" : "") + name;
  if (c.addend < 0) text += " - " + std::to_string(-c.addend);
  if (c.addend > 0) text += " + " + std::to_string(c.addend);
  return text;
}

inline const char* PointerText(PointerAttribute p) {
  switch (p) {
    case PointerAttribute::kRef:
      return "ref";
    case PointerAttribute::kUnique:
      return "unique";
    case PointerAttribute::kPtr:
      return "ptr";
    case PointerAttribute::kNone:
      break;
  }
  return "none";
}

// A type tree as text, correlations by name: "ref* unique*
// OPCITEMSTATE[size_is(dwCount)]", "ref* string(unique)", "ref*
// iid_is(riid)", "IEnumString*".
inline std::string TypeText(const TypeDescription* t,
                            const MethodDescription* method,
                            const StructDescription* structure = nullptr) {
  switch (t->kind) {
    case TypeKind::kPointer:
      return std::string(PointerText(t->pointer)) + "* " +
             TypeText(t->element, method, structure);
    case TypeKind::kConformantArray:
    case TypeKind::kConformantVaryingArray: {
      std::string text = TypeText(t->element, method, structure) + "[size_is(" +
                         CorrelationText(t->size_is, method, structure) + ")";
      if (t->kind == TypeKind::kConformantVaryingArray)
        text += ", length_is(" +
                CorrelationText(t->length_is, method, structure) + ")";
      return text + "]";
    }
    case TypeKind::kWideString:
      return std::string("string(") + PointerText(t->pointer) + ")";
    case TypeKind::kInterface:
      if (t->iid_is.IsSet())
        return "iid_is(" + CorrelationText(t->iid_is, method, structure) + ")";
      return std::string(t->name) + "*";
    default:
      return t->name;
  }
}

}  // namespace kavex::com::testing

#endif  // KAVEX_PLATFORM_COM_INTERFACE_DESCRIPTION_FOR_TEST_H_
