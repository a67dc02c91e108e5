// Sends raw frames out of one network interface, batching them into as few
// system calls as possible.
#ifndef KAVEX_SIMULATOR_PACKET_SENDER_H_
#define KAVEX_SIMULATOR_PACKET_SENDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kavex::simulator {

class PacketSender {
 public:
  PacketSender() = default;
  ~PacketSender();
  PacketSender(const PacketSender&) = delete;
  PacketSender& operator=(const PacketSender&) = delete;

  // False with a reason (missing interface, no CAP_NET_RAW).
  bool Open(const std::string& ifname, std::string* error);

  // Queues a copy; sends when the batch is full.
  bool Add(const std::vector<uint8_t>& frame);
  // Sends what is queued; false on a send error (see error()).
  bool Flush();

  uint64_t sent() const { return sent_; }
  const std::string& error() const { return error_; }

 private:
  static constexpr size_t kBatch = 64;
  int fd_ = -1;
  std::vector<std::vector<uint8_t>> pending_;
  size_t count_ = 0;
  uint64_t sent_ = 0;
  std::string error_;
};

}  // namespace kavex::simulator

#endif  // KAVEX_SIMULATOR_PACKET_SENDER_H_
