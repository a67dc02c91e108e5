// The shared adapter steps of the packet dump utilities: the
// adapter-information report, loopback suppression, reception start and
// stop, the protocol statistics, and the hint for a missing privilege.
#ifndef KAVEX_UTILITIES_COMMON_ADAPTER_INFO_H_
#define KAVEX_UTILITIES_COMMON_ADAPTER_INFO_H_

#include <cstdio>
#include <string>

#include "utilities/common/adapter_record.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

// NDIS medium codes the utilities tell apart.
constexpr DWORD kMedium802_3 = 0;
constexpr DWORD kMedium802_5 = 1;
constexpr DWORD kMediumWan = 3;
constexpr DWORD kMediumLocalTalk = 4;
constexpr DWORD kMediumDix = 5;

// "802.3", "802.5", ... "1394" for the codes 0 to 13; null beyond.
const char* MediumName(DWORD medium);
// The object identifier of the medium's current station address.
NDIS_OID CurrentAddressOid(DWORD medium);

// The vendor description as the report keeps it: up to the first NUL,
// every run of blanks reduced to one blank, at most 80 characters.
std::string CompactDescription(const char* text, size_t size);

// Prints "Adapter Information:" and the description, medium and station
// address of record->handle, filling in the record. False when the medium
// or the address cannot be queried.
bool ReportAdapterInformation(const Request& request, AdapterRecord* record,
                              FILE* out);

// Drops the frames the adapter itself sent (Ethernet and DIX at source
// offset 6, 802.5 at 8; other media: nothing).
void DisableLoopback(const PkioApi& api, const AdapterRecord& record);

// Sets the packet filter for reception: on 802.3, 802.5 and DIX the first
// of promiscuous + directed, all local, directed that the adapter takes; on
// LocalTalk directed + broadcast. False when none is taken or the medium
// has none. Reception stop sets the filter to 0.
bool SetReceptionFilter(const Request& request, DWORD medium);
// Clears the receive counters, then SetReceptionFilter.
bool StartReception(const Request& request, AdapterRecord* record);
void StopReception(const Request& request);

ProtocolStatistics QueryProtocolStatistics(const Request& request);
void PrintProtocolStatistics(const ProtocolStatistics& statistics, FILE* out);

// After an open failure: a line saying that capture needs CAP_NET_RAW when
// the error is ERROR_ACCESS_DENIED; nothing otherwise.
void PrintPrivilegeHint(DWORD error, FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_ADAPTER_INFO_H_
