// Query by subject and the purge rules.
#include "storage/storage_adapter.h"

HRESULT WINAPI StorageAdapterQueryBySubject(PWINBIO_PIPELINE, PWINBIO_IDENTITY,
                                            WINBIO_BIOMETRIC_SUBTYPE) {
    return E_NOTIMPL;
}
