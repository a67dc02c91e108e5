#include "platform/com/data_object.h"

#include "platform/com/task_memory.h"

void ReleaseStgMedium(STGMEDIUM* medium) {
  if (medium == nullptr) return;
  if (medium->pUnkForRelease != nullptr) {
    medium->pUnkForRelease->Release();
  } else {
    switch (medium->tymed) {
      case TYMED_HGLOBAL:
        GlobalFree(medium->hGlobal);
        break;
      case TYMED_FILE:
        CoTaskMemFree(medium->lpszFileName);
        break;
      case TYMED_ISTREAM:
      case TYMED_ISTORAGE:
        // Streams and storages are interfaces: one reference to drop.
        if (medium->pstm != nullptr)
          reinterpret_cast<IUnknown*>(medium->pstm)->Release();
        break;
      default:
        break;
    }
  }
  medium->tymed = TYMED_NULL;
  medium->hGlobal = nullptr;
  medium->pUnkForRelease = nullptr;
}
