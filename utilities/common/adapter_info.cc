#include "utilities/common/adapter_info.h"

#include <algorithm>
#include <cstring>

#include "platform/base/results.h"

namespace kavex::utilities {
namespace {

constexpr const char* kMediumNames[] = {
    "802.3", "802.5",        "Fddi",           "Wan", "LocalTalk",
    "Dix",   "Arcnet (Raw)", "Arcnet (878.2)", "ATM", "Wireless WAN",
    "Irda",  "Bpc",          "CoWan",          "1394"};

constexpr DWORD kFilterPromiscuousDirected = 0x21;
constexpr DWORD kFilterAllLocal = 0x80;
constexpr DWORD kFilterDirected = 0x01;
constexpr DWORD kFilterDirectedBroadcast = 0x09;

// A NUL-terminated text of at most size bytes from a driver's answer.
std::string DriverText(const char* buffer, size_t size) {
  return std::string(buffer, strnlen(buffer, size));
}

}  // namespace

const char* MediumName(DWORD medium) {
  return medium < std::size(kMediumNames) ? kMediumNames[medium] : nullptr;
}

NDIS_OID CurrentAddressOid(DWORD medium) {
  switch (medium) {
    case 1:
      return 0x02010102;
    case 2:
      return 0x03010102;
    case 3:
      return 0x04010102;
    case 4:
      return 0x05010102;
    case 6:
    case 7:
      return 0x06010102;
    case 8:
      return 0x08010105;
    case 9:
      return 0x0901010C;
    default:
      return OID_802_3_CURRENT_ADDRESS;
  }
}

std::string CompactDescription(const char* text, size_t size) {
  std::string compact;
  for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
    const bool blank = text[i] == ' ' || text[i] == '\t';
    if (blank && !compact.empty() && compact.back() == ' ') continue;
    compact += blank ? ' ' : text[i];
    if (compact.size() == kMaxDescriptionLength) break;
  }
  return compact;
}

bool ReportAdapterInformation(const Request& request, AdapterRecord* record,
                              FILE* out) {
  fputs("Adapter Information:\n\n", out);
  char text[256];
  DWORD size = 0;
  if (request.Query(OID_GEN_VENDOR_DESCRIPTION, text, sizeof text, &size) ==
      NDIS_STATUS_SUCCESS) {
    record->description =
        CompactDescription(text, std::min<size_t>(size, sizeof text));
  } else {
    record->description = "Unknown";
  }
  fprintf(out, "Description    : %s\n", record->description.c_str());

  DWORD medium = 0;
  if (request.Query(OID_GEN_MEDIA_IN_USE, &medium, sizeof medium) !=
      NDIS_STATUS_SUCCESS) {
    return false;
  }
  record->medium = medium;
  if (const char* name = MediumName(medium)) {
    fprintf(out, "Adapter Medium : %s\n", name);
  }

  BYTE address[6] = {};
  if (request.Query(CurrentAddressOid(medium), address, sizeof address) !=
      NDIS_STATUS_SUCCESS) {
    return false;
  }
  memcpy(record->address, address, sizeof address);
  record->address_known = true;
  if (medium == kMediumLocalTalk) {
    // The one-byte node address is the first byte of the answer.
    fprintf(out, "Adapter Address: %2.2X\n", address[0]);
  } else {
    fprintf(out, "Adapter Address: %2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X\n",
            address[0], address[1], address[2], address[3], address[4],
            address[5]);
  }
  return true;
}

void DisableLoopback(const PkioApi& api, const AdapterRecord& record) {
  DWORD source_offset;
  switch (record.medium) {
    case kMedium802_3:
    case kMediumDix:
      source_offset = 6;
      break;
    case kMedium802_5:
      source_offset = 8;
      break;
    default:
      return;
  }
  api.DisableLoopback(record.handle, source_offset, 6, record.address);
}

bool SetReceptionFilter(const Request& request, DWORD medium) {
  switch (medium) {
    case kMedium802_3:
    case kMedium802_5:
    case kMediumDix:
      for (DWORD filter :
           {kFilterPromiscuousDirected, kFilterAllLocal, kFilterDirected}) {
        if (request.Set(OID_GEN_CURRENT_PACKET_FILTER, filter) ==
            NDIS_STATUS_SUCCESS) {
          return true;
        }
      }
      return false;
    case kMediumLocalTalk:
      return request.Set(OID_GEN_CURRENT_PACKET_FILTER,
                         kFilterDirectedBroadcast) == NDIS_STATUS_SUCCESS;
    default:
      return false;
  }
}

bool StartReception(const Request& request, AdapterRecord* record) {
  record->ResetReceiveCounters();
  return SetReceptionFilter(request, record->medium);
}

void StopReception(const Request& request) {
  request.Set(OID_GEN_CURRENT_PACKET_FILTER, 0);
}

ProtocolStatistics QueryProtocolStatistics(const Request& request) {
  ProtocolStatistics s;
  s.rx_missed_kernel = request.QueryDriverValue(OID_PKIO_RCV_MISSED_DRIVER);
  s.rx_missed_user = request.QueryDriverValue(OID_PKIO_RCV_MISSED_USER);
  s.received = request.QueryDriverValue(OID_GEN_RCV_OK);
  s.tx_missed_kernel = request.QueryDriverValue(OID_PKIO_XMIT_MISSED_DRIVER);
  s.sent = request.QueryDriverValue(OID_GEN_XMIT_OK);
  char text[80];
  DWORD size = 0;
  if (request.QueryDriver(OID_GEN_VENDOR_DESCRIPTION, text, sizeof text,
                          &size) == NDIS_STATUS_SUCCESS) {
    s.driver_description =
        DriverText(text, std::min<size_t>(size, sizeof text));
  }
  return s;
}

void PrintProtocolStatistics(const ProtocolStatistics& s, FILE* out) {
  fputs("Protocol Statistics:\n", out);
  fprintf(out, "  Driver Description          : %s\n",
          s.driver_description.c_str());
  fprintf(out, "  Received Packet Count       : %d\n", s.received);
  fprintf(out, "    Rx Missed, Kernel Resource: %d\n", s.rx_missed_kernel);
  fprintf(out, "    Rx Missed, User Resource  : %d\n", s.rx_missed_user);
  fprintf(out, "  Sent Packet Count           : %d\n", s.sent);
  fprintf(out, "    Tx Missed, Kernel Resource: %d\n", s.tx_missed_kernel);
}

void PrintPrivilegeHint(DWORD error, FILE* out) {
  if (error != static_cast<DWORD>(ERROR_ACCESS_DENIED)) return;
  fputs(
      "Capturing needs the CAP_NET_RAW capability: run as root, or give the "
      "program the capability (setcap cap_net_raw+ep PROGRAM).\n",
      out);
}

}  // namespace kavex::utilities
