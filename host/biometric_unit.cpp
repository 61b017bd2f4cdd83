#include "host/biometric_unit.h"

#include <synchapi.h>
#include "host/identities.h"
#include "storage/database_file.h"

namespace host {

// {8C6E1F3A-5B27-4D90-A1E4-37C2F05B9D61}
const GUID kDatabaseId = {
    0x8C6E1F3A, 0x5B27, 0x4D90, {0xA1, 0xE4, 0x37, 0xC2, 0xF0, 0x5B, 0x9D, 0x61}};
// {D4A90C57-2E13-4B6F-9A85-6F0E1C3B7A24}
const GUID kDatabaseFormat = {
    0xD4A90C57, 0x2E13, 0x4B6F, {0x9A, 0x85, 0x6F, 0x0E, 0x1C, 0x3B, 0x7A, 0x24}};
const WCHAR kDatabaseFilePath[] =
    u"C:\\Windows\\System32\\WinBioDatabase\\{8C6E1F3A-5B27-4D90-A1E4-37C2F05B9D61}.DAT";
const char kDatabaseFolder[] = "C:\\Windows\\System32\\WinBioDatabase";

std::string PrivateDatabasePath() {
    return std::string(kDatabaseFolder) + "\\" + PrivateDatabaseFile;
}

namespace {

constexpr WCHAR kConnectString[] = u"";
// An engine that never stops asking for samples would hold the framework for ever.
constexpr ULONG kMaxEnrollmentSamples = 255;

} // namespace

BiometricUnit::BiometricUnit(const AdapterTables& tables, HANDLE sensorHandle,
                             CallObserver observer)
    : tables_(tables), observer_(std::move(observer)) {
    pipeline_.SensorHandle = sensorHandle;
    pipeline_.EngineHandle = INVALID_HANDLE_VALUE;
    pipeline_.StorageHandle = INVALID_HANDLE_VALUE;
    pipeline_.SensorInterface = tables_.sensor;
    pipeline_.EngineInterface = tables_.engine;
    pipeline_.StorageInterface = tables_.storage;
}

BiometricUnit::~BiometricUnit() {
    Stop();
}

HRESULT BiometricUnit::Report(const char* call, HRESULT result) {
    if (observer_)
        observer_(call, result);
    return result;
}

HRESULT BiometricUnit::Attach() {
    WINBIO_PIPELINE* p = &pipeline_;
    HRESULT hr = Report("sensor Attach", tables_.sensor->Attach(p));
    if (FAILED(hr))
        return hr;
    hr = Report("engine Attach", tables_.engine->Attach(p));
    if (FAILED(hr))
        return hr;
    return Report("storage Attach", tables_.storage->Attach(p));
}

HRESULT BiometricUnit::Start() {
    HRESULT hr = Attach();
    return FAILED(hr) ? hr : OpenAndActivate();
}

HRESULT BiometricUnit::StartAfresh() {
    WINBIO_PIPELINE* p = &pipeline_;
    HRESULT hr = Attach();
    if (FAILED(hr))
        return hr;
    GUID id = kDatabaseId;
    hr = Report("storage EraseDatabase",
                tables_.storage->EraseDatabase(p, &id, kDatabaseFilePath, kConnectString));
    if (FAILED(hr))
        return hr;
    hr = CreateDatabase();
    return FAILED(hr) ? hr : OpenAndActivate();
}

HRESULT BiometricUnit::CreateDatabase() {
    GUID id = kDatabaseId;
    GUID format = kDatabaseFormat;
    return Report("storage CreateDatabase",
                  tables_.storage->CreateDatabase(&pipeline_, &id, WINBIO_TYPE_FINGERPRINT, &format,
                                                  kDatabaseFilePath, kConnectString, 0, 0));
}

HRESULT BiometricUnit::OpenAndActivate() {
    WINBIO_PIPELINE* p = &pipeline_;
    GUID id = kDatabaseId;
    HRESULT hr = Report("storage OpenDatabase",
                        tables_.storage->OpenDatabase(p, &id, kDatabaseFilePath, kConnectString));
    if (hr == WINBIO_E_DATABASE_CANT_FIND)
        hr = CreateDatabase();
    if (FAILED(hr))
        return hr;
    databaseOpen_ = true;

    active_ = true;
    hr = Report("sensor Activate", tables_.sensor->Activate(p));
    if (SUCCEEDED(hr))
        hr = Report("engine Activate", tables_.engine->Activate(p));
    if (SUCCEEDED(hr))
        hr = Report("storage Activate", tables_.storage->Activate(p));
    return hr;
}

void BiometricUnit::Stop() {
    WINBIO_PIPELINE* p = &pipeline_;
    if (active_) {
        Report("sensor Deactivate", tables_.sensor->Deactivate(p));
        Report("engine Deactivate", tables_.engine->Deactivate(p));
        Report("storage Deactivate", tables_.storage->Deactivate(p));
        active_ = false;
    }
    if (databaseOpen_) {
        Report("storage CloseDatabase", tables_.storage->CloseDatabase(p));
        databaseOpen_ = false;
    }
    // A context left by a failed attach is released by its detach too.
    if (pipeline_.StorageContext != nullptr)
        Report("storage Detach", tables_.storage->Detach(p));
    if (pipeline_.EngineContext != nullptr)
        Report("engine Detach", tables_.engine->Detach(p));
    if (pipeline_.SensorContext != nullptr)
        Report("sensor Detach", tables_.sensor->Detach(p));
}

HRESULT BiometricUnit::CaptureSample(WINBIO_BIR_PURPOSE purpose,
                                     WINBIO_REJECT_DETAIL* rejectDetail) {
    WINBIO_PIPELINE* p = &pipeline_;
    *rejectDetail = 0;
    LPOVERLAPPED overlapped = nullptr;
    HRESULT hr =
        Report("sensor StartCapture", tables_.sensor->StartCapture(p, purpose, &overlapped));
    if (FAILED(hr))
        return hr;
    // The service waits for the capture's completion before it asks for the result.
    if (overlapped != nullptr && overlapped->hEvent != nullptr)
        WaitForSingleObject(overlapped->hEvent, INFINITE);
    hr = Report("sensor FinishCapture", tables_.sensor->FinishCapture(p, rejectDetail));
    if (FAILED(hr))
        return hr;
    return Report("sensor PushDataToEngine",
                  tables_.sensor->PushDataToEngine(p, purpose, WINBIO_DATA_FLAG_RAW, rejectDetail));
}

HRESULT BiometricUnit::Cancel() {
    return Report("sensor Cancel", tables_.sensor->Cancel(&pipeline_));
}

IdentifyResult BiometricUnit::Identify() {
    IdentifyResult r;
    r.result = CaptureSample(WINBIO_PURPOSE_IDENTIFY, &r.rejectDetail);
    if (FAILED(r.result))
        return r;
    PUCHAR payload = nullptr, hash = nullptr;
    SIZE_T payloadSize = 0, hashSize = 0;
    r.result =
        Report("engine IdentifyFeatureSet",
               tables_.engine->IdentifyFeatureSet(&pipeline_, &r.identity, &r.subFactor, &payload,
                                                  &payloadSize, &hash, &hashSize, &r.rejectDetail));
    return r;
}

IdentifyResult BiometricUnit::IdentifyAuthenticated(const std::vector<uint8_t>& nonce) {
    IdentifyResult r;
    r.result = CaptureSample(WINBIO_PURPOSE_IDENTIFY, &r.rejectDetail);
    if (FAILED(r.result))
        return r;
    PUCHAR authorization = nullptr;
    SIZE_T authorizationSize = 0;
    r.result = Report("engine IdentifyFeatureSetAuthenticated",
                      tables_.engine->IdentifyFeatureSetAuthenticated(
                          &pipeline_, nonce.data(), nonce.size(), &r.identity, &r.subFactor,
                          &r.rejectDetail, &authorization, &authorizationSize));
    if (SUCCEEDED(r.result) && authorization != nullptr)
        r.authorization.assign(authorization, authorization + authorizationSize);
    return r;
}

VerifyResult BiometricUnit::Verify(const WINBIO_IDENTITY& identity,
                                   WINBIO_BIOMETRIC_SUBTYPE subFactor) {
    VerifyResult r;
    r.result = CaptureSample(WINBIO_PURPOSE_VERIFY, &r.rejectDetail);
    if (FAILED(r.result))
        return r;
    WINBIO_IDENTITY asked = identity;
    PUCHAR payload = nullptr, hash = nullptr;
    SIZE_T payloadSize = 0, hashSize = 0;
    r.result =
        Report("engine VerifyFeatureSet",
               tables_.engine->VerifyFeatureSet(&pipeline_, &asked, subFactor, &r.match, &payload,
                                                &payloadSize, &hash, &hashSize, &r.rejectDetail));
    return r;
}

ULONG BiometricUnit::SamplesPerEnrollment() {
    WINBIO_EXTENDED_ENGINE_INFO info{};
    HRESULT hr = Report("engine QueryExtendedInfo",
                        tables_.engine->QueryExtendedInfo(&pipeline_, &info, sizeof(info)));
    return SUCCEEDED(hr) ? info.Specific.Fingerprint.EnrollmentRequirements.GeneralSamples : 0;
}

EnrollResult BiometricUnit::Enroll(const WINBIO_IDENTITY& identity,
                                   WINBIO_BIOMETRIC_SUBTYPE subFactor,
                                   const SampleObserver& onSample) {
    return RunEnrollment(identity, subFactor, onSample, false);
}

EnrollResult BiometricUnit::EnrollAuthenticated(const WINBIO_IDENTITY& identity,
                                                WINBIO_BIOMETRIC_SUBTYPE subFactor,
                                                const SampleObserver& onSample) {
    return RunEnrollment(identity, subFactor, onSample, true);
}

EnrollResult BiometricUnit::RunEnrollment(const WINBIO_IDENTITY& identity,
                                          WINBIO_BIOMETRIC_SUBTYPE subFactor,
                                          const SampleObserver& onSample, bool authenticated) {
    WINBIO_PIPELINE* p = &pipeline_;
    EnrollResult r;
    r.step = "create";
    if (authenticated) {
        PUCHAR nonce = nullptr;
        SIZE_T nonceSize = 0;
        r.result = Report("engine CreateEnrollmentAuthenticated",
                          tables_.engine->CreateEnrollmentAuthenticated(p, &nonce, &nonceSize));
        if (FAILED(r.result))
            return r;
        if (nonce != nullptr)
            r.nonce.assign(nonce, nonce + nonceSize);
    }
    r.result = Report("engine CreateEnrollment", tables_.engine->CreateEnrollment(p));
    if (FAILED(r.result))
        return r;

    auto discard = [&] {
        Report("engine DiscardEnrollment", tables_.engine->DiscardEnrollment(p));
    };
    const ULONG total = SamplesPerEnrollment();
    for (ULONG index = 1;; ++index) {
        SampleReport sample;
        sample.index = index;
        sample.total = total;
        r.step = "sample " + std::to_string(index);
        sample.result = CaptureSample(WINBIO_PURPOSE_ENROLL, &sample.rejectDetail);
        if (SUCCEEDED(sample.result))
            sample.result = Report("engine UpdateEnrollment",
                                   tables_.engine->UpdateEnrollment(p, &sample.rejectDetail));
        if (onSample)
            onSample(sample);
        r.result = sample.result;
        if (r.result == S_OK)
            break;
        if (r.result != WINBIO_I_MORE_DATA || index == kMaxEnrollmentSamples) {
            discard();
            return r;
        }
    }

    r.step = "duplicate check";
    BOOLEAN duplicate = FALSE;
    r.result = Report("engine CheckForDuplicate",
                      tables_.engine->CheckForDuplicate(p, &r.duplicateIdentity,
                                                        &r.duplicateSubFactor, &duplicate));
    if (FAILED(r.result)) {
        discard();
        return r;
    }
    r.duplicateChecked = true;
    if (duplicate) {
        r.duplicate = true;
        r.result = WINBIO_E_DUPLICATE_ENROLLMENT;
        discard();
        return r;
    }

    r.step = "commit";
    WINBIO_IDENTITY committed = identity;
    r.result = Report("engine CommitEnrollment",
                      tables_.engine->CommitEnrollment(p, &committed, subFactor, nullptr, 0));
    if (FAILED(r.result))
        discard();
    return r;
}

ListResult BiometricUnit::List() {
    WINBIO_PIPELINE* p = &pipeline_;
    ListResult r;
    WINBIO_IDENTITY everyone = WildcardIdentity();
    r.result = Report("storage QueryBySubject",
                      tables_.storage->QueryBySubject(p, &everyone, WINBIO_SUBTYPE_ANY));
    if (r.result == WINBIO_E_DATABASE_NO_RESULTS) {
        r.result = S_OK;
        return r;
    }
    if (FAILED(r.result))
        return r;
    SIZE_T count = 0;
    r.result = Report("storage GetRecordCount", tables_.storage->GetRecordCount(p, &count));
    if (FAILED(r.result))
        return r;
    r.result = Report("storage FirstRecord", tables_.storage->FirstRecord(p));
    for (SIZE_T i = 0; SUCCEEDED(r.result) && i < count; ++i) {
        WINBIO_STORAGE_RECORD record{};
        r.result =
            Report("storage GetCurrentRecord", tables_.storage->GetCurrentRecord(p, &record));
        if (FAILED(r.result))
            return r;
        EnrolledRecord entry;
        if (record.Identity != nullptr)
            entry.identity = *record.Identity;
        entry.subFactor = record.SubFactor;
        r.records.push_back(entry);
        if (i + 1 < count)
            r.result = Report("storage NextRecord", tables_.storage->NextRecord(p));
    }
    return r;
}

HRESULT BiometricUnit::Delete(const WINBIO_IDENTITY& identity, WINBIO_BIOMETRIC_SUBTYPE subFactor) {
    WINBIO_IDENTITY target = identity;
    return Report("storage DeleteRecord",
                  tables_.storage->DeleteRecord(&pipeline_, &target, subFactor));
}

} // namespace host
