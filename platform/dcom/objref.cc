#include "platform/dcom/objref.h"

namespace kavex::dcom {

namespace {

// Words of a DUALSTRINGARRAY may not exceed what a u16 count can name.
constexpr size_t kMaxWords = 0xffff;

void AppendString(const std::u16string& s, std::vector<uint16_t>* words) {
  for (char16_t c : s) {
    // An embedded NUL would end the entry early on the other side.
    if (c != 0) words->push_back(static_cast<uint16_t>(c));
  }
  words->push_back(0);
}

// Reads a NUL-terminated string from words[*at..end); false when none ends.
bool TakeString(std::span<const uint16_t> words, size_t end, size_t* at,
                std::u16string* out) {
  out->clear();
  while (*at < end) {
    uint16_t c = words[(*at)++];
    if (c == 0) return true;
    out->push_back(static_cast<char16_t>(c));
  }
  return false;
}

}  // namespace

std::vector<uint16_t> DualStringArrayWords(const DualStringArray& array,
                                           uint16_t* security_offset) {
  std::vector<uint16_t> words;
  for (const StringBinding& b : array.strings) {
    words.push_back(b.tower_id);
    AppendString(b.network_address, &words);
  }
  if (array.strings.empty()) words.push_back(0);
  words.push_back(0);
  *security_offset = static_cast<uint16_t>(words.size());
  for (const SecurityBinding& b : array.security) {
    words.push_back(b.authn_service);
    words.push_back(b.authz_service);
    AppendString(b.principal_name, &words);
  }
  if (array.security.empty()) words.push_back(0);
  words.push_back(0);
  return words;
}

bool ParseDualStringArrayWords(std::span<const uint16_t> words,
                               uint16_t security_offset,
                               DualStringArray* array) {
  *array = {};
  if (security_offset > words.size() || security_offset < 1) return false;
  size_t at = 0;
  size_t end = security_offset;
  // String bindings up to an empty entry (a zero tower id).
  while (true) {
    if (at >= end) return false;
    uint16_t tower = words[at++];
    if (tower == 0) break;
    StringBinding b;
    b.tower_id = tower;
    if (!TakeString(words, end, &at, &b.network_address)) return false;
    array->strings.push_back(std::move(b));
  }
  at = security_offset;
  end = words.size();
  while (true) {
    if (at >= end) return false;
    uint16_t authn = words[at++];
    if (authn == 0) break;
    SecurityBinding b;
    b.authn_service = authn;
    if (at >= end) return false;
    b.authz_service = words[at++];
    if (!TakeString(words, end, &at, &b.principal_name)) return false;
    array->security.push_back(std::move(b));
  }
  return true;
}

void WriteDualStringArray(const DualStringArray& array, rpc::WireWriter* w) {
  uint16_t offset = 0;
  std::vector<uint16_t> words = DualStringArrayWords(array, &offset);
  w->U16(static_cast<uint16_t>(words.size()));
  w->U16(offset);
  for (uint16_t word : words) w->U16(word);
}

namespace {

bool ReadWords(rpc::WireReader* r, size_t count, uint16_t offset,
               DualStringArray* array) {
  if (count > kMaxWords || count * 2 > r->remaining()) return r->Fail();
  std::vector<uint16_t> words(count);
  if (!r->Copy(words.data(), count * 2)) return false;
  if (!ParseDualStringArrayWords(words, offset, array)) return r->Fail();
  return true;
}

}  // namespace

bool ReadDualStringArray(rpc::WireReader* r, DualStringArray* array) {
  uint16_t count = 0, offset = 0;
  if (!r->U16(&count) || !r->U16(&offset)) return false;
  return ReadWords(r, count, offset, array);
}

void WriteDualStringArrayPointer(const DualStringArray& array,
                                 rpc::WireWriter* w) {
  uint16_t offset = 0;
  std::vector<uint16_t> words = DualStringArrayWords(array, &offset);
  w->Align(4);
  w->U32(0x00020000);  // referent id
  w->U32(static_cast<uint32_t>(words.size()));
  w->U16(static_cast<uint16_t>(words.size()));
  w->U16(offset);
  for (uint16_t word : words) w->U16(word);
}

bool ReadDualStringArrayPointer(rpc::WireReader* r, DualStringArray* array,
                                bool* present) {
  *array = {};
  *present = false;
  uint32_t referent = 0;
  if (!r->Align(4) || !r->U32(&referent)) return false;
  if (referent == 0) return true;
  uint32_t conformance = 0;
  uint16_t count = 0, offset = 0;
  if (!r->U32(&conformance) || !r->U16(&count) || !r->U16(&offset)) {
    return false;
  }
  if (conformance != count) return r->Fail();
  if (!ReadWords(r, count, offset, array)) return false;
  *present = true;
  return true;
}

void WriteStdObjref(const StdObjref& std, rpc::WireWriter* w) {
  w->U32(std.flags);
  w->U32(std.public_refs);
  w->U64(std.oxid);
  w->U64(std.oid);
  w->Guid(std.ipid);
}

bool ReadStdObjref(rpc::WireReader* r, StdObjref* std) {
  return r->U32(&std->flags) && r->U32(&std->public_refs) &&
         r->U64(&std->oxid) && r->U64(&std->oid) && r->Guid(&std->ipid);
}

std::vector<uint8_t> EncodeObjref(const Objref& objref) {
  std::vector<uint8_t> out;
  rpc::WireWriter w(&out);
  w.U32(kObjrefSignature);
  w.U32(kObjrefStandard);
  w.Guid(objref.iid);
  WriteStdObjref(objref.std, &w);
  WriteDualStringArray(objref.resolver_address, &w);
  return out;
}

bool DecodeObjref(std::span<const uint8_t> bytes, Objref* objref) {
  *objref = {};
  rpc::WireReader r(bytes);
  uint32_t signature = 0, flags = 0;
  if (!r.U32(&signature) || !r.U32(&flags) || !r.Guid(&objref->iid)) {
    return false;
  }
  if (signature != kObjrefSignature || flags != kObjrefStandard) return false;
  if (!ReadStdObjref(&r, &objref->std)) return false;
  if (!ReadDualStringArray(&r, &objref->resolver_address)) return false;
  return r.remaining() == 0;
}

std::u16string TcpBindingAddress(const std::string& host, uint16_t port) {
  std::string s = host + "[" + std::to_string(port) + "]";
  return std::u16string(s.begin(), s.end());
}

}  // namespace kavex::dcom
