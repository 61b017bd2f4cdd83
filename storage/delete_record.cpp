// Deleting records.
#include "storage/storage_adapter.h"

HRESULT WINAPI StorageAdapterDeleteRecord(PWINBIO_PIPELINE, PWINBIO_IDENTITY,
                                          WINBIO_BIOMETRIC_SUBTYPE) {
    return E_NOTIMPL;
}
