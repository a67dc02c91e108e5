// Handing interface pointers from one thread to another. Every object here
// is free-threaded, so a "marshalled" pointer is the pointer itself, kept
// (with its reference) in a stream until the receiving thread takes it out.
#ifndef KAVEX_PLATFORM_COM_MARSHAL_H_
#define KAVEX_PLATFORM_COM_MARSHAL_H_

#include "platform/com/unknown.h"

// Only what the marshalling streams need of a stream: reading and writing
// bytes are not offered by them (E_NOTIMPL).
struct IStream : IUnknown {
  virtual HRESULT Read(void* buffer, ULONG bytes, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG bytes, ULONG* written) = 0;
};
KAVEX_DECLARE_IID(IStream, "{0000000C-0000-0000-C000-000000000046}");

// *stream holds `object`'s interface `iid` (E_NOINTERFACE when it has none).
HRESULT CoMarshalInterThreadInterfaceInStream(REFIID iid, IUnknown* object,
                                              IStream** stream);
// The held pointer as `iid`; the stream is released in every case, as the
// receiving thread owns it. E_INVALIDARG for a stream not made above or
// already emptied.
HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID iid, void** out);

#endif  // KAVEX_PLATFORM_COM_MARSHAL_H_
