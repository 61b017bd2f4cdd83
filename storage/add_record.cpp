// Adding records.
#include "storage/storage_adapter.h"

HRESULT WINAPI StorageAdapterAddRecord(PWINBIO_PIPELINE, PWINBIO_STORAGE_RECORD) {
    return E_NOTIMPL;
}
