#include "platform/rpc/pdu.h"

#include <cstring>

#include "platform/rpc/wire.h"

namespace kavex::rpc {

const SyntaxId kNdr20Syntax = {
    {0x8a885d04,
     0x1ceb,
     0x11c9,
     {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}},
    2,
    0};
const SyntaxId kNdr64Syntax = {
    {0x71710533,
     0xbeba,
     0x4937,
     {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}},
    1,
    0};

bool IsBindTimeFeatureSyntax(const SyntaxId& syntax, uint64_t* features) {
  if (syntax.uuid.Data1 != 0x6cb71c2c || syntax.uuid.Data2 != 0x9812 ||
      syntax.uuid.Data3 != 0x4540 || syntax.major != 1) {
    return false;
  }
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | syntax.uuid.Data4[i];
  if (features) *features = bits;
  return true;
}

const char* ParseStatusName(ParseStatus status) {
  switch (status) {
    case ParseStatus::kOk:
      return "ok";
    case ParseStatus::kNeedMore:
      return "need more bytes";
    case ParseStatus::kBadHeader:
      return "bad header";
    case ParseStatus::kUnsupportedDataRepresentation:
      return "unsupported data representation";
    case ParseStatus::kMalformed:
      return "malformed PDU";
    case ParseStatus::kTooLarge:
      return "PDU too large";
  }
  return "?";
}

namespace {

bool ReadSyntax(WireReader& r, SyntaxId* s) {
  uint32_t version = 0;
  if (!r.Guid(&s->uuid) || !r.U32(&version)) return false;
  s->major = static_cast<uint16_t>(version & 0xFFFF);
  s->minor = static_cast<uint16_t>(version >> 16);
  return true;
}

void WriteSyntax(WireWriter& w, const SyntaxId& s) {
  w.Guid(s.uuid);
  w.U32(static_cast<uint32_t>(s.major) |
        (static_cast<uint32_t>(s.minor) << 16));
}

bool ReadContexts(WireReader& r, Pdu* pdu) {
  uint8_t count = 0;
  if (!r.U8(&count) || !r.Skip(3)) return false;
  pdu->contexts.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    ContextElement e;
    uint8_t transfers = 0;
    if (!r.U16(&e.context_id) || !r.U8(&transfers) || !r.Skip(1) ||
        !ReadSyntax(r, &e.abstract_syntax)) {
      return false;
    }
    for (unsigned t = 0; t < transfers; ++t) {
      SyntaxId s;
      if (!ReadSyntax(r, &s)) return false;
      e.transfer_syntaxes.push_back(s);
    }
    pdu->contexts.push_back(std::move(e));
  }
  return true;
}

bool ReadResults(WireReader& r, Pdu* pdu) {
  uint8_t count = 0;
  if (!r.U8(&count) || !r.Skip(3)) return false;
  for (unsigned i = 0; i < count; ++i) {
    ContextResult c;
    if (!r.U16(&c.result) || !r.U16(&c.reason) ||
        !ReadSyntax(r, &c.transfer_syntax)) {
      return false;
    }
    pdu->results.push_back(c);
  }
  return true;
}

}  // namespace

ParseStatus PeekFragmentLength(std::span<const uint8_t> data,
                               size_t max_fragment, size_t* length) {
  if (data.size() < kHeaderSize) return ParseStatus::kNeedMore;
  if (data[0] != 5 || data[1] != 0) return ParseStatus::kBadHeader;
  if ((data[4] & 0xF0) != 0x10 || (data[4] & 0x0F) != 0 || data[5] != 0) {
    return ParseStatus::kUnsupportedDataRepresentation;
  }
  size_t frag =
      static_cast<size_t>(data[8]) | (static_cast<size_t>(data[9]) << 8);
  size_t auth =
      static_cast<size_t>(data[10]) | (static_cast<size_t>(data[11]) << 8);
  if (frag < kHeaderSize) return ParseStatus::kBadHeader;
  if (auth != 0 && auth + kSecTrailerSize + kHeaderSize > frag) {
    return ParseStatus::kBadHeader;
  }
  if (frag > max_fragment) return ParseStatus::kTooLarge;
  *length = frag;
  return data.size() < frag ? ParseStatus::kNeedMore : ParseStatus::kOk;
}

ParseStatus ParsePdu(std::span<const uint8_t> data, Pdu* pdu) {
  size_t frag = 0;
  ParseStatus peek = PeekFragmentLength(data, 0xFFFF, &frag);
  if (peek != ParseStatus::kOk) return peek;
  if (frag != data.size()) return ParseStatus::kMalformed;
  *pdu = Pdu();
  Header& h = pdu->header;
  h.rpc_vers = data[0];
  h.rpc_vers_minor = data[1];
  h.type = static_cast<PduType>(data[2]);
  h.flags = data[3];
  std::memcpy(h.drep, &data[4], 4);
  h.frag_length = static_cast<uint16_t>(frag);
  h.auth_length = static_cast<uint16_t>(data[10] | (data[11] << 8));
  h.call_id = static_cast<uint32_t>(data[12]) | (data[13] << 8) |
              (data[14] << 16) | (static_cast<uint32_t>(data[15]) << 24);

  // The body runs up to the sec_trailer (and its padding) when there is one.
  size_t body_end = frag;
  if (h.auth_length != 0) {
    size_t trailer = frag - h.auth_length - kSecTrailerSize;
    WireReader t(data.subspan(trailer));
    AuthVerifier& a = pdu->auth;
    uint8_t reserved = 0;
    t.U8(&a.auth_type);
    t.U8(&a.auth_level);
    t.U8(&a.auth_pad_length);
    t.U8(&reserved);
    t.U32(&a.auth_context_id);
    a.auth_value.assign(data.begin() + trailer + kSecTrailerSize,
                        data.begin() + frag);
    if (a.auth_pad_length > trailer - kHeaderSize) {
      return ParseStatus::kMalformed;
    }
    pdu->has_auth = true;
    body_end = trailer;
  }
  WireReader r(data.subspan(0, body_end));
  r.Skip(kHeaderSize);
  switch (h.type) {
    case PduType::kBind:
    case PduType::kAlterContext:
      if (!r.U16(&pdu->max_xmit_frag) || !r.U16(&pdu->max_recv_frag) ||
          !r.U32(&pdu->assoc_group_id) || !ReadContexts(r, pdu)) {
        return ParseStatus::kMalformed;
      }
      return ParseStatus::kOk;
    case PduType::kBindAck:
    case PduType::kAlterContextResp: {
      uint16_t address_length = 0;
      if (!r.U16(&pdu->max_xmit_frag) || !r.U16(&pdu->max_recv_frag) ||
          !r.U32(&pdu->assoc_group_id) || !r.U16(&address_length)) {
        return ParseStatus::kMalformed;
      }
      std::span<const uint8_t> address;
      if (!r.Bytes(address_length, &address)) return ParseStatus::kMalformed;
      if (!address.empty()) {
        pdu->secondary_address.assign(address.begin(), address.end() - 1);
      }
      if (!r.Align(4) || !ReadResults(r, pdu)) return ParseStatus::kMalformed;
      return ParseStatus::kOk;
    }
    case PduType::kBindNak:
      if (!r.U16(&pdu->reject_reason)) return ParseStatus::kMalformed;
      return ParseStatus::kOk;
    case PduType::kRequest: {
      if (!r.U32(&pdu->alloc_hint) || !r.U16(&pdu->context_id) ||
          !r.U16(&pdu->opnum)) {
        return ParseStatus::kMalformed;
      }
      if (h.flags & kPfcObjectUuid) {
        pdu->has_object = true;
        if (!r.Guid(&pdu->object)) return ParseStatus::kMalformed;
      }
      break;
    }
    case PduType::kResponse: {
      if (!r.U32(&pdu->alloc_hint) || !r.U16(&pdu->context_id) ||
          !r.U8(&pdu->cancel_count) || !r.Skip(1)) {
        return ParseStatus::kMalformed;
      }
      break;
    }
    case PduType::kFault: {
      if (!r.U32(&pdu->alloc_hint) || !r.U16(&pdu->context_id) ||
          !r.U8(&pdu->cancel_count) || !r.Skip(1) || !r.U32(&pdu->status) ||
          !r.Skip(4)) {
        return ParseStatus::kMalformed;
      }
      break;
    }
    case PduType::kAuth3:
      // Four bytes of padding precede the trailer; some clients send none.
      return ParseStatus::kOk;
    case PduType::kShutdown:
    case PduType::kCoCancel:
    case PduType::kOrphaned:
      return ParseStatus::kOk;
    default:
      return ParseStatus::kMalformed;
  }
  // request, response, fault: the rest is stub data, less the padding that
  // aligns the sec_trailer.
  size_t stub_end = body_end - (pdu->has_auth ? pdu->auth.auth_pad_length : 0);
  if (stub_end < r.position()) return ParseStatus::kMalformed;
  pdu->stub.assign(data.begin() + r.position(), data.begin() + stub_end);
  return ParseStatus::kOk;
}

void EncodePdu(const Pdu& pdu, std::vector<uint8_t>* out) {
  size_t start = out->size();
  WireWriter w(out, start);
  const Header& h = pdu.header;
  w.U8(5);
  w.U8(0);
  w.U8(static_cast<uint8_t>(h.type));
  w.U8(h.flags);
  w.U8(0x10);
  w.U8(0);
  w.U8(0);
  w.U8(0);
  w.U16(0);  // frag_length, patched below
  w.U16(pdu.has_auth ? static_cast<uint16_t>(pdu.auth.auth_value.size()) : 0);
  w.U32(h.call_id);
  switch (h.type) {
    case PduType::kBind:
    case PduType::kAlterContext:
      w.U16(pdu.max_xmit_frag);
      w.U16(pdu.max_recv_frag);
      w.U32(pdu.assoc_group_id);
      w.U8(static_cast<uint8_t>(pdu.contexts.size()));
      w.Zeros(3);
      for (const ContextElement& e : pdu.contexts) {
        w.U16(e.context_id);
        w.U8(static_cast<uint8_t>(e.transfer_syntaxes.size()));
        w.U8(0);
        WriteSyntax(w, e.abstract_syntax);
        for (const SyntaxId& s : e.transfer_syntaxes) WriteSyntax(w, s);
      }
      break;
    case PduType::kBindAck:
    case PduType::kAlterContextResp:
      w.U16(pdu.max_xmit_frag);
      w.U16(pdu.max_recv_frag);
      w.U32(pdu.assoc_group_id);
      if (pdu.secondary_address.empty()) {
        w.U16(0);
      } else {
        w.U16(static_cast<uint16_t>(pdu.secondary_address.size() + 1));
        w.Raw(pdu.secondary_address.data(), pdu.secondary_address.size());
        w.U8(0);
      }
      w.Align(4);
      w.U8(static_cast<uint8_t>(pdu.results.size()));
      w.Zeros(3);
      for (const ContextResult& c : pdu.results) {
        w.U16(c.result);
        w.U16(c.reason);
        WriteSyntax(w, c.transfer_syntax);
      }
      break;
    case PduType::kBindNak:
      w.U16(pdu.reject_reason);
      // One supported protocol version: 5.0.
      w.U8(1);
      w.U8(5);
      w.U8(0);
      break;
    case PduType::kRequest:
      w.U32(pdu.alloc_hint);
      w.U16(pdu.context_id);
      w.U16(pdu.opnum);
      if (h.flags & kPfcObjectUuid) w.Guid(pdu.object);
      w.Raw(pdu.stub.data(), pdu.stub.size());
      break;
    case PduType::kResponse:
      w.U32(pdu.alloc_hint);
      w.U16(pdu.context_id);
      w.U8(pdu.cancel_count);
      w.U8(0);
      w.Raw(pdu.stub.data(), pdu.stub.size());
      break;
    case PduType::kFault:
      w.U32(pdu.alloc_hint);
      w.U16(pdu.context_id);
      w.U8(pdu.cancel_count);
      w.U8(0);
      w.U32(pdu.status);
      w.U32(0);
      w.Raw(pdu.stub.data(), pdu.stub.size());
      break;
    case PduType::kAuth3:
      w.Zeros(4);
      break;
    default:
      break;
  }
  if (pdu.has_auth) {
    size_t pad = (4 - (out->size() - start) % 4) % 4;
    w.Zeros(pad);
    w.U8(pdu.auth.auth_type);
    w.U8(pdu.auth.auth_level);
    w.U8(static_cast<uint8_t>(pad));
    w.U8(0);
    w.U32(pdu.auth.auth_context_id);
    w.Raw(pdu.auth.auth_value.data(), pdu.auth.auth_value.size());
  }
  size_t length = out->size() - start;
  (*out)[start + 8] = static_cast<uint8_t>(length);
  (*out)[start + 9] = static_cast<uint8_t>(length >> 8);
}

}  // namespace kavex::rpc
