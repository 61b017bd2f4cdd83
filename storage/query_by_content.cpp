// Query by content, the database size and the walk through the results.
#include "storage/storage_adapter.h"

HRESULT WINAPI StorageAdapterQueryByContent(PWINBIO_PIPELINE, WINBIO_BIOMETRIC_SUBTYPE, ULONG[],
                                            SIZE_T) {
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterGetDatabaseSize(PWINBIO_PIPELINE, PSIZE_T, PSIZE_T) {
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterGetRecordCount(PWINBIO_PIPELINE, PSIZE_T) {
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterFirstRecord(PWINBIO_PIPELINE) {
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterNextRecord(PWINBIO_PIPELINE) {
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterGetCurrentRecord(PWINBIO_PIPELINE, PWINBIO_STORAGE_RECORD) {
    return E_NOTIMPL;
}
