#include "bench/sign_in.h"

#include <wtsapi32.h>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include "bench/raw_calls.h"
#include "device/driver_interface.h"
#include "host/identities.h"
#include "platform/test.h"
#include "storage/database_file.h"

namespace moc_bench {
namespace {

constexpr BYTE kFinger = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
constexpr BYTE kOtherFinger = WINBIO_ANSI_381_POS_RH_MIDDLE_FINGER;

simsensor::Presentation Finger(BYTE finger = kFinger) {
    simsensor::Presentation p;
    p.finger = finger;
    p.subFactor = finger;
    return p;
}

} // namespace

SignInBench::SignInBench() {
    platform::test::ResetAll();
    root_ = std::make_unique<moc_test::TempRoot>();
    std::filesystem::create_directories(root_->Native(host::kDatabaseFolder));
    sensor_ = std::make_shared<simsensor::SimulatedSensor>();
    device_ = platform::test::OpenDevice(sensor_);
    library_ = host::AdapterLibrary::Load(MOC_ADAPTER_LIBRARY, &why_);
    if (library_ == nullptr)
        return;
    unit_ = std::make_unique<host::BiometricUnit>(library_->Tables(), device_);
    if (FAILED(unit_->Start())) {
        why_ = "the unit did not start";
        return;
    }
    if (!EnrollFinger(kFinger, &why_))
        return;
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event_ == nullptr) {
        why_ = "no event for the raw capture";
        return;
    }
    platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_LOCK));
    sensor_->ClearLog();
    ready_ = true;
}

SignInBench::~SignInBench() {
    if (event_ != nullptr)
        CloseHandle(event_);
    unit_.reset();
    library_.reset();
    CloseHandle(device_);
    root_.reset();
    platform::test::ResetAll();
}

bool SignInBench::SignIn(std::string* why) {
    sensor_->PresentFinger(Finger());
    host::IdentifyResult r = unit_->Identify();
    if (r.result == S_OK && r.subFactor == kFinger &&
        host::SameIdentity(r.identity, host::SignedInUser()))
        return true;
    *why = "the sign-in did not identify the user";
    return false;
}

bool SignInBench::EnrollFinger(BYTE finger, std::string* why) {
    sensor_->PresentFinger(Finger(finger));
    host::EnrollResult enrolled =
        unit_->Enroll(host::SignedInUser(), finger, [&](const host::SampleReport& sample) {
            if (sample.result == WINBIO_I_MORE_DATA)
                sensor_->PresentFinger(Finger(finger));
        });
    if (enrolled.result == S_OK)
        return true;
    *why = "the enrollment failed at " + enrolled.step;
    return false;
}

bool SignInBench::EnrollAndDelete(std::string* why) {
    if (!EnrollFinger(kOtherFinger, why))
        return false;
    if (SUCCEEDED(unit_->Delete(host::SignedInUser(), kOtherFinger)))
        return true;
    *why = "the delete of the enrolled finger failed";
    return false;
}

namespace {

// The engine's update of the match counters, with its platform calls: the
// file looked for (the counters are kept only when it exists), its header
// read and checked against the file's length, then, as the storage adapter
// may have rewritten the file since, opened again, read again and its 20
// counter bytes patched in place and flushed.
bool PatchMatchCounters() {
    const std::string path = host::PrivateDatabasePath();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes))
        return false;
    DatabaseFileHeader header{};
    LARGE_INTEGER length{};
    DWORD done = 0;
    for (int open = 0; open < 2; ++open) {
        const DWORD access = open == 0 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
        HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        bool ok = GetFileSizeEx(file, &length) &&
                  ReadFile(file, &header, sizeof(header), &done, nullptr) && done == sizeof(header);
        if (ok && open == 1) {
            MatchStatistics counters = header.Statistics;
            ++counters.Identifications;
            ++counters.Matches;
            constexpr DWORD kOffset = offsetof(DatabaseFileHeader, Statistics);
            ok = SetFilePointer(file, kOffset, nullptr, FILE_BEGIN) == kOffset &&
                 WriteFile(file, &counters, sizeof(counters), &done, nullptr) &&
                 done == sizeof(counters) && FlushFileBuffers(file);
        }
        if (!CloseHandle(file) || !ok)
            return false;
    }
    return true;
}

} // namespace

bool SignInBench::RawSignIn(std::string* why) {
    *why = "the raw sign-in failed";
    sensor_->PresentFinger(Finger());
    WINBIO_CAPTURE_PARAMETERS parameters{};
    parameters.PayloadSize = sizeof(parameters);
    parameters.Purpose = WINBIO_PURPOSE_IDENTIFY;
    parameters.Format = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};
    parameters.Flags = WINBIO_DATA_FLAG_RAW;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    DWORD returned = 0;
    if (!DeviceIoControl(device_, IOCTL_BIOMETRIC_CAPTURE_DATA, &parameters, sizeof(parameters),
                         capture_, sizeof(capture_), &returned, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    if (!GetOverlappedResult(device_, &overlapped, &returned, TRUE))
        return false;

    const BYTE purpose = WINBIO_PURPOSE_IDENTIFY;
    MocAcceptSampleResponse accepted{};
    if (!RawRequest(device_, IOCTL_MOC_ACCEPT_SAMPLE, &purpose, 1, &accepted, sizeof(accepted)))
        return false;
    MocConfirmSampleRequest confirm{};
    confirm.Status = accepted.Status;
    confirm.SampleToken = accepted.SampleToken;
    MocIdentifyResponse identified{};
    if (!RawRequest(device_, IOCTL_MOC_CONFIRM_SAMPLE, &confirm, sizeof(confirm), nullptr, 0) ||
        !RawRequest(device_, IOCTL_MOC_IDENTIFY, nullptr, 0, &identified, sizeof(identified)) ||
        identified.Status != MOC_STATUS_SUCCESS)
        return false;
    MatchReport report{};
    report.Kind = MOC_MATCH_REPORT_KIND;
    report.MatchResult = MOC_STATUS_SUCCESS;
    std::memcpy(report.Detail,
                reinterpret_cast<const BYTE*>(&identified.Tail.WithoutNonce.Detail) + 4,
                sizeof(report.Detail));
    return RawRequest(device_, IOCTL_MOC_SET_MATCH_RESULT, &report.MatchResult, 1, nullptr, 0) &&
           RawRequest(device_, IOCTL_MOC_REPORT_MATCH, &report, sizeof(report), nullptr, 0) &&
           PatchMatchCounters();
}

} // namespace moc_bench
