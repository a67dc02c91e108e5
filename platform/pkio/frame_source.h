// Frame sources: where the library's adapters come from. Each source serves
// the NDIS names that start with its prefix; a name goes to the source with
// the longest matching prefix. The machine's Ethernet interfaces
// ("\Device\<ifname>", packet sockets) are always the first source. Others
// come from frame-source modules declared in the registry:
//
//   HKEY_LOCAL_MACHINE "SOFTWARE\Kavex OPC\Pkiolib\Frame Sources"
//     <any name>   REG_SZ   full path of the module
//
// The library loads a declared module the first time it enumerates or opens
// adapters after the declaration appeared (so a declaration made by a
// running program counts from its next enumeration), and keeps it loaded for
// the rest of the process: adapters of a source may outlive whatever made
// the declaration, a plug-in module that is unloaded again included. A
// module exports
//
//   extern "C" const kavex::pkio::FrameSourceType* Pkio_GetFrameSource(
//       DWORD version);
//
// returning its table for kFrameSourceVersion (null when it cannot serve
// it). Every module that cannot be loaded, lacks the entry or clashes with
// a source already there is reported once through the log, with its path.
#ifndef KAVEX_PLATFORM_PKIO_FRAME_SOURCE_H_
#define KAVEX_PLATFORM_PKIO_FRAME_SOURCE_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/pkio/adapter.h"

namespace kavex::pkio {

// One adapter a source offers.
struct AdapterListing {
  std::string ndis_name;
  std::string friendly_name;
};

// A source's function table. Functions may be called from any thread,
// concurrently.
struct FrameSourceType {
  const char* name;         // for messages: "simulated adapters"
  const char* ndis_prefix;  // e.g. "\Device\Simulated\"
  DWORD binding_flags;      // PKIO_BINDING_SYSTEM or PKIO_BINDING_USER
  // Appends the adapters the source offers now, in enumeration order.
  void (*enumerate)(std::vector<AdapterListing>* adapters);
  // Opens ndis_name (which starts with ndis_prefix); null with *error (a
  // Win32 error number) and *reason set when it cannot.
  std::unique_ptr<Adapter> (*open)(Adapter::Mode mode,
                                   const std::string& ndis_name, DWORD* error,
                                   std::string* reason);
};

inline constexpr DWORD kFrameSourceVersion = 1;
inline constexpr char kFrameSourceEntry[] = "Pkio_GetFrameSource";
using FrameSourceEntry = const FrameSourceType* (*)(DWORD version);
inline constexpr char kFrameSourcesKey[] =
    "SOFTWARE\\Kavex OPC\\Pkiolib\\Frame Sources";

// Adds a source for the rest of the process; module loading does this, and
// a program or test may add one of its own. The table must outlive every
// use: a static object of the program, or of a module that stays loaded.
// Adding the same table again is harmless; false (and logged) when another
// table has the same prefix.
bool AddFrameSource(const FrameSourceType* type);

// Loads the modules declared since the last look, then returns every
// source in order: the Ethernet interfaces, then the others as they were
// added.
std::vector<const FrameSourceType*> FrameSources();

// The source for ndis_name after loading what is declared; null when no
// prefix matches.
const FrameSourceType* FindFrameSource(const std::string& ndis_name);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_FRAME_SOURCE_H_
