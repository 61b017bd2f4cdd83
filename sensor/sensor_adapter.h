// The sensor adapter: the framework's sensor interface of the unit. The frame
// (context, table, export, attach, detach and the slots that send nothing) is
// in sensor_adapter.cpp; capture, hand-over and activation in capture.cpp;
// status, reset and the control codes in sensor_control.cpp; the embedded
// chains and the secure-connection slot in certificate_chains.cpp.
//
// Trace statements of the sensor adapter's unit, numbered by file so that no
// two share a number: sensor_adapter.cpp 10-39, capture.cpp 40-79,
// sensor_control.cpp 80-99, certificate_chains.cpp 100-119. Attach traces
// under a unit of its own.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "device/secure_connection.h"

// The sensor adapter's per-pipeline state, a zero-filled block of the process
// heap from Attach to Detach.
struct _WINIBIO_SENSOR_CONTEXT {
    CMocSecureConnection* SecureConnection;
    WINBIO_BIR_PURPOSE CapturePurpose;     // of the capture in progress
    DWORD FreeSlotCheckPending;            // the enrollment free-slot check is still to run
    DWORD CaptureDone;                     // a capture was waited for successfully
    BYTE CaptureStatus;                    // status byte of the last sample; 0xFF none
    WINBIO_SENSOR_ATTRIBUTES Attributes;   // as read at the first capture
    DWORD AttributesCapacity;              // 1580, the reply size requested and required
    PBYTE CaptureBuffer;                   // the WINBIO_CAPTURE_DATA reply
    DWORD CaptureBufferSize;               // 161
    WINBIO_REGISTERED_FORMAT SampleFormat; // 0/0 until negotiated
    WINBIO_UUID VendorFormat;
    PBYTE ExportBuffer;              // copy of the last sample handed out
    BYTE SensorIdDigest[32];         // SHA-256 of the chip's sensor id
    char UnitLabel[kUnitLabelChars]; // the digest in hex
    volatile LONG CaptureState;      // a start being set up and a cancel (capture.cpp)
    OVERLAPPED CaptureOverlapped;    // capture and private pass-through requests

    // Kept beside those so that no length from the driver is used unchecked
    // and no request is left writing into freed memory.
    DWORD ExportBufferSize; // room of the export buffer
    DWORD SampleSize;       // CaptureData.Size of the last reply that held together; 0 none
    DWORD CaptureInFlight;  // a capture was sent and FinishCapture has not waited for it
};

// {F6012694-BED2-4223-81EE-F07B44F06913}
inline constexpr GUID SensorAdapterId = {
    0xF6012694, 0xBED2, 0x4223, {0x81, 0xEE, 0xF0, 0x7B, 0x44, 0xF0, 0x69, 0x13}};

// Writes SensorAdapterAttach into the table's Attach slot and hands out the
// table, which all pipelines share.
extern "C" __attribute__((visibility("default"))) HRESULT WINAPI
WbioQuerySensorInterface(PWINBIO_SENSOR_INTERFACE* SensorInterface);

// Frame
HRESULT WINAPI SensorAdapterAttach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterDetach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterClearContext(PWINBIO_PIPELINE Pipeline);

// Capture and hand-over
HRESULT WINAPI SensorAdapterActivate(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterDeactivate(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterStartCapture(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_PURPOSE Purpose,
                                         LPOVERLAPPED* Overlapped);
HRESULT WINAPI SensorAdapterFinishCapture(PWINBIO_PIPELINE Pipeline,
                                          PWINBIO_REJECT_DETAIL RejectDetail);
HRESULT WINAPI SensorAdapterExportSensorData(PWINBIO_PIPELINE Pipeline, PWINBIO_BIR* SampleBuffer,
                                             PSIZE_T SampleSize);
HRESULT WINAPI SensorAdapterCancel(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterPushDataToEngine(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_PURPOSE Purpose,
                                             WINBIO_BIR_DATA_FLAGS Flags,
                                             PWINBIO_REJECT_DETAIL RejectDetail);
// Reads the sensor's attributes into the context: their WinBioHresult, or the
// failure of the request.
HRESULT SensorQueryAttributes(PWINBIO_PIPELINE Pipeline);

// Status, reset, control codes and the remaining slots
HRESULT WINAPI SensorAdapterQueryStatus(PWINBIO_PIPELINE Pipeline, PWINBIO_SENSOR_STATUS Status);
HRESULT WINAPI SensorAdapterReset(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterSetMode(PWINBIO_PIPELINE Pipeline, WINBIO_SENSOR_MODE Mode);
HRESULT WINAPI SensorAdapterSetIndicatorStatus(PWINBIO_PIPELINE Pipeline,
                                               WINBIO_INDICATOR_STATUS IndicatorStatus);
HRESULT WINAPI SensorAdapterGetIndicatorStatus(PWINBIO_PIPELINE Pipeline,
                                               PWINBIO_INDICATOR_STATUS IndicatorStatus);
HRESULT WINAPI SensorAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                        PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                        PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                        PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI SensorAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                                  PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                                  PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                                  PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI SensorAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType);
HRESULT WINAPI SensorAdapterPipelineInit(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI SensorAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_EXTENDED_SENSOR_INFO SensorInfo,
                                              SIZE_T SensorInfoSize);
HRESULT WINAPI SensorAdapterQueryCalibrationFormats(PWINBIO_PIPELINE Pipeline,
                                                    PWINBIO_UUID FormatArray,
                                                    SIZE_T FormatArraySize, PSIZE_T FormatCount);
HRESULT WINAPI SensorAdapterSetCalibrationFormat(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID Format);
HRESULT WINAPI SensorAdapterAcceptCalibrationData(PWINBIO_PIPELINE Pipeline,
                                                  PUCHAR CalibrationBuffer,
                                                  SIZE_T CalibrationBufferSize);
HRESULT WINAPI SensorAdapterAsyncImportRawBuffer(PWINBIO_PIPELINE Pipeline, PUCHAR RawBufferAddress,
                                                 SIZE_T RawBufferSize, PUCHAR* ResultBufferAddress,
                                                 PSIZE_T ResultBufferSize);
HRESULT WINAPI SensorAdapterAsyncImportSecureBuffer(
    PWINBIO_PIPELINE Pipeline, GUID SecureBufferIdentifier, PUCHAR MetadataBufferAddress,
    SIZE_T MetadataBufferSize, PUCHAR* ResultBufferAddress, PSIZE_T ResultBufferSize);
HRESULT WINAPI SensorAdapterQueryPrivateSensorType(PWINBIO_PIPELINE Pipeline,
                                                   PUCHAR TypeInfoBufferAddress,
                                                   SIZE_T TypeInfoBufferSize,
                                                   PSIZE_T TypeInfoDataSize);
HRESULT WINAPI SensorAdapterStartCaptureEx(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_PURPOSE Purpose,
                                           const void* Nonce, SIZE_T NonceSize, UCHAR Flags,
                                           LPOVERLAPPED* Overlapped);
HRESULT WINAPI SensorAdapterStartNotifyWake(PWINBIO_PIPELINE Pipeline, LPOVERLAPPED* Overlapped);
HRESULT WINAPI SensorAdapterFinishNotifyWake(PWINBIO_PIPELINE Pipeline,
                                             PWINBIO_REJECT_DETAIL Reason);

// Secure connection
HRESULT WINAPI SensorAdapterConnectSecure(PWINBIO_PIPELINE Pipeline,
                                          const WINBIO_SECURE_CONNECTION_PARAMS* ConnectionParams,
                                          PWINBIO_SECURE_CONNECTION_DATA* ConnectionData);

// Within the adapter: the tests every slot that uses the context makes,
// E_POINTER for a null pipeline, then WINBIO_E_INVALID_DEVICE_STATE without a
// context; on success `*context` is the pipeline's.
HRESULT SensorContextOf(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT* context);

// Within the adapter: traces a slot's result with the unit label (none
// without a context) as message `message` with its `text`, and returns it.
HRESULT SensorTraced(PWINIBIO_SENSOR_CONTEXT context, USHORT message, TraceText text, HRESULT hr);

// Within the adapter: sends one of the platform's codes synchronously with no
// request into `reply` (`size` bytes, preset with `fill`; fewer than `required`
// back is a failed request). A failure is traced and reported through
// WinBioErrorFromWin32, so a short reply is WINBIO_E_DEVICE_FAILURE whatever
// the thread's last error.
HRESULT SensorRequest(PWINBIO_PIPELINE pipeline, PWINIBIO_SENSOR_CONTEXT context, DWORD code,
                      void* reply, DWORD size, DWORD required, BYTE fill = 0);

// Within the adapter: the capture state that Attach and Activate start from
// (no purpose, the free-slot check pending, no capture, no sample status).
void SensorResetCaptureState(PWINIBIO_SENSOR_CONTEXT Context);

// Within the adapter: cancels a capture still in flight on the context's
// OVERLAPPED and waits for it, so that no request can write into the capture
// buffer, the OVERLAPPED or the event once they are freed.
void SensorDrainCapture(PWINBIO_PIPELINE Pipeline, PWINIBIO_SENSOR_CONTEXT Context);
