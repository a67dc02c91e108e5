#include "platform/rpc/ntlm.h"

#include <nettle/arcfour.h>
#include <nettle/des.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <nettle/md5.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>

#include "platform/base/results.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/wire.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::rpc {

namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

std::span<const uint8_t> Utf16Bytes(std::u16string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2};
}

// A security buffer (length, maximum length, offset) of a message; empty
// when it does not fit the message.
bool ReadField(std::span<const uint8_t> message, size_t at,
               std::span<const uint8_t>* out) {
  WireReader r(message);
  uint16_t length = 0, maximum = 0;
  uint32_t offset = 0;
  if (!r.Skip(at) || !r.U16(&length) || !r.U16(&maximum) || !r.U32(&offset)) {
    return false;
  }
  if (length == 0) {
    *out = {};
    return true;
  }
  if (offset > message.size() || length > message.size() - offset) {
    return false;
  }
  *out = message.subspan(offset, length);
  return true;
}

std::u16string ToUtf16(std::span<const uint8_t> bytes, bool unicode) {
  std::u16string s;
  if (unicode) {
    s.resize(bytes.size() / 2);
    if (!s.empty()) std::memcpy(s.data(), bytes.data(), s.size() * 2);
  } else {
    for (uint8_t b : bytes) s.push_back(b);
  }
  return s;
}

void AppendAvPair(std::vector<uint8_t>* out, uint16_t id,
                  std::span<const uint8_t> value) {
  WireWriter w(out);
  w.U16(id);
  w.U16(static_cast<uint16_t>(value.size()));
  w.Raw(value.data(), value.size());
}

bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t d = 0;
  for (size_t i = 0; i < n; ++i) d |= a[i] ^ b[i];
  return d == 0;
}

Key16 MagicKey(const uint8_t* key, size_t key_length, const char* magic) {
  std::vector<uint8_t> data(key, key + key_length);
  data.insert(data.end(), magic, magic + strlen(magic) + 1);
  return Md5(data);
}

}  // namespace

Key16 Md4(std::span<const uint8_t> data) {
  md4_ctx ctx;
  md4_init(&ctx);
  md4_update(&ctx, data.size(), data.data());
  Key16 out;
  md4_digest(&ctx, out.size(), out.data());
  return out;
}

Key16 Md5(std::span<const uint8_t> data) {
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, data.size(), data.data());
  Key16 out;
  md5_digest(&ctx, out.size(), out.data());
  return out;
}

Key16 HmacMd5(std::span<const uint8_t> key, std::span<const uint8_t> data) {
  hmac_md5_ctx ctx;
  hmac_md5_set_key(&ctx, key.size(), key.data());
  hmac_md5_update(&ctx, data.size(), data.data());
  Key16 out;
  hmac_md5_digest(&ctx, out.size(), out.data());
  return out;
}

void Rc4(std::span<const uint8_t> key, std::span<uint8_t> data) {
  arcfour_ctx ctx;
  arcfour_set_key(&ctx, key.size(), key.data());
  arcfour_crypt(&ctx, data.size(), data.data(), data.data());
}

std::array<uint8_t, 24> Desl(const Key16& key, const uint8_t data[8]) {
  uint8_t k21[21] = {};
  std::memcpy(k21, key.data(), 16);
  std::array<uint8_t, 24> out;
  for (int part = 0; part < 3; ++part) {
    const uint8_t* k7 = k21 + 7 * part;
    // Spread 56 key bits over 8 bytes; DES ignores the low (parity) bit.
    uint8_t k8[8];
    k8[0] = k7[0];
    k8[1] = static_cast<uint8_t>(k7[0] << 7 | k7[1] >> 1);
    k8[2] = static_cast<uint8_t>(k7[1] << 6 | k7[2] >> 2);
    k8[3] = static_cast<uint8_t>(k7[2] << 5 | k7[3] >> 3);
    k8[4] = static_cast<uint8_t>(k7[3] << 4 | k7[4] >> 4);
    k8[5] = static_cast<uint8_t>(k7[4] << 3 | k7[5] >> 5);
    k8[6] = static_cast<uint8_t>(k7[5] << 2 | k7[6] >> 6);
    k8[7] = static_cast<uint8_t>(k7[6] << 1);
    des_ctx ctx;
    des_set_key(&ctx, k8);  // weak keys are still usable here
    des_encrypt(&ctx, 8, out.data() + 8 * part, data);
  }
  return out;
}

std::u16string NtlmUpper(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
      c = static_cast<char16_t>(c - 0x20);
    }
  }
  return out;
}

Key16 NtOwfV1(std::u16string_view password) {
  return Md4(Utf16Bytes(password));
}

Key16 NtOwfV2(const Key16& nt_hash, std::u16string_view user,
              std::u16string_view domain) {
  std::u16string text = NtlmUpper(user);
  text += domain;
  return HmacMd5(nt_hash, Utf16Bytes(text));
}

NtlmKeys DeriveNtlmKeys(const Key16& key, uint32_t flags) {
  NtlmKeys keys;
  keys.client_signing =
      MagicKey(key.data(), 16,
               "session key to client-to-server signing key magic constant");
  keys.server_signing =
      MagicKey(key.data(), 16,
               "session key to server-to-client signing key magic constant");
  size_t seal_length = (flags & kNtlmNegotiate128)  ? 16
                       : (flags & kNtlmNegotiate56) ? 7
                                                    : 5;
  keys.client_sealing =
      MagicKey(key.data(), seal_length,
               "session key to client-to-server sealing key magic constant");
  keys.server_sealing =
      MagicKey(key.data(), seal_length,
               "session key to server-to-client sealing key magic constant");
  return keys;
}

bool NtlmServer::Negotiate(std::span<const uint8_t> negotiate,
                           std::vector<uint8_t>* challenge) {
  WireReader r(negotiate);
  uint8_t signature[8];
  uint32_t type = 0, client_flags = 0;
  if (!r.Copy(signature, 8) || std::memcmp(signature, kSignature, 8) != 0 ||
      !r.U32(&type) || type != 1 || !r.U32(&client_flags)) {
    return false;
  }
  negotiate_message_.assign(negotiate.begin(), negotiate.end());
  if (config_->random) {
    config_->random(server_challenge_);
  } else {
    while (getrandom(server_challenge_, 8, 0) != 8) {
    }
  }
  // A zero challenge is refused by some clients (and would make every
  // response replayable): draw again in the unlikely event.
  if (std::all_of(server_challenge_, server_challenge_ + 8,
                  [](uint8_t b) { return b == 0; })) {
    server_challenge_[0] = 1;
  }
  bool unicode = (client_flags & kNtlmNegotiateUnicode) != 0;
  flags_ = (unicode ? kNtlmNegotiateUnicode : kNtlmNegotiateOem) |
           kNtlmRequestTarget | kNtlmNegotiateNtlm | kNtlmNegotiateAlwaysSign |
           kNtlmTargetTypeDomain | kNtlmExtendedSessionSecurity |
           kNtlmTargetInfo | kNtlmNegotiateVersion |
           (client_flags &
            (kNtlmNegotiateSign | kNtlmNegotiateSeal | kNtlmKeyExchange |
             kNtlmNegotiate128 | kNtlmNegotiate56));

  std::vector<uint8_t> target_name;
  {
    std::u16string name = config_->netbios_domain;
    if (unicode) {
      auto b = Utf16Bytes(name);
      target_name.assign(b.begin(), b.end());
    } else {
      for (char16_t c : name) target_name.push_back(static_cast<uint8_t>(c));
    }
  }
  std::vector<uint8_t> info;
  AppendAvPair(&info, kAvNbDomainName, Utf16Bytes(config_->netbios_domain));
  AppendAvPair(&info, kAvNbComputerName, Utf16Bytes(config_->netbios_computer));
  AppendAvPair(&info, kAvDnsDomainName, Utf16Bytes(config_->dns_domain));
  AppendAvPair(&info, kAvDnsComputerName, Utf16Bytes(config_->dns_computer));
  uint64_t now = sync::CurrentClock()->FileTimeNow();
  AppendAvPair(&info, kAvTimestamp,
               {reinterpret_cast<const uint8_t*>(&now), 8});
  AppendAvPair(&info, kAvEol, {});

  challenge->clear();
  challenge->reserve(64 + target_name.size() + info.size());
  WireWriter w(challenge);
  constexpr uint32_t kPayload = 56;
  w.Raw(kSignature, 8);
  w.U32(2);
  w.U16(static_cast<uint16_t>(target_name.size()));
  w.U16(static_cast<uint16_t>(target_name.size()));
  w.U32(kPayload);
  w.U32(flags_);
  w.Raw(server_challenge_, 8);
  w.Zeros(8);
  w.U16(static_cast<uint16_t>(info.size()));
  w.U16(static_cast<uint16_t>(info.size()));
  w.U32(kPayload + static_cast<uint32_t>(target_name.size()));
  // Version 6.1 (build 7601), NTLM revision 15.
  w.U8(6);
  w.U8(1);
  w.U16(7601);
  w.Zeros(3);
  w.U8(15);
  w.Raw(target_name.data(), target_name.size());
  w.Raw(info.data(), info.size());
  challenge_message_ = *challenge;
  challenged_ = true;
  return true;
}

uint32_t NtlmMessageType(std::span<const uint8_t> message) {
  WireReader r(message);
  uint8_t signature[8];
  uint32_t type = 0;
  if (!r.Copy(signature, 8) || std::memcmp(signature, kSignature, 8) != 0 ||
      !r.U32(&type)) {
    return 0;
  }
  return type;
}

bool NtlmServer::IsEmptyAuthenticate(std::span<const uint8_t> message) {
  WireReader r(message);
  uint8_t signature[8];
  uint32_t type = 0;
  if (!r.Copy(signature, 8) || std::memcmp(signature, kSignature, 8) != 0 ||
      !r.U32(&type) || type != 3) {
    return false;
  }
  std::span<const uint8_t> nt, domain, user;
  // A message too short for the fields counts as empty too.
  if (!ReadField(message, 20, &nt) || !ReadField(message, 28, &domain) ||
      !ReadField(message, 36, &user)) {
    return message.size() < 44;
  }
  return nt.empty() && user.empty() && domain.empty();
}

DWORD NtlmServer::Authenticate(std::span<const uint8_t> message,
                               SecurityContext* context) {
  if (!challenged_) return ERROR_ACCESS_DENIED;
  challenged_ = false;  // one AUTHENTICATE per CHALLENGE
  WireReader r(message);
  uint8_t signature[8];
  uint32_t type = 0;
  if (!r.Copy(signature, 8) || std::memcmp(signature, kSignature, 8) != 0 ||
      !r.U32(&type) || type != 3) {
    return ERROR_INVALID_DATA;
  }
  std::span<const uint8_t> lm, nt, domain_bytes, user_bytes, workstation_bytes,
      encrypted_key;
  uint32_t flags = 0;
  WireReader f(message);
  if (!ReadField(message, 12, &lm) || !ReadField(message, 20, &nt) ||
      !ReadField(message, 28, &domain_bytes) ||
      !ReadField(message, 36, &user_bytes) ||
      !ReadField(message, 44, &workstation_bytes) ||
      !ReadField(message, 52, &encrypted_key) || !f.Skip(60) ||
      !f.U32(&flags)) {
    return ERROR_INVALID_DATA;
  }
  bool unicode = (flags & kNtlmNegotiateUnicode) != 0;
  std::u16string user = ToUtf16(user_bytes, unicode);
  std::u16string domain = ToUtf16(domain_bytes, unicode);
  if (user.empty() || (flags & kNtlmAnonymous)) return ERROR_ACCESS_DENIED;
  const Account* account = accounts_ ? accounts_->Find(user, domain) : nullptr;
  if (!account) return ERROR_ACCESS_DENIED;

  Key16 key_exchange_key = {};
  bool v2 = false;
  bool has_mic = false;
  if (nt.size() > 24) {
    // NTLMv2: NTProofStr, then the client's blob (starting with 1, 1).
    if (nt.size() < 16 + 28 || nt[16] != 1 || nt[17] != 1) {
      return ERROR_ACCESS_DENIED;
    }
    Key16 owf = NtOwfV2(account->nt_hash, user, domain);
    std::vector<uint8_t> data(server_challenge_, server_challenge_ + 8);
    data.insert(data.end(), nt.begin() + 16, nt.end());
    Key16 proof = HmacMd5(owf, data);
    if (!ConstantTimeEqual(proof.data(), nt.data(), 16)) {
      return ERROR_ACCESS_DENIED;
    }
    key_exchange_key = HmacMd5(owf, {proof.data(), 16});
    v2 = true;
    // The AV pairs of the blob say whether a MIC follows the version.
    WireReader av(nt.subspan(16 + 28));
    for (;;) {
      uint16_t id = 0, length = 0;
      std::span<const uint8_t> value;
      if (!av.U16(&id) || !av.U16(&length) || !av.Bytes(length, &value)) break;
      if (id == kAvEol) break;
      if (id == kAvFlags && length == 4) {
        uint32_t av_flags = 0;
        std::memcpy(&av_flags, value.data(), 4);
        has_mic = (av_flags & 0x2) != 0;
      }
    }
  } else if (nt.size() == 24) {
    // NTLMv1 only with extended session security: the LM field then holds
    // the client challenge and zeros.
    if (!(flags & kNtlmExtendedSessionSecurity) || lm.size() != 24) {
      return ERROR_ACCESS_DENIED;
    }
    std::vector<uint8_t> challenges(server_challenge_, server_challenge_ + 8);
    challenges.insert(challenges.end(), lm.begin(), lm.begin() + 8);
    Key16 digest = Md5(challenges);
    auto expected = Desl(account->nt_hash, digest.data());
    if (!ConstantTimeEqual(expected.data(), nt.data(), 24)) {
      return ERROR_ACCESS_DENIED;
    }
    Key16 session_base = Md4(account->nt_hash);
    key_exchange_key = HmacMd5(session_base, challenges);
  } else {
    return ERROR_ACCESS_DENIED;
  }

  Key16 exported = key_exchange_key;
  if ((flags & kNtlmKeyExchange) && encrypted_key.size() == 16) {
    std::memcpy(exported.data(), encrypted_key.data(), 16);
    Rc4(key_exchange_key, exported);
  }
  if (has_mic) {
    constexpr size_t kMicOffset = 72;
    if (message.size() < kMicOffset + 16) return ERROR_INVALID_DATA;
    std::vector<uint8_t> all = negotiate_message_;
    all.insert(all.end(), challenge_message_.begin(), challenge_message_.end());
    size_t at = all.size();
    all.insert(all.end(), message.begin(), message.end());
    std::memset(all.data() + at + kMicOffset, 0, 16);
    Key16 mic = HmacMd5(exported, all);
    if (!ConstantTimeEqual(mic.data(), message.data() + kMicOffset, 16)) {
      return ERROR_ACCESS_DENIED;
    }
  }
  *context = SecurityContext();
  context->authenticated = true;
  context->auth_type = 10;
  context->user = text::Utf16ToUtf8(user);
  context->domain = text::Utf16ToUtf8(domain);
  context->workstation = text::Utf16ToUtf8(ToUtf16(workstation_bytes, unicode));
  context->ntlmv2 = v2;
  context->flags = flags;
  context->session_key = exported;
  context->keys = DeriveNtlmKeys(exported, flags);
  return ERROR_SUCCESS;
}

std::vector<uint8_t> BuildNtlmNegotiate(uint32_t flags) {
  std::vector<uint8_t> out;
  out.reserve(64);
  WireWriter w(&out);
  w.Raw(kSignature, 8);
  w.U32(1);
  w.U32(flags);
  w.Zeros(16);  // no domain, no workstation
  w.U8(6);
  w.U8(1);
  w.U16(7601);
  w.Zeros(3);
  w.U8(15);
  return out;
}

bool BuildNtlmAuthenticate(std::span<const uint8_t> challenge,
                           const NtlmClientCredentials& c,
                           std::vector<uint8_t>* authenticate,
                           Key16* session_key) {
  WireReader r(challenge);
  uint8_t signature[8];
  uint32_t type = 0, flags = 0;
  uint8_t server_challenge[8];
  std::span<const uint8_t> target_info;
  if (!r.Copy(signature, 8) || std::memcmp(signature, kSignature, 8) != 0 ||
      !r.U32(&type) || type != 2 || !r.Skip(8) || !r.U32(&flags) ||
      !r.Copy(server_challenge, 8) || !ReadField(challenge, 40, &target_info)) {
    return false;
  }
  uint8_t client_challenge[8];
  if (c.client_challenge) {
    std::memcpy(client_challenge, c.client_challenge, 8);
  } else {
    while (getrandom(client_challenge, 8, 0) != 8) {
    }
  }
  std::vector<uint8_t> lm, nt;
  Key16 key_exchange_key;
  if (c.ntlmv2) {
    uint64_t timestamp = c.timestamp;
    if (timestamp == 0) {
      WireReader av(target_info);
      for (;;) {
        uint16_t id = 0, length = 0;
        std::span<const uint8_t> value;
        if (!av.U16(&id) || !av.U16(&length) || !av.Bytes(length, &value) ||
            id == kAvEol) {
          break;
        }
        if (id == kAvTimestamp && length == 8) {
          std::memcpy(&timestamp, value.data(), 8);
        }
      }
    }
    std::vector<uint8_t> blob = {1, 1, 0, 0, 0, 0, 0, 0};
    WireWriter b(&blob);
    b.U64(timestamp);
    b.Raw(client_challenge, 8);
    b.Zeros(4);
    b.Raw(target_info.data(), target_info.size());
    b.Zeros(4);
    Key16 owf = NtOwfV2(c.nt_hash, c.user, c.domain);
    std::vector<uint8_t> data(server_challenge, server_challenge + 8);
    data.insert(data.end(), blob.begin(), blob.end());
    Key16 proof = HmacMd5(owf, data);
    nt.assign(proof.begin(), proof.end());
    nt.insert(nt.end(), blob.begin(), blob.end());
    std::vector<uint8_t> lm_data(server_challenge, server_challenge + 8);
    lm_data.insert(lm_data.end(), client_challenge, client_challenge + 8);
    Key16 lm_proof = HmacMd5(owf, lm_data);
    lm.assign(lm_proof.begin(), lm_proof.end());
    lm.insert(lm.end(), client_challenge, client_challenge + 8);
    key_exchange_key = HmacMd5(owf, {proof.data(), 16});
  } else {
    lm.assign(client_challenge, client_challenge + 8);
    lm.resize(24, 0);
    std::vector<uint8_t> challenges(server_challenge, server_challenge + 8);
    challenges.insert(challenges.end(), client_challenge, client_challenge + 8);
    Key16 digest = Md5(challenges);
    auto response = Desl(c.nt_hash, digest.data());
    nt.assign(response.begin(), response.end());
    key_exchange_key = HmacMd5(Md4(c.nt_hash), challenges);
  }
  uint32_t out_flags = flags & ~kNtlmKeyExchange;
  auto domain = Utf16Bytes(c.domain);
  auto user = Utf16Bytes(c.user);
  auto workstation = Utf16Bytes(c.workstation);
  authenticate->clear();
  WireWriter w(authenticate);
  constexpr uint32_t kPayload = 72;
  uint32_t offset = kPayload;
  auto field = [&](size_t length) {
    w.U16(static_cast<uint16_t>(length));
    w.U16(static_cast<uint16_t>(length));
    w.U32(offset);
    offset += static_cast<uint32_t>(length);
  };
  w.Raw(kSignature, 8);
  w.U32(3);
  field(lm.size());
  field(nt.size());
  field(domain.size());
  field(user.size());
  field(workstation.size());
  field(0);  // no encrypted random session key
  w.U32(out_flags);
  w.U8(6);
  w.U8(1);
  w.U16(7601);
  w.Zeros(3);
  w.U8(15);
  w.Raw(lm.data(), lm.size());
  w.Raw(nt.data(), nt.size());
  w.Raw(domain.data(), domain.size());
  w.Raw(user.data(), user.size());
  w.Raw(workstation.data(), workstation.size());
  if (session_key) *session_key = key_exchange_key;
  return true;
}

}  // namespace kavex::rpc
