// Sample acceptance: the captured image stays on the chip; the engine checks
// the framework's record of it, has the chip take it and confirms the verdict.
#include <cstring>

#include "common/trace.h"
#include "device/device_request.h"
#include "engine/engine_adapter.h"

namespace {

const GUID& kTrace = kTraceGuidEngineSampleAcceptance;

bool IsSinglePurpose(WINBIO_BIR_PURPOSE purpose) {
    switch (purpose) {
    case WINBIO_PURPOSE_VERIFY:
    case WINBIO_PURPOSE_IDENTIFY:
    case WINBIO_PURPOSE_ENROLL:
    case WINBIO_PURPOSE_ENROLL_FOR_VERIFICATION:
    case WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION:
    case WINBIO_PURPOSE_AUDIT:
        return true;
    default:
        return false;
    }
}

// The fields of the sample record the engine tests, read only where the
// record's own offsets and the caller's size say they lie.
struct SampleFields {
    WINBIO_BIR_DATA_FLAGS dataFlags;
    WINBIO_REGISTERED_FORMAT format;
    UCHAR pixelDepth;
    UCHAR compression;
};

// Both offsets come from the caller: every byte read must lie within
// `size`, computed in 64 bits so that no offset can wrap past the check.
bool ReadSampleFields(const BYTE* sample, SIZE_T size, SampleFields* fields) {
    if (size < sizeof(WINBIO_BIR)) {
        return false;
    }
    WINBIO_BIR bir;
    std::memcpy(&bir, sample, sizeof(bir));
    const uint64_t header = bir.HeaderBlock.Offset;
    const uint64_t standard = bir.StandardDataBlock.Offset;
    constexpr uint64_t kHeaderBytes =
        offsetof(WINBIO_BIR_HEADER, BiometricDataFormat) + sizeof(WINBIO_REGISTERED_FORMAT);
    constexpr uint64_t kStandardBytes =
        offsetof(WINBIO_BDB_ANSI_381_HEADER, ImageCompressionAlg) + sizeof(UCHAR);
    if (header + kHeaderBytes > size || standard + kStandardBytes > size) {
        return false;
    }
    std::memcpy(&fields->dataFlags, sample + header + offsetof(WINBIO_BIR_HEADER, DataFlags),
                sizeof(fields->dataFlags));
    std::memcpy(&fields->format, sample + header + offsetof(WINBIO_BIR_HEADER, BiometricDataFormat),
                sizeof(fields->format));
    fields->pixelDepth = sample[standard + offsetof(WINBIO_BDB_ANSI_381_HEADER, PixelDepth)];
    fields->compression =
        sample[standard + offsetof(WINBIO_BDB_ANSI_381_HEADER, ImageCompressionAlg)];
    return true;
}

} // namespace

HRESULT WINAPI EngineAdapterAcceptSampleData(PWINBIO_PIPELINE Pipeline, PWINBIO_BIR SampleBuffer,
                                             SIZE_T SampleSize, WINBIO_BIR_PURPOSE Purpose,
                                             PWINBIO_REJECT_DETAIL RejectDetail) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline, SampleBuffer != nullptr && RejectDetail != nullptr,
                                      &context);
    if (FAILED(hr)) {
        return TraceEngineResult(kTrace, 10, "accept sample data refused: %!HRESULT!", context, hr);
    }
    const char* label = context->UnitLabel;
    MOC_TRACE_INFO(kTrace, 11, "accept sample data: %llu bytes for purpose 0x%02X", label,
                   SampleSize, Purpose);

    if (SampleSize == 0 || !IsSinglePurpose(Purpose)) {
        MOC_TRACE_INFO(kTrace, 12, "no sample or not one purpose: %!HRESULT!", label, E_INVALIDARG);
        return E_INVALIDARG;
    }
    *RejectDetail = 0;

    SampleFields fields;
    if (!ReadSampleFields(reinterpret_cast<const BYTE*>(SampleBuffer), SampleSize, &fields)) {
        MOC_TRACE_ERROR(kTrace, 13, "sample record of %llu bytes is malformed", label, SampleSize);
        return E_INVALIDARG;
    }
    if (fields.format.Owner != WINBIO_ANSI_381_FORMAT_OWNER ||
        fields.format.Type != WINBIO_ANSI_381_FORMAT_TYPE) {
        MOC_TRACE_ERROR(kTrace, 14,
                        "sample format owner 0x%04X, type 0x%04X is not the standard one", label,
                        fields.format.Owner, fields.format.Type);
        return E_INVALIDARG;
    }
    if (fields.dataFlags != WINBIO_DATA_FLAG_RAW) {
        MOC_TRACE_ERROR(kTrace, 15, "sample data flags 0x%02X are not raw", label,
                        fields.dataFlags);
        return E_INVALIDARG;
    }
    if (fields.pixelDepth != 8) {
        MOC_TRACE_ERROR(kTrace, 16, "pixel depth %u is not 8", label, fields.pixelDepth);
        return WINBIO_E_UNSUPPORTED_DATA_FORMAT;
    }
    if (fields.compression != WINBIO_ANSI_381_IMG_UNCOMPRESSED) {
        MOC_TRACE_ERROR(kTrace, 17, "image compression %u is not uncompressed", label,
                        fields.compression);
        return WINBIO_E_UNSUPPORTED_DATA_FORMAT;
    }

    DWORD status = 0;
    ULONG64 token = 0;
    hr = MocAcceptSample(context->Device, Purpose, &status, &token);
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 18, "chip refused the sample: %!WINERROR!", label, Win32ErrorOf(hr));
        return hr;
    }
    context->SampleToken = token;
    *RejectDetail = status;

    // Confirmed whatever the verdict, under the token the chip has just given.
    MocConfirmSampleRequest confirm;
    confirm.Status = static_cast<BYTE>(status);
    confirm.SampleToken = token;
    hr = DeviceRequest(Pipeline, IOCTL_MOC_CONFIRM_SAMPLE).Input(confirm).Send();
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 19, "sample confirmation not sent: %!WINERROR!", label,
                        Win32ErrorOf(hr));
        return WinBioErrorFromWin32(Win32ErrorOf(hr));
    }
    hr = S_OK;
    if (status != 0) {
        MOC_TRACE_ERROR(kTrace, 20, "chip sample status %u: a bad capture", label, status);
        hr = WINBIO_E_BAD_CAPTURE;
    }
    MOC_TRACE_INFO(kTrace, 21, "accept sample data returns %!HRESULT!", label, hr);
    return hr;
}
