// Little-endian reading and writing of wire bytes, shared by the PDU codec,
// NTLM and NDR. The reader never reads past its span: every read reports
// false instead, and the reader stays failed. Alignment counts from the
// start of the span (reader) or from `base` (writer).
#ifndef KAVEX_PLATFORM_RPC_WIRE_H_
#define KAVEX_PLATFORM_RPC_WIRE_H_

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/base/types.h"

namespace kavex::rpc {

class WireReader {
 public:
  explicit WireReader(std::span<const uint8_t> data) : data_(data) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return failed_ ? 0 : data_.size() - pos_; }
  bool failed() const { return failed_; }
  std::span<const uint8_t> data() const { return data_; }

  bool Skip(size_t n) {
    if (failed_ || n > data_.size() - pos_) return Fail();
    pos_ += n;
    return true;
  }
  bool Align(size_t a) { return Skip((a - pos_ % a) % a); }
  bool Bytes(size_t n, std::span<const uint8_t>* out) {
    if (failed_ || n > data_.size() - pos_) return Fail();
    *out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool Copy(void* out, size_t n) {
    if (failed_ || n > data_.size() - pos_) return Fail();
    if (n == 0) return true;
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool U8(uint8_t* v) { return Copy(v, 1); }
  bool U16(uint16_t* v) { return Copy(v, 2); }
  bool U32(uint32_t* v) { return Copy(v, 4); }
  bool U64(uint64_t* v) { return Copy(v, 8); }
  bool Guid(GUID* g) {
    return U32(&g->Data1) && U16(&g->Data2) && U16(&g->Data3) &&
           Copy(g->Data4, 8);
  }
  // Fails the reader for good (a value read was inconsistent).
  bool Fail() {
    failed_ = true;
    return false;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool failed_ = false;
};

// Appends to a byte vector (this machine is little-endian, as the wire).
class WireWriter {
 public:
  explicit WireWriter(std::vector<uint8_t>* out, size_t base = 0)
      : out_(out), base_(base) {}

  size_t position() const { return out_->size() - base_; }
  void Raw(const void* p, size_t n) {
    if (n == 0) return;
    size_t at = out_->size();
    out_->resize(at + n);
    std::memcpy(out_->data() + at, p, n);
  }
  void Zeros(size_t n) { out_->resize(out_->size() + n, 0); }
  void Align(size_t a) { Zeros((a - position() % a) % a); }
  void U8(uint8_t v) { out_->push_back(v); }
  void U16(uint16_t v) { Raw(&v, 2); }
  void U32(uint32_t v) { Raw(&v, 4); }
  void U64(uint64_t v) { Raw(&v, 8); }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    Raw(g.Data4, 8);
  }
  // Overwrites 4 bytes at a position taken earlier.
  void PatchU32(size_t position, uint32_t v) {
    std::memcpy(out_->data() + base_ + position, &v, 4);
  }
  std::vector<uint8_t>& bytes() { return *out_; }

 private:
  std::vector<uint8_t>* out_;
  size_t base_;
};

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_WIRE_H_
