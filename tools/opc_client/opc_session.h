// One OPC DA conversation with a remote server over our DCOM client: the
// server object, a group of items, synchronous reads and writes, flat
// browsing, and the host's server browser (OpcEnum).
//
// Every function answers an HRESULT: the network's or the server's
// failure, as DcomClient reports it (RPC_S_SERVER_UNAVAILABLE,
// E_ACCESSDENIED, kCallFailed, ...), or the method's own result.
#ifndef KAVEX_TOOLS_OPC_CLIENT_OPC_SESSION_H_
#define KAVEX_TOOLS_OPC_CLIENT_OPC_SESSION_H_

#include <string>
#include <vector>

#include "platform/com/variant.h"
#include "platform/dcom/client.h"
#include "platform/opc/opc_da.h"

namespace kavex::opc_client {

struct ServerStatus {
  FILETIME start_time = {};
  FILETIME current_time = {};
  FILETIME last_update_time = {};
  OPCSERVERSTATE state = OPC_STATUS_FAILED;
  DWORD group_count = 0;
  DWORD bandwidth = 0;
  WORD major = 0, minor = 0, build = 0;
  std::u16string vendor;
};

struct ItemValue {
  HRESULT error = E_FAIL;  // the item's entry error
  VARIANT value;           // owned: cleared by the destructor
  WORD quality = 0;
  FILETIME timestamp = {};
  ItemValue() { VariantInit(&value); }
  ~ItemValue() { VariantClear(&value); }
  ItemValue(const ItemValue&) = delete;
  ItemValue& operator=(const ItemValue&) = delete;
  ItemValue(ItemValue&& other) noexcept;
  ItemValue& operator=(ItemValue&&) = delete;
};

struct ServerEntry {
  CLSID clsid = {};
  std::u16string prog_id;  // version-independent where the class has one
  std::u16string versioned_prog_id;
  std::u16string description;
};

class OpcSession {
 public:
  explicit OpcSession(dcom::DcomClientOptions options = {});
  ~OpcSession();  // Close()

  HRESULT Connect(const std::string& host, uint16_t port,
                  const rpc::NtlmClientCredentials* credentials);
  // The host's OpcEnum: the classes of both OPC DA server categories.
  HRESULT ListServers(std::vector<ServerEntry>* servers);
  // The host's OpcEnum: the class of a ProgID (CO_E_CLASSSTRING).
  HRESULT ClassOfProgId(const std::u16string& prog_id, CLSID* clsid);
  // Creates the server object.
  HRESULT Open(REFCLSID clsid);

  HRESULT Status(ServerStatus* status);
  // Every item ID (leaf) of the address space whose name matches `filter`
  // ("" for all): a hierarchical space is walked branch by branch, each
  // leaf's full ID from GetItemID; a flat space lists its IDs at once.
  HRESULT Browse(const std::u16string& filter,
                 std::vector<std::u16string>* ids);

  // Adds a group (active, `update_rate` ms) holding `ids`: S_OK, or S_FALSE
  // when some item failed (its error in *errors). *revised gets the rate
  // the server chose.
  HRESULT AddItems(const std::vector<std::u16string>& ids, DWORD update_rate,
                   std::vector<HRESULT>* errors, DWORD* revised = nullptr);
  // IOPCSyncIO::Read of the items added (those that failed to add keep
  // their AddItems error).
  HRESULT Read(OPCDATASOURCE source, std::vector<ItemValue>* values);
  // IOPCSyncIO::Write of one value per item added; *errors per item.
  HRESULT Write(const std::vector<std::u16string>& texts,
                std::vector<HRESULT>* errors);

  // Removes the group and releases every reference; safe to call twice.
  void Close();

 private:
  static constexpr int kMaxBrowseDepth = 32;

  HRESULT Query(const dcom::RemoteInterface& from, REFIID iid,
                dcom::RemoteInterface* out);
  HRESULT BrowseNames(const dcom::RemoteInterface& browse, OPCBROWSETYPE type,
                      const std::u16string& filter,
                      std::vector<std::u16string>* names);
  HRESULT Walk(const dcom::RemoteInterface& browse,
               const std::u16string& filter, int depth,
               std::vector<std::u16string>* ids);

  dcom::DcomClient client_;
  dcom::RemoteInterface server_;
  dcom::RemoteInterface group_;
  dcom::RemoteInterface sync_io_;
  OPCHANDLE group_handle_ = 0;
  std::vector<HRESULT> add_errors_;
  std::vector<OPCHANDLE> handles_;  // 0 where the item failed to add
};

}  // namespace kavex::opc_client

#endif  // KAVEX_TOOLS_OPC_CLIENT_OPC_SESSION_H_
