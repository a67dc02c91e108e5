// PDU parsing and reassembly: the bytes go to a connection (in pieces whose
// sizes the first byte chooses), which logs on, binds, reassembles and
// dispatches to an echo interface; every reply is parsed back.
#include <cstdint>

#include "platform/log/logger.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The connection's warnings about bad input would only slow the search.
  static bool quiet = (kavex::log::SetSink({}), true);
  (void)quiet;
  static kavex::rpc::testing::EchoDispatcher dispatcher;
  static kavex::rpc::AccountStore accounts =
      kavex::rpc::testing::TestAccounts();
  static kavex::rpc::NtlmServerConfig ntlm;
  static kavex::rpc::ConnectionConfig config = [] {
    kavex::rpc::ConnectionConfig c;
    c.dispatcher = &dispatcher;
    c.ntlm = &ntlm;
    c.accounts = &accounts;
    c.limits.min_fragment = 64;
    c.limits.max_call_bytes = 1 << 16;
    return c;
  }();
  kavex::rpc::Pdu pdu;
  kavex::rpc::ParsePdu({data + 1, size - 1}, &pdu);
  kavex::rpc::Connection connection(1, &config);
  size_t piece = data[0] ? data[0] : size;
  for (size_t at = 1; at < size; at += piece) {
    connection.Receive({data + at, std::min(piece, size - at)});
    connection.DispatchPendingForTesting();
  }
  const std::vector<uint8_t>& out = connection.output();
  size_t at = 0, length = 0;
  while (kavex::rpc::PeekFragmentLength({out.data() + at, out.size() - at},
                                        0xFFFF, &length) ==
         kavex::rpc::ParseStatus::kOk) {
    if (kavex::rpc::ParsePdu({out.data() + at, length}, &pdu) !=
        kavex::rpc::ParseStatus::kOk) {
      __builtin_trap();  // our own replies must parse
    }
    at += length;
  }
  return 0;
}
