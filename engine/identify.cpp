// Identify and verify: the chip matches the sample it holds against its own
// templates; the engine turns the answer into the framework's terms, tells
// the chip the outcome, counts sign-ins at the lock screen and reports the
// match.
#include <cstring>
#include <wtsapi32.h>

#include "common/file_utils.h"
#include "common/trace.h"
#include "device/device_request.h"
#include "engine/engine_adapter.h"
#include "engine/match_statistics.h"

namespace {

const GUID& kTrace = kTraceGuidEngineIdentify;

// The outcome of the chip identify and of telling the chip about it.
struct ChipMatch {
    HRESULT identify = S_OK;   // what MocIdentify returned
    BYTE resultByte = 0;       // sent with IOCTL_MOC_SET_MATCH_RESULT
    HRESULT resultSent = S_OK; // failure of that request, as the framework sees it
};

ChipMatch RunChipMatch(PWINIBIO_ENGINE_CONTEXT context, const UCHAR* nonce, DWORD nonceSize,
                       WINBIO_IDENTITY* identity, BYTE* subFactor, DWORD* rejectDetail,
                       PUCHAR* authorization, SIZE_T* authorizationSize) {
    ChipMatch match;
    match.identify =
        MocIdentify(context->Device, nonce, nonceSize, identity, subFactor, rejectDetail,
                    authorization, authorizationSize, &context->LastMatchDetail);
    MOC_TRACE_INFO(kTrace, 10, "chip identify: reject detail 0x%08X, match values %.3f and %.3f",
                   context->UnitLabel, *rejectDetail, context->LastMatchDetail.Value0 / 1000.0,
                   context->LastMatchDetail.Value1 / 1000.0);
    context->LastMatchResult = match.identify;
    context->LastRejectDetail = *rejectDetail;

    match.resultByte = match.identify == S_OK ? MOC_MATCH_RESULT_MATCH : MOC_MATCH_RESULT_NO_MATCH;
    HRESULT hr = DeviceRequest(context->Device->Pipeline, IOCTL_MOC_SET_MATCH_RESULT)
                     .Input(match.resultByte)
                     .Send();
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(kTrace, 11, "match result not sent: %!WINERROR!", context->UnitLabel,
                        Win32ErrorOf(hr));
        match.resultSent = WinBioErrorFromWin32(Win32ErrorOf(hr));
    }
    return match;
}

// After every identify whose outcome reached the chip: the count at the lock
// screen, then the match report, unless the lock screen has no file to count in.
void CountAndReport(PWINIBIO_ENGINE_CONTEXT context, const ChipMatch& match) {
    DWORD lockState = 255;
    GetConsoleSessionLockState(&lockState);
    if (lockState == WTS_SESSIONSTATE_LOCK && !UpdateMatchStatistics(context, match.identify)) {
        return;
    }
    MatchReport report;
    report.Kind = MOC_MATCH_REPORT_KIND;
    report.MatchResult = match.resultByte;
    std::memcpy(report.Detail, reinterpret_cast<const BYTE*>(&context->LastMatchDetail) + 4,
                sizeof(report.Detail));
    HRESULT hr =
        DeviceRequest(context->Device->Pipeline, IOCTL_MOC_REPORT_MATCH).Input(report).Send();
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 12, "match report not sent: %!WINERROR!", context->UnitLabel,
                       Win32ErrorOf(hr));
    }
}

// A caller's SID of 1 to 28 bytes against the chip's 28, the caller's padded
// with zeros: a shorter SID that is only a prefix of the chip's is another
// account, and an empty one is no account at all.
bool SameAccount(const WINBIO_IDENTITY& caller, const WINBIO_IDENTITY& chip) {
    const ULONG size = caller.Value.AccountSid.Size;
    if (size == 0 || size > MOC_SID_KEY_SIZE || chip.Value.AccountSid.Size != MOC_SID_KEY_SIZE) {
        return false;
    }
    BYTE padded[MOC_SID_KEY_SIZE] = {};
    std::memcpy(padded, caller.Value.AccountSid.Data, size);
    return std::memcmp(padded, chip.Value.AccountSid.Data, MOC_SID_KEY_SIZE) == 0;
}

void TraceSid(const char* label, const WINBIO_IDENTITY& identity) {
    const ULONG size = identity.Value.AccountSid.Size;
    MOC_TRACE_INFO(kTrace, 13, "account SID of %u bytes", label, size);
    TraceHexDump(label, identity.Value.AccountSid.Data,
                 static_cast<INT32>(size < SECURITY_MAX_SID_SIZE ? size : SECURITY_MAX_SID_SIZE));
}

} // namespace

HRESULT WINAPI EngineAdapterVerifyFeatureSet(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                             WINBIO_BIOMETRIC_SUBTYPE SubFactor, PBOOLEAN Match,
                                             PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize,
                                             PUCHAR* HashValue, PSIZE_T HashSize,
                                             PWINBIO_REJECT_DETAIL RejectDetail) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr =
        StartEngineOperation(Pipeline,
                             Identity != nullptr && Match != nullptr && PayloadBlob != nullptr &&
                                 PayloadBlobSize != nullptr && HashValue != nullptr &&
                                 HashSize != nullptr && RejectDetail != nullptr,
                             &context);
    if (FAILED(hr)) {
        return TraceEngineResult(kTrace, 14, "verify refused: %!HRESULT!", context, hr);
    }
    const char* label = context->UnitLabel;
    MOC_TRACE_INFO(kTrace, 15, "verify sub-factor 0x%02X, identity type %u", label, SubFactor,
                   Identity->Type);
    if (SubFactor == 0) {
        return TraceEngineResult(kTrace, 16, "verify returns %!HRESULT!", context, E_INVALIDARG);
    }
    if (Identity->Type == WINBIO_ID_TYPE_SID) {
        TraceSid(label, *Identity);
    }
    *Match = FALSE;
    *PayloadBlob = nullptr;
    *PayloadBlobSize = 0;
    *HashValue = nullptr;
    *HashSize = 0;
    *RejectDetail = 0;

    WINBIO_IDENTITY chipIdentity;
    BYTE chipSubFactor = 0;
    const ChipMatch match = RunChipMatch(context, nullptr, 0, &chipIdentity, &chipSubFactor,
                                         RejectDetail, nullptr, nullptr);
    hr = match.resultSent;
    if (SUCCEEDED(hr)) {
        if (match.identify == WINBIO_E_UNKNOWN_ID) {
            hr = WINBIO_E_NO_MATCH;
        } else if (FAILED(match.identify)) {
            hr = match.identify;
        } else if (Identity->Type == WINBIO_ID_TYPE_SID &&
                   chipIdentity.Type == WINBIO_ID_TYPE_SID &&
                   (SubFactor == WINBIO_SUBTYPE_ANY || SubFactor == chipSubFactor) &&
                   SameAccount(*Identity, chipIdentity)) {
            *Match = TRUE;
            hr = S_OK;
        } else {
            hr = WINBIO_E_NO_MATCH;
        }
    }
    return TraceEngineResult(kTrace, 16, "verify returns %!HRESULT!", context, hr);
}

HRESULT WINAPI EngineAdapterIdentifyFeatureSet(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                               PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                               PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize,
                                               PUCHAR* HashValue, PSIZE_T HashSize,
                                               PWINBIO_REJECT_DETAIL RejectDetail) {
    if (Pipeline == nullptr || Identity == nullptr || SubFactor == nullptr ||
        PayloadBlob == nullptr || PayloadBlobSize == nullptr || HashValue == nullptr ||
        HashSize == nullptr || RejectDetail == nullptr) {
        return TraceEngineResult(kTrace, 17, "identify refused: %!HRESULT!", nullptr, E_POINTER);
    }
    std::memset(Identity, 0, sizeof(*Identity));
    *SubFactor = 0;
    *PayloadBlob = nullptr;
    *PayloadBlobSize = 0;
    *HashValue = nullptr;
    *HashSize = 0;
    *RejectDetail = 0;
    PWINIBIO_ENGINE_CONTEXT context = UsableEngineContext(Pipeline);
    if (context == nullptr) {
        return TraceEngineResult(kTrace, 17, "identify refused: %!HRESULT!", nullptr,
                                 WINBIO_E_INVALID_DEVICE_STATE);
    }
    const char* label = context->UnitLabel;

    WINBIO_IDENTITY chipIdentity;
    const ChipMatch match =
        RunChipMatch(context, nullptr, 0, &chipIdentity, SubFactor, RejectDetail, nullptr, nullptr);
    if (FAILED(match.resultSent)) {
        return TraceEngineResult(kTrace, 18, "identify returns %!HRESULT!", context,
                                 match.resultSent);
    }
    CountAndReport(context, match);

    HRESULT hr = match.identify;
    if (SUCCEEDED(hr)) {
        if (chipIdentity.Type == WINBIO_ID_TYPE_SID) {
            Identity->Type = chipIdentity.Type;
            Identity->Value.AccountSid.Size = chipIdentity.Value.AccountSid.Size;
            std::memcpy(Identity->Value.AccountSid.Data, chipIdentity.Value.AccountSid.Data,
                        chipIdentity.Value.AccountSid.Size);
            MOC_TRACE_INFO(kTrace, 19, "identified sub-factor 0x%02X, identity type %u", label,
                           *SubFactor, Identity->Type);
            TraceSid(label, *Identity);
        } else {
            // Only an account can sign in here; a secure identity is not handed out.
            hr = WINBIO_E_UNKNOWN_ID;
        }
    }
    return TraceEngineResult(kTrace, 18, "identify returns %!HRESULT!", context, hr);
}

HRESULT WINAPI EngineAdapterIdentifyFeatureSetAuthenticated(
    PWINBIO_PIPELINE Pipeline, const UCHAR* Nonce, SIZE_T NonceSize, PWINBIO_IDENTITY Identity,
    PWINBIO_BIOMETRIC_SUBTYPE SubFactor, PWINBIO_REJECT_DETAIL RejectDetail, PUCHAR* Authorization,
    PSIZE_T AuthorizationSize) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    HRESULT hr = StartEngineOperation(Pipeline,
                                      Nonce != nullptr && Identity != nullptr &&
                                          SubFactor != nullptr && RejectDetail != nullptr &&
                                          Authorization != nullptr && AuthorizationSize != nullptr,
                                      &context);
    if (FAILED(hr)) {
        return TraceEngineResult(kTrace, 20, "authenticated identify refused: %!HRESULT!", context,
                                 hr);
    }
    // The request carries a 32-bit size: a larger one cut down would send a
    // different nonce, or none, and the sign-in would pass without the
    // authorization the framework asked for.
    if (NonceSize > 0xFFFFFFFFu) {
        return TraceEngineResult(kTrace, 20, "authenticated identify refused: %!HRESULT!", context,
                                 E_INVALIDARG);
    }
    const char* label = context->UnitLabel;
    *RejectDetail = 0;
    *SubFactor = 0;
    std::memset(Identity, 0, sizeof(*Identity));
    // Only the chip's answer to this nonce fills these: an identify without a
    // nonce, or without a match, hands out no authorization.
    *Authorization = nullptr;
    *AuthorizationSize = 0;

    const ChipMatch match = RunChipMatch(context, Nonce, static_cast<DWORD>(NonceSize), Identity,
                                         SubFactor, RejectDetail, Authorization, AuthorizationSize);
    if (FAILED(match.resultSent)) {
        return TraceEngineResult(kTrace, 21, "authenticated identify returns %!HRESULT!", context,
                                 match.resultSent);
    }
    CountAndReport(context, match);

    if (FAILED(match.identify)) {
        return TraceEngineResult(kTrace, 21, "authenticated identify returns %!HRESULT!", context,
                                 match.identify);
    }
    MOC_TRACE_INFO(kTrace, 22, "identified sub-factor 0x%02X, identity type %u", label, *SubFactor,
                   Identity->Type);
    BYTE digest[32];
    if (!Sha256Digest(Identity->Value.SecureId, sizeof(Identity->Value.SecureId), digest)) {
        MOC_TRACE_INFO(kTrace, 23, "the digest of the secure identity failed", label);
    } else {
        TraceHexDump(label, digest, sizeof(digest));
    }
    if (*Authorization != nullptr) {
        TraceHexDump(label, *Authorization, static_cast<INT32>(*AuthorizationSize));
    }
    return TraceEngineResult(kTrace, 21, "authenticated identify returns %!HRESULT!", context,
                             S_OK);
}
