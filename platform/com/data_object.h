// Uniform data transfer: IDataObject, IAdviseSink and the structures that
// describe a piece of data (FORMATETC) and the medium carrying it (STGMEDIUM).
#ifndef KAVEX_PLATFORM_COM_DATA_OBJECT_H_
#define KAVEX_PLATFORM_COM_DATA_OBJECT_H_

#include "platform/com/clipboard_format.h"
#include "platform/com/global_memory.h"
#include "platform/com/unknown.h"

struct IStream;
struct IStorage;
struct IMoniker;

enum TYMED : DWORD {
  TYMED_NULL = 0,
  TYMED_HGLOBAL = 1,
  TYMED_FILE = 2,
  TYMED_ISTREAM = 4,
  TYMED_ISTORAGE = 8,
  TYMED_GDI = 16,
  TYMED_MFPICT = 32,
  TYMED_ENHMF = 64,
};

enum DVASPECT : DWORD {
  DVASPECT_CONTENT = 1,
  DVASPECT_THUMBNAIL = 2,
  DVASPECT_ICON = 4,
  DVASPECT_DOCPRINT = 8,
};

enum ADVF : DWORD {
  ADVF_NODATA = 1,
  ADVF_PRIMEFIRST = 2,
  ADVF_ONLYONCE = 4,
  ADVF_DATAONSTOP = 64,
};

enum DATADIR : DWORD { DATADIR_GET = 1, DATADIR_SET = 2 };

struct DVTARGETDEVICE {
  DWORD tdSize;
  WORD tdDriverNameOffset;
  WORD tdDeviceNameOffset;
  WORD tdPortNameOffset;
  WORD tdExtDevmodeOffset;
  BYTE tdData[1];
};

struct FORMATETC {
  CLIPFORMAT cfFormat;
  DVTARGETDEVICE* ptd;
  DWORD dwAspect;
  LONG lindex;
  DWORD tymed;
};

struct STGMEDIUM {
  DWORD tymed;
  union {
    HGLOBAL hGlobal;
    LPOLESTR lpszFileName;
    IStream* pstm;
    IStorage* pstg;
  };
  // When set, releasing the medium releases this object instead of freeing
  // the data (the provider frees it).
  IUnknown* pUnkForRelease;
};

// Frees what the medium holds (or releases pUnkForRelease) and empties it.
// A TYMED_FILE medium's name is freed; the file itself is left alone.
void ReleaseStgMedium(STGMEDIUM* medium);

// Notifications from a data object. They return nothing: the sender does not
// wait for, or learn of, the receiver's outcome.
struct IAdviseSink : IUnknown {
  virtual void OnDataChange(FORMATETC* format, STGMEDIUM* medium) = 0;
  virtual void OnViewChange(DWORD aspect, LONG index) = 0;
  virtual void OnRename(IMoniker* moniker) = 0;
  virtual void OnSave() = 0;
  virtual void OnClose() = 0;
};
KAVEX_DECLARE_IID(IAdviseSink, "{0000010F-0000-0000-C000-000000000046}");

struct IEnumFORMATETC : IUnknown {
  virtual HRESULT Next(ULONG celt, FORMATETC* elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumFORMATETC** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumFORMATETC, "{00000103-0000-0000-C000-000000000046}");

struct STATDATA {
  FORMATETC formatetc;
  DWORD advf;
  IAdviseSink* pAdvSink;
  DWORD dwConnection;
};

struct IEnumSTATDATA : IUnknown {
  virtual HRESULT Next(ULONG celt, STATDATA* elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumSTATDATA** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumSTATDATA, "{00000105-0000-0000-C000-000000000046}");

struct IDataObject : IUnknown {
  virtual HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) = 0;
  virtual HRESULT GetDataHere(FORMATETC* format, STGMEDIUM* medium) = 0;
  virtual HRESULT QueryGetData(FORMATETC* format) = 0;
  virtual HRESULT GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) = 0;
  virtual HRESULT SetData(FORMATETC* format, STGMEDIUM* medium,
                          BOOL release) = 0;
  virtual HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) = 0;
  virtual HRESULT DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink,
                          DWORD* connection) = 0;
  virtual HRESULT DUnadvise(DWORD connection) = 0;
  virtual HRESULT EnumDAdvise(IEnumSTATDATA** advises) = 0;
};
KAVEX_DECLARE_IID(IDataObject, "{0000010E-0000-0000-C000-000000000046}");

#endif  // KAVEX_PLATFORM_COM_DATA_OBJECT_H_
