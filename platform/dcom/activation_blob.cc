#include "platform/dcom/activation_blob.h"

#include "platform/com/guid.h"
#include "platform/dcom/orpc.h"

namespace kavex::dcom {

namespace {

constexpr IID kIActivationPropertiesIn =
    com::GuidLiteral("{000001A2-0000-0000-C000-000000000046}");
constexpr IID kIActivationPropertiesOut =
    com::GuidLiteral("{000001A3-0000-0000-C000-000000000046}");
constexpr CLSID kClsidActivationPropertiesIn =
    com::GuidLiteral("{00000338-0000-0000-C000-000000000046}");
constexpr CLSID kClsidActivationPropertiesOut =
    com::GuidLiteral("{00000339-0000-0000-C000-000000000046}");
constexpr CLSID kClsidInstantiationInfo =
    com::GuidLiteral("{000001AB-0000-0000-C000-000000000046}");
constexpr CLSID kClsidPropsOutInfo =
    com::GuidLiteral("{00000339-0000-0000-C000-000000000046}");
constexpr CLSID kClsidScmReplyInfo =
    com::GuidLiteral("{000001B6-0000-0000-C000-000000000046}");
constexpr CLSID kClsidScmRequestInfo =
    com::GuidLiteral("{000001AA-0000-0000-C000-000000000046}");

constexpr uint32_t kMaxProperties = 16;
constexpr uint32_t kMaxInterfaces = 0x8000;
constexpr uint32_t kReferent = 0x00020000;

// A type-serialized value: the common header (version 1, little-endian,
// 8 bytes, filler) and the private one (the NDR data's length, padded to
// 8), then the data.
std::vector<uint8_t> Serialized(std::vector<uint8_t> ndr) {
  ndr.resize((ndr.size() + 7) & ~size_t{7}, 0);
  std::vector<uint8_t> out;
  rpc::WireWriter w(&out);
  w.U8(1);
  w.U8(0x10);
  w.U16(8);
  w.U32(0xcccccccc);
  w.U32(static_cast<uint32_t>(ndr.size()));
  w.U32(0);
  w.Raw(ndr.data(), ndr.size());
  return out;
}

// Checks a type serialization header; the reader is then at the data.
bool ReadSerializationHeader(rpc::WireReader* r) {
  uint8_t version = 0, endianness = 0;
  uint16_t length = 0;
  uint32_t filler = 0, object_length = 0, filler2 = 0;
  if (!r->U8(&version) || !r->U8(&endianness) || !r->U16(&length) ||
      !r->U32(&filler) || !r->U32(&object_length) || !r->U32(&filler2)) {
    return false;
  }
  if (version != 1 || endianness != 0x10 || length != 8 ||
      object_length > r->remaining()) {
    return r->Fail();
  }
  return true;
}

std::vector<uint8_t> CustomHeader(std::span<const CLSID> clsids,
                                  std::span<const uint32_t> sizes,
                                  uint32_t properties_size) {
  // Two passes: the header's own size is one of its fields.
  std::vector<uint8_t> serialized;
  uint32_t header_size = 0;
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<uint8_t> ndr;
    rpc::WireWriter w(&ndr);
    w.U32(header_size + properties_size);  // totalSize
    w.U32(header_size);
    w.U32(0);
    w.U32(2);  // destination context: another machine
    w.U32(static_cast<uint32_t>(clsids.size()));
    w.Guid(GUID{});
    w.U32(kReferent);
    w.U32(kReferent + 4);
    w.U32(0);
    w.U32(static_cast<uint32_t>(clsids.size()));
    for (const CLSID& c : clsids) w.Guid(c);
    w.U32(static_cast<uint32_t>(sizes.size()));
    for (uint32_t s : sizes) w.U32(s);
    serialized = Serialized(std::move(ndr));
    header_size = static_cast<uint32_t>(serialized.size());
  }
  return serialized;
}

std::vector<uint8_t> Blob(std::span<const CLSID> clsids,
                          const std::vector<std::vector<uint8_t>>& properties) {
  std::vector<uint32_t> sizes;
  std::vector<uint8_t> joined;
  for (const auto& p : properties) {
    sizes.push_back(static_cast<uint32_t>(p.size()));
    joined.insert(joined.end(), p.begin(), p.end());
  }
  std::vector<uint8_t> header =
      CustomHeader(clsids, sizes, static_cast<uint32_t>(joined.size()));
  std::vector<uint8_t> blob;
  rpc::WireWriter w(&blob);
  w.U32(static_cast<uint32_t>(header.size() + joined.size()));
  w.U32(0);
  w.Raw(header.data(), header.size());
  w.Raw(joined.data(), joined.size());
  return blob;
}

std::vector<uint8_t> CustomObjref(const IID& iid, const CLSID& clsid,
                                  const std::vector<uint8_t>& blob) {
  std::vector<uint8_t> out;
  rpc::WireWriter w(&out);
  w.U32(kObjrefSignature);
  w.U32(kObjrefCustom);
  w.Guid(iid);
  w.Guid(clsid);
  w.U32(0);  // no extension
  w.U32(static_cast<uint32_t>(blob.size() + 8));
  w.Raw(blob.data(), blob.size());
  return out;
}

bool ParseInstantiationInfo(std::span<const uint8_t> bytes,
                            ActivationPropertiesIn* in) {
  rpc::WireReader r(bytes);
  uint32_t class_context = 0, flags = 0, surrogate = 0, count = 0,
           inst_flag = 0, iids_ref = 0, this_size = 0;
  uint16_t major = 0, minor = 0;
  if (!ReadSerializationHeader(&r) || !r.Guid(&in->clsid) ||
      !r.U32(&class_context) || !r.U32(&flags) || !r.U32(&surrogate) ||
      !r.U32(&count) || !r.U32(&inst_flag) || !r.U32(&iids_ref) ||
      !r.U32(&this_size) || !r.U16(&major) || !r.U16(&minor)) {
    return false;
  }
  if (count < 1 || count > kMaxInterfaces || iids_ref == 0) return false;
  uint32_t conformance = 0;
  if (!r.U32(&conformance) || conformance != count ||
      count > r.remaining() / 16) {
    return false;
  }
  in->iids.resize(count);
  for (IID& iid : in->iids) {
    if (!r.Guid(&iid)) return false;
  }
  return true;
}

}  // namespace

bool ParseActivationPropertiesIn(std::span<const uint8_t> objref,
                                 ActivationPropertiesIn* in) {
  *in = {};
  rpc::WireReader r(objref);
  uint32_t signature = 0, flags = 0, extension = 0, size = 0;
  IID iid;
  CLSID clsid;
  if (!r.U32(&signature) || !r.U32(&flags) || !r.Guid(&iid) ||
      !r.Guid(&clsid) || !r.U32(&extension) || !r.U32(&size)) {
    return false;
  }
  if (signature != kObjrefSignature || flags != kObjrefCustom ||
      iid != kIActivationPropertiesIn ||
      clsid != kClsidActivationPropertiesIn || extension != 0) {
    return false;
  }
  std::span<const uint8_t> blob = r.data().subspan(r.position());
  rpc::WireReader b(blob);
  uint32_t blob_size = 0, reserved = 0;
  if (!b.U32(&blob_size) || !b.U32(&reserved) || blob_size > b.remaining()) {
    return false;
  }
  size_t header_at = b.position();
  uint32_t total = 0, header_size = 0, dw_reserved = 0, dest = 0, count = 0;
  uint32_t clsids_ref = 0, sizes_ref = 0, reserved_ref = 0;
  GUID class_info;
  if (!ReadSerializationHeader(&b) || !b.U32(&total) || !b.U32(&header_size) ||
      !b.U32(&dw_reserved) || !b.U32(&dest) || !b.U32(&count) ||
      !b.Guid(&class_info) || !b.U32(&clsids_ref) || !b.U32(&sizes_ref) ||
      !b.U32(&reserved_ref)) {
    return false;
  }
  if (count == 0 || count > kMaxProperties || clsids_ref == 0 ||
      sizes_ref == 0) {
    return false;
  }
  uint32_t value = 0;
  if (reserved_ref != 0 && !b.U32(&value)) return false;
  uint32_t conformance = 0;
  std::vector<CLSID> clsids(count);
  std::vector<uint32_t> sizes(count);
  if (!b.U32(&conformance) || conformance != count) return false;
  for (CLSID& c : clsids) {
    if (!b.Guid(&c)) return false;
  }
  if (!b.U32(&conformance) || conformance != count) return false;
  for (uint32_t& s : sizes) {
    if (!b.U32(&s)) return false;
  }
  // The properties follow the header, one after another.
  size_t at = header_at + header_size;
  if (header_size > blob.size() || at > blob.size()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (sizes[i] > blob.size() - at) return false;
    if (clsids[i] == kClsidInstantiationInfo) {
      return ParseInstantiationInfo(blob.subspan(at, sizes[i]), in);
    }
    at += sizes[i];
  }
  return false;  // no InstantiationInfo: nothing to create
}

std::vector<uint8_t> EncodeActivationPropertiesOut(
    const ActivationPropertiesOut& out) {
  const uint32_t n = static_cast<uint32_t>(out.iids.size());
  std::vector<uint8_t> props;
  {
    rpc::WireWriter w(&props);
    w.U32(n);
    w.U32(kReferent);
    w.U32(kReferent + 4);
    w.U32(kReferent + 8);
    w.U32(n);
    for (const IID& iid : out.iids) w.Guid(iid);
    w.U32(n);
    for (HRESULT hr : out.results) w.U32(static_cast<uint32_t>(hr));
    w.U32(n);
    for (uint32_t i = 0; i < n; ++i) {
      w.U32(out.objrefs[i].empty() ? 0 : kReferent + 12 + 4 * i);
    }
    for (const auto& objref : out.objrefs) {
      if (objref.empty()) continue;
      w.Align(4);
      w.U32(static_cast<uint32_t>(objref.size()));
      w.U32(static_cast<uint32_t>(objref.size()));
      w.Raw(objref.data(), objref.size());
    }
  }
  std::vector<uint8_t> reply;
  {
    rpc::WireWriter w(&reply);
    w.U32(0);  // pdwReserved
    w.U32(kReferent);
    w.Align(8);
    w.U64(out.oxid);
    w.U32(kReferent + 4);
    w.Guid(out.rem_unknown);
    w.U32(2);  // authentication hint: connect
    w.U16(kComVersionMajor);
    w.U16(kComVersionMinor);
    uint16_t offset = 0;
    std::vector<uint16_t> words = DualStringArrayWords(out.bindings, &offset);
    w.Align(4);
    w.U32(static_cast<uint32_t>(words.size()));
    w.U16(static_cast<uint16_t>(words.size()));
    w.U16(offset);
    for (uint16_t word : words) w.U16(word);
  }
  const CLSID clsids[] = {kClsidPropsOutInfo, kClsidScmReplyInfo};
  std::vector<uint8_t> blob = Blob(
      clsids, {Serialized(std::move(props)), Serialized(std::move(reply))});
  return CustomObjref(kIActivationPropertiesOut, kClsidActivationPropertiesOut,
                      blob);
}

std::vector<uint8_t> EncodeActivationPropertiesIn(
    const ActivationPropertiesIn& in) {
  // Reserved: g++ 12 at -O2 reports growth from an empty vector falsely.
  std::vector<uint8_t> info;
  info.reserve(64 + 16 * in.iids.size());
  {
    rpc::WireWriter w(&info);
    w.Guid(in.clsid);
    w.U32(0x14);  // local or remote server
    w.U32(0);
    w.U32(0);
    w.U32(static_cast<uint32_t>(in.iids.size()));
    w.U32(0);
    w.U32(kReferent);
    w.U32(0);  // thisSize, unused here
    w.U16(kComVersionMajor);
    w.U16(kComVersionMinor);
    w.U32(static_cast<uint32_t>(in.iids.size()));
    for (const IID& iid : in.iids) w.Guid(iid);
  }
  std::vector<uint8_t> request;
  request.reserve(32);
  {
    rpc::WireWriter w(&request);
    w.U32(0);
    w.U32(kReferent);
    w.U32(2);  // impersonation level
    w.U16(1);
    w.Align(4);
    w.U32(kReferent + 4);
    w.U32(1);
    w.U16(kTowerNcacnIpTcp);
  }
  const CLSID clsids[] = {kClsidInstantiationInfo, kClsidScmRequestInfo};
  std::vector<uint8_t> blob = Blob(
      clsids, {Serialized(std::move(info)), Serialized(std::move(request))});
  return CustomObjref(kIActivationPropertiesIn, kClsidActivationPropertiesIn,
                      blob);
}

}  // namespace kavex::dcom
