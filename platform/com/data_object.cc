#include "platform/com/data_object.h"

#include "platform/com/marshal.h"
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
        if (medium->pstm != nullptr) medium->pstm->Release();
        break;
      case TYMED_ISTORAGE:
        // A storage is an interface too (declared only by name here).
        if (medium->pstg != nullptr)
          reinterpret_cast<IUnknown*>(medium->pstg)->Release();
        break;
      default:
        break;
    }
  }
  medium->tymed = TYMED_NULL;
  medium->hGlobal = nullptr;
  medium->pUnkForRelease = nullptr;
}
