// One biometric unit as the framework runs it: the pipeline that joins the three adapters
// of a loaded adapter library on the sensor's device handle, and the framework's part of
// each road (capture, identify, verify, enrollment, listing and deleting records), played
// through the interface tables alone, in the order the framework calls them.
//
//   host::BiometricUnit unit(library->Tables(), sensorHandle);
//   unit.Start();                        // attach, open or create the database, activate
//   sensor->PresentFinger(...);          // the simulated sensor gets its finger
//   host::IdentifyResult r = unit.Identify();
//   unit.Stop();                         // deactivate, close, detach
//
// The framework calls one operation of a unit at a time; only Cancel may come from another
// thread while a capture waits.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <functional>
#include <string>
#include <vector>
#include "host/adapter_library.h"

namespace host {

// The framework's database of this unit: its id, data format and file. The storage
// adapter keeps its own records in the same folder.
extern const GUID kDatabaseId;
extern const GUID kDatabaseFormat;
extern const WCHAR kDatabaseFilePath[];
extern const char kDatabaseFolder[];
// The storage adapter's record file in that folder, whose header holds the engine's match
// statistics.
std::string PrivateDatabasePath();

// Every slot called, as "engine IdentifyFeatureSet", with what it returned.
using CallObserver = std::function<void(const std::string& call, HRESULT result)>;

struct SampleReport {
    ULONG index = 0;       // from 1
    ULONG total = 0;       // samples the engine asks for; 0 when it does not say
    HRESULT result = S_OK; // of the capture, or of the enrollment update
    WINBIO_REJECT_DETAIL rejectDetail = 0;
};
using SampleObserver = std::function<void(const SampleReport&)>;

struct IdentifyResult {
    HRESULT result = E_FAIL;
    WINBIO_IDENTITY identity{};
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    WINBIO_REJECT_DETAIL rejectDetail = 0;
    std::vector<uint8_t> authorization; // the authenticated form's
};

struct VerifyResult {
    HRESULT result = E_FAIL;
    BOOLEAN match = FALSE;
    WINBIO_REJECT_DETAIL rejectDetail = 0;
};

struct EnrollResult {
    HRESULT result = E_FAIL;
    std::string
        step; // where the result came from: "create", "sample 2", "duplicate check", "commit"
    bool duplicateChecked = false; // the duplicate check answered
    bool duplicate = false;
    WINBIO_IDENTITY duplicateIdentity{};
    WINBIO_BIOMETRIC_SUBTYPE duplicateSubFactor = 0;
    std::vector<uint8_t> nonce; // the chip's, in the authenticated form
};

struct EnrolledRecord {
    WINBIO_IDENTITY identity{};
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
};

struct ListResult {
    HRESULT result = E_FAIL; // S_OK also when there is nothing to list
    std::vector<EnrolledRecord> records;
};

class BiometricUnit {
public:
    BiometricUnit(const AdapterTables& tables, HANDLE sensorHandle, CallObserver observer = {});
    ~BiometricUnit(); // stops the unit
    BiometricUnit(const BiometricUnit&) = delete;
    BiometricUnit& operator=(const BiometricUnit&) = delete;

    // Attaches the sensor, engine and storage adapters, opens the database (creating it
    // when the open cannot find it) and activates the three. The first failure ends it;
    // Stop then undoes what was done.
    HRESULT Start();
    // Start with the database begun afresh, as the framework makes a unit's database
    // anew: after the attach, EraseDatabase and CreateDatabase, then the open as above.
    HRESULT StartAfresh();
    // Deactivates, closes the database and detaches whatever Start brought up.
    void Stop();

    // One sample: StartCapture, the wait for it, FinishCapture, PushDataToEngine.
    HRESULT CaptureSample(WINBIO_BIR_PURPOSE purpose, WINBIO_REJECT_DETAIL* rejectDetail);
    HRESULT Cancel();

    // A sample, then the engine's identify.
    IdentifyResult Identify();
    IdentifyResult IdentifyAuthenticated(const std::vector<uint8_t>& nonce);
    // A sample, then the engine's verify against `identity` and `subFactor`.
    VerifyResult Verify(const WINBIO_IDENTITY& identity, WINBIO_BIOMETRIC_SUBTYPE subFactor);
    // CreateEnrollment (after CreateEnrollmentAuthenticated in the authenticated form),
    // samples with UpdateEnrollment until it stops asking for more, CheckForDuplicate and
    // CommitEnrollment; a failed step discards the enrollment.
    EnrollResult Enroll(const WINBIO_IDENTITY& identity, WINBIO_BIOMETRIC_SUBTYPE subFactor,
                        const SampleObserver& onSample = {});
    EnrollResult EnrollAuthenticated(const WINBIO_IDENTITY& identity,
                                     WINBIO_BIOMETRIC_SUBTYPE subFactor,
                                     const SampleObserver& onSample = {});
    // The records a listing query finds (account and GUID identities), walked one by one.
    ListResult List();
    HRESULT Delete(const WINBIO_IDENTITY& identity, WINBIO_BIOMETRIC_SUBTYPE subFactor);

    WINBIO_PIPELINE& Pipeline() { return pipeline_; }

private:
    HRESULT Report(const char* call, HRESULT result);
    HRESULT Attach();
    HRESULT CreateDatabase();
    HRESULT OpenAndActivate();
    EnrollResult RunEnrollment(const WINBIO_IDENTITY& identity, WINBIO_BIOMETRIC_SUBTYPE subFactor,
                               const SampleObserver& onSample, bool authenticated);
    ULONG SamplesPerEnrollment();

    AdapterTables tables_;
    WINBIO_PIPELINE pipeline_{};
    CallObserver observer_;
    bool databaseOpen_ = false;
    bool active_ = false;
};

} // namespace host
