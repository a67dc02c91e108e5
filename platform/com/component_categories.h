// Component categories: the CATIDs that group classes (OPC servers register
// under theirs) and the enumerator of GUIDs that category queries answer.
#ifndef KAVEX_PLATFORM_COM_COMPONENT_CATEGORIES_H_
#define KAVEX_PLATFORM_COM_COMPONENT_CATEGORIES_H_

#include "platform/com/unknown.h"

using CATID = GUID;
using REFCATID = const CATID&;

struct IEnumGUID : IUnknown {
  // Fetches up to celt GUIDs; S_FALSE when fewer were left.
  virtual HRESULT Next(ULONG celt, GUID* elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumGUID** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumGUID, "{0002E000-0000-0000-C000-000000000046}");

using IEnumCLSID = IEnumGUID;
using IEnumCATID = IEnumGUID;

#endif  // KAVEX_PLATFORM_COM_COMPONENT_CATEGORIES_H_
