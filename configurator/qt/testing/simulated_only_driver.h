// For the widget tests: the real driver library, but its adapter
// enumeration shows only the simulated adapters, so that a test never
// listens on one of the machine's own interfaces.
#ifndef KAVEX_CONFIGURATOR_QT_TESTING_SIMULATED_ONLY_DRIVER_H_
#define KAVEX_CONFIGURATOR_QT_TESTING_SIMULATED_ONLY_DRIVER_H_

#include <string>

#include "platform/pkio/packet_driver.h"
#include "simulator/simulated_adapters.h"

namespace kavex::configurator::qt::testing {

class SimulatedOnlyDriver : public pkio::PacketDriver {
 public:
  PKIO_HANDLE OpenAdapterEnum() override { return real_->OpenAdapterEnum(); }
  BOOL CloseAdapterEnum(PKIO_HANDLE enumeration) override {
    return real_->CloseAdapterEnum(enumeration);
  }
  PKIO_HANDLE GetFirstAdapter(PKIO_HANDLE enumeration) override {
    return Skip(enumeration, real_->GetFirstAdapter(enumeration));
  }
  PKIO_HANDLE GetNextAdapter(PKIO_HANDLE enumeration) override {
    return Skip(enumeration, real_->GetNextAdapter(enumeration));
  }
  BOOL ReleaseAdapterEntry(PKIO_HANDLE entry) override {
    return real_->ReleaseAdapterEntry(entry);
  }
  DWORD GetAdapterNdisName(PKIO_HANDLE entry, char* buffer,
                           DWORD* size) override {
    return real_->GetAdapterNdisName(entry, buffer, size);
  }
  DWORD GetAdapterFriendlyName(PKIO_HANDLE entry, char* buffer,
                               DWORD* size) override {
    return real_->GetAdapterFriendlyName(entry, buffer, size);
  }
  PKIO_HANDLE OpenAdapter(const char* ndis_name) override {
    return real_->OpenAdapter(ndis_name);
  }
  BOOL CloseAdapter(PKIO_HANDLE adapter) override {
    return real_->CloseAdapter(adapter);
  }
  DWORD GetLastError() override { return real_->GetLastError(); }
  BOOL IsWindows95() override { return real_->IsWindows95(); }
  BOOL SetBpfProgram(PKIO_HANDLE adapter, const void* program,
                     DWORD length_bytes) override {
    return real_->SetBpfProgram(adapter, program, length_bytes);
  }
  BOOL SetTimestampResolution(PKIO_HANDLE adapter, DWORD resolution) override {
    return real_->SetTimestampResolution(adapter, resolution);
  }
  NDIS_STATUS MakeNdisRequest(PKIO_HANDLE adapter, PKIO_NDIS_REQUEST* request,
                              OVERLAPPED* overlapped, BOOL wait) override {
    return real_->MakeNdisRequest(adapter, request, overlapped, wait);
  }
  DWORD PostRead(PKIO_HANDLE adapter, PKIO_PACKET* packet,
                 OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine) override {
    return real_->PostRead(adapter, packet, overlapped, routine);
  }
  BOOL CancelPacketRead(PKIO_HANDLE adapter, OVERLAPPED* overlapped) override {
    return real_->CancelPacketRead(adapter, overlapped);
  }

 private:
  // The first simulated adapter from `entry` on.
  PKIO_HANDLE Skip(PKIO_HANDLE enumeration, PKIO_HANDLE entry) {
    while (entry != PKIO_INVALID_HANDLE && !Simulated(entry)) {
      real_->ReleaseAdapterEntry(entry);
      entry = real_->GetNextAdapter(enumeration);
    }
    return entry;
  }
  bool Simulated(PKIO_HANDLE entry) {
    char name[512] = {};
    DWORD size = sizeof name;
    if (real_->GetAdapterNdisName(entry, name, &size) != 0) return false;
    return std::string(name).rfind(simulator::kSimulatedNdisPrefix, 0) == 0;
  }

  pkio::PacketDriver* const real_ = pkio::RealPacketDriver();
};

}  // namespace kavex::configurator::qt::testing

#endif  // KAVEX_CONFIGURATOR_QT_TESTING_SIMULATED_ONLY_DRIVER_H_
