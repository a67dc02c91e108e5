#include "platform/pkio/adapter_list.h"

#include "platform/pkio/frame_source.h"

namespace kavex::pkio {

std::vector<AdapterInfo> EnumerateAdapters() {
  std::vector<AdapterInfo> adapters;
  for (const FrameSourceType* source : FrameSources()) {
    std::vector<AdapterListing> listed;
    source->enumerate(&listed);
    for (AdapterListing& listing : listed) {
      AdapterInfo info;
      info.ndis_name = std::move(listing.ndis_name);
      info.friendly_name = std::move(listing.friendly_name);
      info.binding_flags = source->binding_flags;
      adapters.push_back(std::move(info));
    }
  }
  for (size_t i = 0; i < adapters.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (adapters[j].friendly_name == adapters[i].friendly_name) {
        adapters[i].friendly_name += " [" + adapters[i].ndis_name + "]";
        break;
      }
    }
  }
  return adapters;
}

}  // namespace kavex::pkio
