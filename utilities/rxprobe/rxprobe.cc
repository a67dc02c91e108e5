#include "utilities/rxprobe/rxprobe.h"

#include <algorithm>
#include <cctype>

#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "utilities/common/adapter_info.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

constexpr DWORD kStopWaitMs = 5000;
// A description longer than this is not believed either.
constexpr DWORD kMaxDescriptionQuery = 65536;

void PrintUsage(FILE* out) {
  fputs("Usage: Rxprobe /a AdapterName1 [ /b AdapterName2 options ]\r\n\n",
        out);
  fputs("    Example: Rxprobe /a \\Device\\Ne20002\n", out);
  fputs("\nWhere the \"AdapterName1\" is really the exported DosDevice name\n",
        out);
  fputs("of the MAC adapter.\n", out);
}

}  // namespace

Rxprobe::Adapter::~Adapter() {
  // No completion runs once the adapter is closed; then the nodes may go.
  if (handle != PKIO_INVALID_HANDLE) api->CloseAdapter(handle);
  nodes.reset();
}

Rxprobe::Rxprobe(const PkioApi& api, Console& console)
    : api_(api), console_(console), out_(console.out()) {}

std::unique_ptr<Rxprobe::Adapter> Rxprobe::OpenAdapter(const std::string& name,
                                                       DWORD identity) {
  auto adapter = std::make_unique<Adapter>();
  adapter->probe = this;
  adapter->api = &api_;
  adapter->name = name;
  adapter->identity = identity;
  adapter->event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!adapter->event) {
    fputs("Could Not Create Event\n", out_);
    return nullptr;
  }
  adapter->handle = api_.OpenAdapterA(adapter->name.c_str());
  if (adapter->handle == PKIO_INVALID_HANDLE) {
    const DWORD error = api_.GetLastError();
    fprintf(out_, "Could Not Open Adapter; Error 0x%8.8X\n", error);
    PrintPrivilegeHint(error, out_);
    return nullptr;
  }
  const Request request{api_, adapter->handle, adapter->event.get()};

  // Asked first with no buffer, for the size it needs.
  DWORD needed = 0;
  const NDIS_STATUS first =
      request.Query(OID_GEN_VENDOR_DESCRIPTION, nullptr, 0, &needed);
  if ((first == NDIS_STATUS_INVALID_LENGTH ||
       first == NDIS_STATUS_BUFFER_TOO_SHORT) &&
      needed > 0 && needed < kMaxDescriptionQuery) {
    std::vector<char> text(needed + 1, '\0');
    DWORD written = 0;
    if (request.Query(OID_GEN_VENDOR_DESCRIPTION, text.data(), needed + 1,
                      &written) == NDIS_STATUS_SUCCESS) {
      text[std::min(written, needed)] = '\0';
      adapter->description = text.data();
    }
  }
  fprintf(
      out_, "Description: \"%s\"\n",
      adapter->description.empty() ? "Unknown" : adapter->description.c_str());

  LONG size = -1;
  LONG medium = -1;
  const bool size_known = request.Query(OID_GEN_MAXIMUM_TOTAL_SIZE, &size,
                                        sizeof size) == NDIS_STATUS_SUCCESS;
  if (!size_known) size = -1;
  fprintf(out_, "Maximum Total Size: %d\n", size);
  const bool medium_known = request.Query(OID_GEN_MEDIA_IN_USE, &medium,
                                          sizeof medium) == NDIS_STATUS_SUCCESS;
  if (!medium_known) medium = -1;
  fprintf(out_, "Media In Use: %d\n", medium);
  if (!size_known || !medium_known) {
    fputs("Could Not Query Adapter\n", out_);
    return nullptr;  // closes the adapter
  }
  adapter->max_total_size = size;
  adapter->medium = medium;
  return adapter;
}

void Rxprobe::StartReceiving(Adapter* adapter) {
  const DWORD capacity = static_cast<DWORD>(
      std::clamp<LONG>(adapter->max_total_size, 1, kRxprobeMaxBuffer));
  adapter->nodes = ReadPackages::Allocate(ReadPackages::Kind::kPacket,
                                          kRxprobeReadNodes, capacity, adapter);
  if (!adapter->nodes) {
    fputs("Could Not Create Read Nodes\n", out_);
  } else {
    for (size_t i = 0; i < adapter->nodes->count(); ++i) {
      ReportPostFailure(
          "Pkio_PacketReadEx",
          adapter->nodes->Post(api_, adapter->handle, adapter->nodes->at(i),
                               &Rxprobe::ReadComplete),
          out_);
    }
  }
  SetReceptionFilter(Request{api_, adapter->handle, adapter->event.get()},
                     static_cast<DWORD>(adapter->medium));
}

void Rxprobe::ReadComplete(DWORD error, DWORD, OVERLAPPED* overlapped) {
  ReadPackage* node = ReadPackage::FromOverlapped(overlapped);
  if (node == nullptr) return;
  auto* adapter = static_cast<Adapter*>(node->owner);
  Rxprobe* probe = adapter->probe;
  fputs("ReadCompleteAcpNT: Entry...\n", probe->out_);
  if (probe->stop_) return;
  probe->HandleReadComplete(adapter, node,
                            CompletionStatus(error, node->packet()->Status));
}

void Rxprobe::HandleReadComplete(Adapter* adapter, ReadPackage* node,
                                 DWORD status) {
  fputs("HandleReadComplete: Entry...\n", out_);
  if (stop_) return;
  if (status != 0) {
    // The node stays idle from now on.
    fprintf(out_, "Read Error: 0x%4.4X\n", status);
    return;
  }
  const PKIO_PACKET* packet = node->packet();
  fprintf(out_, "Received A %u Packet On Adapter 0x%8.8X\n",
          std::min(packet->Header.BytesDelivered, packet->BufferCapacity),
          adapter->identity);
  if (stop_) return;
  ReportRepostFailure(
      "Pkio_PacketReadEx",
      adapter->nodes->Post(api_, adapter->handle, node, &Rxprobe::ReadComplete),
      out_);
}

bool Rxprobe::OnCtrl(DWORD event) {
  fprintf(out_, "CtrlHandler: 0x%8.8X\n", event);
  fflush(out_);
  stop_ = true;
  SetEvent(stop_event_.get());
  return true;
}

int Rxprobe::Run(int argc, char** argv) {
  if (AnswerHelpOrVersion(argc, argv, "rxprobe", PrintUsage, out_)) return 0;
  const char* names[2] = {nullptr, nullptr};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '/' && arg[0] != '-') continue;
    const int letter = tolower(static_cast<unsigned char>(arg[1]));
    if (letter == 'a' || letter == 'b') {
      if (i + 1 < argc) names[letter == 'a' ? 0 : 1] = argv[++i];
    } else if (letter == 'h' || letter == '?') {
      PrintUsage(out_);
      return 1;
    }
  }
  if (names[0] == nullptr && names[1] == nullptr) {
    PrintUsage(out_);
    return 0;
  }

  stop_event_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!stop_event_) {
    fputs("Could Not Create Event\n", out_);
    return 0;
  }
  std::vector<std::unique_ptr<Adapter>> adapters;
  for (DWORD number = 1; number <= 2; ++number) {
    if (names[number - 1] == nullptr) continue;
    std::unique_ptr<Adapter> adapter = OpenAdapter(names[number - 1], number);
    if (!adapter) return 0;
    fprintf(out_, "Adapter No. %u Opened\n", number);
    const LONG status =
        Request{api_, adapter->handle, adapter->event.get()}.QueryValue(
            OID_GEN_MEDIA_CONNECT_STATUS);
    if (status != -1) {
      fprintf(out_, "Media Connect Status: %s\n",
              status == 0 ? "Connected" : "Disconnected");
    }
    adapters.push_back(std::move(adapter));
  }

  fputs("\nPress ENTER To Start Receiving Packets...\n", out_);
  // The key read in raw mode is the character read.
  console_.WaitForKey();

  console_.SetCtrlHandler([this](DWORD event) { return OnCtrl(event); });
  for (auto& adapter : adapters) StartReceiving(adapter.get());
  fputs("Reception Started\n", out_);
  fputs("Press Ctrl-C To Exit\n", out_);
  fflush(out_);

  DWORD result;
  do {
    result = WaitForSingleObjectEx(stop_event_.get(), kStopWaitMs, TRUE);
  } while (result == WAIT_TIMEOUT || result == WAIT_IO_COMPLETION);

  stop_ = true;
  fputs("Shuting Down...\n", out_);
  for (auto& adapter : adapters) {
    StopReception(Request{api_, adapter->handle, adapter->event.get()});
    adapter.reset();
  }
  // Nothing the handler uses may go before it does.
  console_.SetCtrlHandler({});
  fflush(out_);
  return 0;
}

}  // namespace kavex::utilities
