// The storage adapter's interface table and its operations, one per slot in
// the platform's order. The frame (storage_adapter.cpp) holds the table, the
// export, attach, detach and the small slots; each database operation lives
// in the file named after what it does.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "storage/storage_context.h"

// {DEC3F1F2-44C0-4E84-9597-8880EC893277}
inline constexpr GUID StorageAdapterId = {
    0xDEC3F1F2, 0x44C0, 0x4E84, {0x95, 0x97, 0x88, 0x80, 0xEC, 0x89, 0x32, 0x77}};

// The export the biometric service binds by name.
extern "C" __attribute__((visibility("default"))) HRESULT WINAPI
WbioQueryStorageInterface(PWINBIO_STORAGE_INTERFACE* StorageInterface);

HRESULT WINAPI StorageAdapterAttach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterDetach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterClearContext(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterCreateDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                            WINBIO_BIOMETRIC_TYPE Factor, PWINBIO_UUID Format,
                                            LPCWSTR FilePath, LPCWSTR ConnectString,
                                            SIZE_T IndexElementCount, SIZE_T InitialSize);
HRESULT WINAPI StorageAdapterEraseDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                           LPCWSTR FilePath, LPCWSTR ConnectString);
HRESULT WINAPI StorageAdapterOpenDatabase(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId,
                                          LPCWSTR FilePath, LPCWSTR ConnectString);
HRESULT WINAPI StorageAdapterCloseDatabase(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterGetDataFormat(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID FormatId,
                                           PWINBIO_VERSION Version);
HRESULT WINAPI StorageAdapterGetDatabaseSize(PWINBIO_PIPELINE Pipeline,
                                             PSIZE_T AvailableRecordSlots, PSIZE_T TotalRecords);
HRESULT WINAPI StorageAdapterAddRecord(PWINBIO_PIPELINE Pipeline,
                                       PWINBIO_STORAGE_RECORD RecordContents);
HRESULT WINAPI StorageAdapterDeleteRecord(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                          WINBIO_BIOMETRIC_SUBTYPE SubFactor);
HRESULT WINAPI StorageAdapterQueryBySubject(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                            WINBIO_BIOMETRIC_SUBTYPE SubFactor);
HRESULT WINAPI StorageAdapterQueryByContent(PWINBIO_PIPELINE Pipeline,
                                            WINBIO_BIOMETRIC_SUBTYPE SubFactor, ULONG IndexVector[],
                                            SIZE_T IndexElementCount);
HRESULT WINAPI StorageAdapterGetRecordCount(PWINBIO_PIPELINE Pipeline, PSIZE_T RecordCount);
HRESULT WINAPI StorageAdapterFirstRecord(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterNextRecord(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterGetCurrentRecord(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_STORAGE_RECORD RecordContents);
HRESULT WINAPI StorageAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                         PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                         PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                         PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI StorageAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                                   PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                                   PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                                   PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI StorageAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType);
HRESULT WINAPI StorageAdapterPipelineInit(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterActivate(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterDeactivate(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI StorageAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                               PWINBIO_EXTENDED_STORAGE_INFO ExtendedInfo,
                                               SIZE_T ExtendedInfoSize);
HRESULT WINAPI StorageAdapterNotifyDatabaseChange(PWINBIO_PIPELINE Pipeline, BOOLEAN RecordsAdded);
HRESULT WINAPI StorageAdapterReserved1(const PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                       PULONG64 Reserved1, PULONG64 Reserved2);
HRESULT WINAPI StorageAdapterReserved2(const PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity);
HRESULT WINAPI StorageAdapterUpdateRecordBegin(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                               WINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                               PWINBIO_STORAGE_RECORD RecordContents);
HRESULT WINAPI StorageAdapterUpdateRecordCommit(PWINBIO_PIPELINE Pipeline,
                                                PWINBIO_STORAGE_RECORD RecordContents);

// Writes a fresh private file (header only) and deletes this host's
// templates from the chip, every template when the chip keeps no owners.
// S_OK; WINBIO_E_DATABASE_CANT_CREATE when the file cannot be written (the
// chip is then not touched); the MOC_E_READ_TEMPLATE_TABLE or
// MOC_E_DELETE_TEMPLATE value of a failed chip step in owner-id mode.
HRESULT ResetDatabase(PWINIBIO_STORAGE_CONTEXT context);
