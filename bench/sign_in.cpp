#include "bench/sign_in.h"

#include <wtsapi32.h>
#include <cstddef>
#include <filesystem>
#include "host/identities.h"
#include "platform/test.h"
#include "storage/database_file.h"

namespace moc_bench {
namespace {

constexpr BYTE kFinger = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;

simsensor::Presentation Finger() {
    simsensor::Presentation p;
    p.finger = kFinger;
    p.subFactor = kFinger;
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
    sensor_->PresentFinger(Finger());
    host::EnrollResult enrolled =
        unit_->Enroll(host::SignedInUser(), kFinger, [&](const host::SampleReport& sample) {
            if (sample.result == WINBIO_I_MORE_DATA)
                sensor_->PresentFinger(Finger());
        });
    if (enrolled.result != S_OK) {
        why_ = "the enrollment failed at " + enrolled.step;
        return;
    }
    platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_LOCK));
    sensor_->ClearLog();
    ready_ = true;
}

SignInBench::~SignInBench() {
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

bool PatchMatchCounters(std::string* why) {
    *why = "the raw patch of the counters failed";
    const std::string path = host::PrivateDatabasePath();
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DatabaseFileHeader header{};
    DWORD done = 0;
    bool ok = ReadFile(file, &header, sizeof(header), &done, nullptr) && done == sizeof(header);
    MatchStatistics counters = header.Statistics;
    ++counters.Identifications;
    ++counters.Matches;
    constexpr DWORD kOffset = offsetof(DatabaseFileHeader, Statistics);
    ok = ok && SetFilePointer(file, kOffset, nullptr, FILE_BEGIN) == kOffset &&
         WriteFile(file, &counters, sizeof(counters), &done, nullptr) && done == sizeof(counters) &&
         FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

} // namespace moc_bench
