// A device plug-in whose items a test declares: type, access rights,
// value, and the results of reads and writes. It records what the server
// asks of it and pushes values through its _IKavexOPCDeviceEvents point.
#ifndef KAVEX_SERVER_OBJECTS_TESTING_SCRIPTED_DEVICE_H_
#define KAVEX_SERVER_OBJECTS_TESTING_SCRIPTED_DEVICE_H_

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/safearray.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"
#include "platform/opc/opc_error.h"
#include "server/contract/device_interfaces.h"

namespace kavex::server::testing {

class ScriptedDevice
    : public com::ComObject<ScriptedDevice, IKavexOPCDevice,
                            com::ConnectionPointContainerImpl> {
 public:
  struct Item {
    VARTYPE type = VT_I4;
    DWORD rights = OPC_READABLE;
    com::Variant value;
    HRESULT read_result = S_OK;
    HRESULT write_result = S_OK;
  };

  ScriptedDevice() { events_ = AddConnectionPoint(IID__IKavexOPCDeviceEvents); }

  // Declares (or replaces) an item; it is listed by ItemIDs unless hidden.
  void SetItem(const std::u16string& id, Item item, bool listed = true) {
    std::lock_guard<std::mutex> lock(mu_);
    items_[id] = std::move(item);
    if (listed) listed_.push_back(id);
  }
  void SetValue(const std::u16string& id, const com::Variant& value) {
    std::lock_guard<std::mutex> lock(mu_);
    items_[id].value = value;
  }
  void SetReadResult(const std::u16string& id, HRESULT hr) {
    std::lock_guard<std::mutex> lock(mu_);
    items_[id].read_result = hr;
  }
  void SetDelimiter(std::u16string delimiter) {
    std::lock_guard<std::mutex> lock(mu_);
    delimiter_ = std::move(delimiter);
  }
  // Results of the item list and delimiter calls, and of
  // GetItemProperties for an ID that was not declared.
  void FailItemIds(HRESULT hr) { item_ids_result_ = hr; }
  void FailDelimiter(HRESULT hr) { delimiter_result_ = hr; }
  void SetUnknownItemResult(HRESULT hr) { unknown_result_ = hr; }

  // Fires Change(id, value) at every subscriber, on the calling thread.
  void FireChange(const std::u16string& id, const com::Variant& value) {
    com::Bstr bstr(id);
    for (auto& sink : events_->Sinks<_IKavexOPCDeviceEvents>())
      sink->Change(bstr.Get(), value);
  }
  size_t SubscriberCount() const { return events_->ConnectionCount(); }

  // Offers _IKavexOPCDeviceReads, each item answered as Read answers it, to
  // the servers and groups bound after the call. A text answer of the same
  // length as the string a value held is written into that string.
  void OfferReads(bool offer) { offer_reads_ = offer; }
  // ReadItems calls and the items they asked for.
  int batch_reads() const { return batch_reads_; }
  int batch_items() const { return batch_items_; }

  HRESULT QueryExtraInterface(REFIID iid, void** out) {
    if (!offer_reads_ || !(iid == IID__IKavexOPCDeviceReads))
      return E_NOINTERFACE;
    AddRef();
    *out = static_cast<_IKavexOPCDeviceReads*>(&reads_facet_);
    return S_OK;
  }

  int reads() const { return reads_; }
  int writes() const { return writes_; }
  // The last value written to `id` (VT_EMPTY when none).
  com::Variant Written(const std::u16string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = written_.find(id);
    return it == written_.end() ? com::Variant() : it->second;
  }

  HRESULT get_ItemIDs(VARIANT* pVal) override {
    if (FAILED(item_ids_result_)) return item_ids_result_;
    std::lock_guard<std::mutex> lock(mu_);
    SAFEARRAY* array =
        SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(listed_.size()));
    for (LONG i = 0; i < static_cast<LONG>(listed_.size()); ++i) {
      com::Bstr id(listed_[i]);
      SafeArrayPutElement(array, &i, id.Get());
    }
    VariantInit(pVal);
    pVal->vt = VT_ARRAY | VT_BSTR;
    pVal->parray = array;
    return S_OK;
  }
  HRESULT get_PathDelimiter(BSTR* pVal) override {
    if (FAILED(delimiter_result_)) return delimiter_result_;
    std::lock_guard<std::mutex> lock(mu_);
    *pVal = com::Bstr(delimiter_).Detach();
    return S_OK;
  }
  HRESULT GetItemProperties(BSTR sItemID, USHORT* vtDataType,
                            ULONG* dwAccessRights) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = items_.find(std::u16string(com::BstrView(sItemID)));
    if (it == items_.end()) return unknown_result_;
    *vtDataType = it->second.type;
    *dwAccessRights = it->second.rights;
    return S_OK;
  }
  HRESULT Read(BSTR sItemID, VARIANT* vValue) override {
    ++reads_;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = items_.find(std::u16string(com::BstrView(sItemID)));
    if (it == items_.end()) return OPC_E_UNKNOWNITEMID;
    if (FAILED(it->second.read_result)) return it->second.read_result;
    return VariantCopy(vValue, &it->second.value);
  }
  HRESULT Write(BSTR sItemID, VARIANT vValue) override {
    ++writes_;
    std::lock_guard<std::mutex> lock(mu_);
    const std::u16string id(com::BstrView(sItemID));
    auto it = items_.find(id);
    if (it == items_.end()) return OPC_E_UNKNOWNITEMID;
    if (FAILED(it->second.write_result)) return it->second.write_result;
    written_[id] = vValue;
    it->second.value = vValue;
    return S_OK;
  }

 private:
  // _IKavexOPCDeviceReads, reached through QueryExtraInterface; its
  // references are the device's.
  class ReadsFacet : public _IKavexOPCDeviceReads {
   public:
    explicit ReadsFacet(ScriptedDevice* owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID iid, void** out) override {
      return owner_->QueryInterface(iid, out);
    }
    ULONG AddRef() override { return owner_->AddRef(); }
    ULONG Release() override { return owner_->Release(); }
    HRESULT ReadItems(DWORD dwCount, BSTR* psItemIDs, VARIANT* pvValues,
                      HRESULT* phrResults) override {
      if (dwCount == 0) return S_OK;
      if (psItemIDs == nullptr || pvValues == nullptr || phrResults == nullptr)
        return E_POINTER;
      ++owner_->batch_reads_;
      owner_->batch_items_ += static_cast<int>(dwCount);
      for (DWORD i = 0; i < dwCount; ++i) {
        VARIANT answer;
        answer.vt = VT_EMPTY;
        phrResults[i] = owner_->Read(psItemIDs[i], &answer);
        VARIANT& value = pvValues[i];
        if (SUCCEEDED(phrResults[i]) && answer.vt == VT_BSTR &&
            value.vt == VT_BSTR && answer.bstrVal != nullptr &&
            value.bstrVal != nullptr &&
            SysStringLen(answer.bstrVal) == SysStringLen(value.bstrVal)) {
          std::copy_n(answer.bstrVal, SysStringLen(answer.bstrVal),
                      value.bstrVal);
          VariantClear(&answer);
          continue;
        }
        VariantClear(&value);
        if (SUCCEEDED(phrResults[i])) value = answer;
      }
      return S_OK;
    }

   private:
    ScriptedDevice* const owner_;
  };

  ReadsFacet reads_facet_{this};
  std::atomic<bool> offer_reads_{false};
  std::atomic<int> batch_reads_{0};
  std::atomic<int> batch_items_{0};
  com::ConnectionPoint* events_;
  std::mutex mu_;
  std::map<std::u16string, Item> items_;
  std::vector<std::u16string> listed_;
  std::map<std::u16string, com::Variant> written_;
  std::u16string delimiter_ = u".";
  std::atomic<HRESULT> item_ids_result_{S_OK};
  std::atomic<HRESULT> delimiter_result_{S_OK};
  std::atomic<HRESULT> unknown_result_{E_FAIL};
  std::atomic<int> reads_{0};
  std::atomic<int> writes_{0};
};

}  // namespace kavex::server::testing

#endif  // KAVEX_SERVER_OBJECTS_TESTING_SCRIPTED_DEVICE_H_
