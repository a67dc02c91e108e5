// A frame source for the library's own tests: "\Device\Test\<name>" adapters
// that hear exactly the frames a test sends them, with whatever wire length
// it claims, and no privilege needed. Install() adds the source once per
// process; Declare() makes a name enumerable and openable.
#ifndef KAVEX_PLATFORM_PKIO_TESTING_TEST_LAN_H_
#define KAVEX_PLATFORM_PKIO_TESTING_TEST_LAN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kavex::pkio::testing {

inline constexpr char kTestPrefix[] = "\\Device\\Test\\";

// Adds the source (idempotent).
void InstallTestLan();
// "\Device\Test\<name>" with this friendly name; enumerated in declaration
// order. Declaring it again changes nothing.
void DeclareTestLan(const std::string& name, const std::string& friendly_name);
void RemoveTestLan(const std::string& name);
// Queues a frame to every open adapter of the LAN, as if it arrived now;
// wire_length 0 is the frame's size, a larger one says the frame was cut.
// Returns how many adapters will hear it.
int SendOnTestLan(const std::string& name, const std::vector<uint8_t>& frame,
                  uint32_t wire_length = 0);

}  // namespace kavex::pkio::testing

#endif  // KAVEX_PLATFORM_PKIO_TESTING_TEST_LAN_H_
