// The simulated sensor: a driver object that plays the chip behind a device handle.
//
//   auto sensor = std::make_shared<simsensor::SimulatedSensor>();
//   HANDLE handle = platform::test::OpenDevice(sensor);   // closed with CloseHandle
//
// It answers every control code of the driver interface (device/driver_interface.h and
// <winbio_ioctl.h>) from a chip state that tests set and read between calls, logs every
// request, and follows a fault plan per control code. Calls may arrive from several
// threads; every public method takes the sensor's lock.
//
// The chip model:
// - A finger is a number chosen by the test (kNoFinger matches nothing). A capture takes
//   the next presentation from the queue; with the queue empty it stays pending until
//   PresentFinger or a cancel. The captured sample's status byte is the presentation's
//   capture status.
// - Accept sample takes the captured sample for the purpose it names, once: a second
//   accept of the same capture finds no capture. It answers with the presentation's
//   accept status and a new sample token. A sample accepted for an enrollment purpose
//   (enroll, enroll for verification, enroll for identification) serves the enrollment
//   alone: with status 0 during an enrollment it is the enrolled finger, and an
//   enrollment counts the samples so accepted with status 0 and then confirmed with
//   status 0 and their token. A sample accepted for any other purpose serves identify
//   alone.
// - Confirm needs an accepted sample, and a sample accepted for an enrollment purpose
//   needs an open enrollment.
// - Identify matches the accepted finger against the used slots (state 1) and uses the
//   sample up: a second identify on it answers no match (11) until a new sample is
//   accepted. A sample accepted with a non-zero status makes identify answer that status.
//   With a 32-byte nonce the reply carries an authorization (see Authorization below).
// - Begin enrollment opens the enrollment of a free slot; commit writes that slot, and
//   only once the enrollment counted the samples the capabilities ask for (byte 0 - 1);
//   before that it fails with ERROR_NOT_READY and the enrollment stays open. The commit
//   request carries no identity kind: the slot gets kind 1 (secure identity) when key
//   bytes 28-31 are not all zero and kind 0 (account SID) otherwise, unless a test set
//   the kind with SetCommitIdentityKind. In hashed mode (capabilities byte 3) a secure
//   identity's table key is the SHA-256 of its key, while the raw key is kept for
//   identify and duplicate replies. In owner-id mode (byte 2) the slot gets the host
//   owner id.
// - Requests the chip cannot serve fail with a Win32 error: ERROR_INVALID_PARAMETER for a
//   request of the wrong size or value, ERROR_INSUFFICIENT_BUFFER for an output buffer
//   smaller than the reply (nothing is written), ERROR_NOT_READY for a request out of
//   order (accept without a capture, identify or confirm without an accepted sample,
//   identify on a sample accepted for an enrollment, confirm of such a sample without an
//   enrollment, commit without an enrollment),
//   ERROR_ALREADY_EXISTS for beginning an enrollment into a used slot, and
//   ERROR_INVALID_FUNCTION for a code the interface does not have.
#pragma once
#include <windows.h>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "device/driver_interface.h"
#include "platform/test_device.h"

namespace simsensor {

using Finger = DWORD;
constexpr Finger kNoFinger = 0;

struct Presentation {
    Finger finger = kNoFinger;
    BYTE subFactor = WINBIO_ANSI_381_POS_RH_INDEX_FINGER; // written into the BIR header
    BYTE captureStatus = 0; // status byte of the sample: 1 poor, 0xFF none, else usable
    BYTE acceptStatus = 0;  // chip status of the accept reply: 0, 12, or a reject detail
};

// One slot of the template table as the chip keeps it.
struct SimSlot {
    BYTE state = MOC_SLOT_STATE_FREE;
    BYTE identityKind = MOC_IDENTITY_KIND_SID;
    BYTE subFactor = 0;
    IdentityKey key{};    // as the table reports it
    BYTE reserved = 0;    // byte 35 of an owned entry
    HostOwnerId owner{};  // reported in owner-id mode
    IdentityKey rawKey{}; // carried by identify and duplicate replies
    Finger finger = kNoFinger;
};

struct Enrollment {
    bool active = false;
    BYTE slot = 0;
    Finger finger = kNoFinger; // of the last sample accepted with status 0 since begin
    DWORD samples = 0;         // samples accepted and confirmed with status 0 since begin
};

struct LoggedRequest {
    DWORD code = 0;
    std::vector<uint8_t> input;
    DWORD outputCapacity = 0;
    bool overlapped = false;
    // What the sensor answered: false while the request is pending, and for a request
    // cancelled before the sensor answered it.
    bool answered = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytesReturned = 0;
};

// One entry of the fault plan of a control code; it applies to `count` calls in a row.
// A Fail or Short entry that meets a capture still waiting for a finger is kept with the
// capture and applied when a finger completes it (a Fail leaves that finger queued).
struct Fault {
    enum class Kind {
        Fail,   // complete with `error` and no bytes; the chip state does not change
        Short,  // answer normally, but only the first `bytes` bytes of the reply
        Script, // complete with `error` (0: success) and `script` as reply; no state change
        Pend,   // leave the request pending (CompletePending, or CancelIoEx)
        Pass,   // answer normally: lets a later entry meet a later call of the code
    };
    Kind kind = Kind::Fail;
    DWORD error = ERROR_GEN_FAILURE;
    DWORD bytes = 0;
    std::vector<uint8_t> script;
    int count = 1;
};

class SimulatedSensor : public platform::test::DeviceDriver {
public:
    // Defaults: capabilities {5, 10, 0, 0} (4 samples per enrollment, 10 slots, plain
    // mode), policy 0, database version MOC_CHIP_DATABASE_VERSION, purge flag 0, sensor
    // id bytes 0x10..0x2F, host owner id bytes 0x40..0x4F, a fingerprint touch sensor that
    // lists the ANSI 381 format, status WINBIO_SENSOR_READY.
    SimulatedSensor();

    void IoControl(const std::shared_ptr<platform::test::IoRequest>& request) override;

    // Chip configuration. SetCapabilities resizes the table to the slot count (new slots
    // free, slots past the count dropped).
    void SetCapabilities(const MocCapabilities& capabilities);
    MocCapabilities Capabilities() const;
    void SetPolicy(const MocPolicy& policy);
    void SetHostOwnerId(const HostOwnerId& owner);
    HostOwnerId HostOwner() const;
    void SetSensorId(const MocSensorId& id);
    void SetDatabaseVersion(DWORD version);
    DWORD DatabaseVersion() const;
    void SetPurgeFlag(BYTE flag);
    BYTE PurgeFlag() const;
    MocPolicy Policy() const;
    MocSensorId SensorId() const;
    void SetAttributes(const WINBIO_SENSOR_ATTRIBUTES& attributes);
    void SetSensorStatus(WINBIO_SENSOR_STATUS status);
    void SetResetResult(HRESULT result);
    void SetMatchDetail(const MatchDetail& detail);
    void SetEnrollmentNonce(const MocEnrollmentNonce& nonce);
    void SetAuthorizationKey(const std::vector<uint8_t>& key);
    // Bytes after byte 0 of a match-data read; padded with zeros or cut to L + 4.
    void SetMatchData(const std::vector<uint8_t>& data);
    void SetSensorPrivateData(const std::vector<uint8_t>& data32);

    // Template table; tests may edit it between calls (another host enrolls, a slot is
    // reused). Enroll writes a slot as a commit would, by the kind and hashing rules.
    std::vector<SimSlot> Table() const;
    SimSlot Slot(size_t index) const;
    void SetSlot(size_t index, const SimSlot& slot);
    void Enroll(size_t index, const IdentityKey& key, BYTE subFactor, Finger finger);
    Enrollment CurrentEnrollment() const;
    // The identity kind the next commits store (byte 1 of the entry); nullopt goes back to
    // the rule of the key bytes.
    void SetCommitIdentityKind(std::optional<BYTE> kind);

    // Finger presentations; a pending capture takes the new one at once.
    void PresentFinger(const Presentation& presentation);
    size_t QueuedPresentations() const;

    // Secure connection. The full reply is: 32 | device nonce | model certificate length
    // + 290 | model certificate, claim keys | 32 | connection MAC; a request with Flags 1
    // gets 32 | reconnect MAC. Without a model certificate the request fails with
    // ERROR_NOT_SUPPORTED.
    void SetModelCertificate(const std::vector<uint8_t>& der);
    void SetClaimKeys(const MocClaimKeys& keys);
    void SetSecureFields(const std::vector<uint8_t>& deviceNonce32,
                         const std::vector<uint8_t>& connectionMac32,
                         const std::vector<uint8_t>& reconnectMac32);

    // What the host told the chip.
    BYTE LastMatchResult() const;                     // 0xFF until one is sent
    std::vector<uint8_t> LastMatchReport() const;     // empty until one is sent
    std::vector<uint8_t> LastConfirmedSample() const; // empty until one is sent
    ULONG64 LastSampleToken() const;
    DWORD MatchDataLength() const;
    BYTE SensorPrivateSetting() const;
    DWORD DuplicateNotifications() const;
    DWORD DeactivateNotifications() const;

    // Request log, in arrival order.
    std::vector<LoggedRequest> Log() const;
    std::vector<DWORD> LoggedCodes() const;
    size_t CountOf(DWORD code) const;
    void ClearLog();

    // Fault plan: entries of one code apply in the order planned.
    void PlanFault(DWORD code, const Fault& fault);
    void FailNext(DWORD code, DWORD error, int count = 1);
    void ReplyShort(DWORD code, DWORD bytes, int count = 1);
    void ReplyWith(DWORD code, const std::vector<uint8_t>& reply, DWORD error = ERROR_SUCCESS,
                   int count = 1);
    void PendNext(DWORD code, int count = 1);
    // Fails the n-th call of the code from now on (1: the next), answering the ones before.
    void FailAt(DWORD code, int n, DWORD error);
    void ClearFaults();

    // Requests left pending (by PendNext, or captures waiting for a finger) and not yet
    // completed or cancelled.
    size_t PendingCount(DWORD code) const;
    // Completes the oldest pending request of the code with the answer the chip gives now.
    bool CompletePending(DWORD code);
    // Completes it with the given error and reply instead; the chip state does not change.
    bool CompletePending(DWORD code, DWORD error, const std::vector<uint8_t>& reply = {});

    // The chip's flash, for the framework stand-in that keeps one chip across runs: the
    // capabilities, policy, host owner id, sensor id, database version, purge flag, the
    // template table and the enrollment in progress. The file is text with a version line
    // and a SHA-256 of everything before its last line.
    enum class StateLoad {
        Loaded,  // the chip now holds the saved state
        Missing, // no file at the path; the chip is as it was
        Refused, // unreadable, of another version, or corrupted; the chip is as it was
    };
    StateLoad LoadState(const std::string& path, std::string* why);
    // Saves the state to `path` now and again after every request that changes it, each
    // time written whole to a temporary file, synced and renamed over the old one. A
    // request whose save fails is answered with ERROR_WRITE_FAULT and leaves the chip as
    // last saved. False (with `why`) when the first save fails.
    bool KeepStateIn(const std::string& path, std::string* why);
    // Why the last save failed; empty while none has.
    std::string StateSaveFailure() const;

    // The authorization of an identify sent with a nonce: HMAC-SHA-256 keyed with the
    // authorization key (default, and when the key given is empty: the 32 bytes
    // 0xA0..0xBF) over nonce (32 bytes) || identity key of the reply (32 bytes) ||
    // sub-factor (1 byte). A reply without a match carries 32 zero bytes.
    static std::vector<uint8_t> Authorization(const std::vector<uint8_t>& authorizationKey,
                                              const uint8_t* nonce32,
                                              const IdentityKey& identityKey, BYTE subFactor);
    static IdentityKey Sha256Key(const IdentityKey& key);
    // The commit rule: kind 1 when key bytes 28-31 are not all zero, else kind 0.
    static BYTE KindOfKey(const IdentityKey& key);

private:
    struct Answer {
        DWORD error = ERROR_SUCCESS;
        std::vector<uint8_t> reply;
        bool pend = false; // a capture with no finger to present
    };
    Answer Serve(const platform::test::IoRequest& request);
    Answer ServeCapture(const platform::test::IoRequest& request);
    Answer ServeAcceptSample(const std::vector<uint8_t>& in);
    Answer ServeIdentify(const std::vector<uint8_t>& in);
    Answer ServeCheckDuplicate();
    Answer ServeBeginEnrollment(const std::vector<uint8_t>& in, DWORD capacity);
    Answer ServeCommit(const std::vector<uint8_t>& in);
    Answer ServeDelete(const std::vector<uint8_t>& in, bool several);
    Answer ServeConnectSecure(const std::vector<uint8_t>& in);
    Answer ServeDatabaseVersion(const std::vector<uint8_t>& in);
    std::vector<uint8_t> TableBytes() const;
    std::vector<uint8_t> CaptureReply(const Presentation& p) const;
    void WriteSlot(size_t index, const IdentityKey& key, BYTE subFactor, Finger finger, BYTE kind);
    // Completes the request and records the answer in its log entry; false when the
    // request was already completed or cancelled.
    bool Finish(const std::shared_ptr<platform::test::IoRequest>& request, DWORD error,
                const std::vector<uint8_t>& reply);
    Answer ServeConfirm(const std::vector<uint8_t>& in);
    bool TakeFault(DWORD code, Fault* fault);
    bool WaitsForFinger(const platform::test::IoRequest& request) const;
    // Answers a request with the chip's answer now and any fault held for it; false
    // (and nothing done) while it must still wait.
    bool AnswerNow(const std::shared_ptr<platform::test::IoRequest>& request);
    bool TakePending(DWORD code, std::shared_ptr<platform::test::IoRequest>* request);
    std::string StateText() const;
    bool ApplyStateText(const std::string& text, std::string* why);
    // Saves a changed state after a request; false when the save failed and the state was
    // put back as last saved.
    bool SaveChangedState();

    mutable std::mutex mutex_;
    MocCapabilities capabilities_{};
    MocPolicy policy_{};
    HostOwnerId hostOwner_{};
    MocSensorId sensorId_{};
    DWORD databaseVersion_ = MOC_CHIP_DATABASE_VERSION;
    BYTE purgeFlag_ = 0;
    WINBIO_SENSOR_ATTRIBUTES attributes_{};
    WINBIO_SENSOR_STATUS sensorStatus_ = WINBIO_SENSOR_READY;
    HRESULT resetResult_ = S_OK;
    MatchDetail matchDetail_{};
    MocEnrollmentNonce enrollmentNonce_{};
    std::vector<uint8_t> authorizationKey_;
    std::vector<uint8_t> matchData_;
    std::vector<uint8_t> sensorPrivateData_;
    std::vector<SimSlot> table_;
    Enrollment enrollment_;
    std::deque<Presentation> presentations_;
    bool haveSample_ = false; // a captured sample not yet accepted
    Presentation sample_;     // the last captured sample
    bool haveAccepted_ = false;
    BYTE acceptedPurpose_ = 0; // what the accepted sample was taken for
    BYTE acceptedStatus_ = 0;
    Finger acceptedFinger_ = kNoFinger;
    bool acceptedUsed_ = false;      // an identify has used the accepted sample
    bool acceptedConfirmed_ = false; // the accepted sample counted for the enrollment
    std::optional<BYTE> commitKind_;
    BYTE capturePurpose_ = 0;
    ULONG64 sampleToken_ = 0;
    std::vector<uint8_t> modelCertificate_;
    MocClaimKeys claimKeys_{};
    std::vector<uint8_t> deviceNonce_, connectionMac_, reconnectMac_;
    BYTE lastMatchResult_ = 0xFF;
    std::vector<uint8_t> lastMatchReport_;
    std::vector<uint8_t> lastConfirm_;
    DWORD matchDataLength_ = 0;
    BYTE sensorPrivateSetting_ = 0;
    DWORD duplicateNotifications_ = 0;
    DWORD deactivateNotifications_ = 0;
    std::vector<LoggedRequest> log_;
    std::vector<const platform::test::IoRequest*> logRequests_; // beside log_, for answers
    std::map<DWORD, std::deque<Fault>> faults_;
    std::map<DWORD, std::deque<std::shared_ptr<platform::test::IoRequest>>> pending_;
    // A planned short or failed reply meets a capture that waits for a finger when the
    // capture completes; keyed by requests that pending_ keeps alive.
    std::map<const platform::test::IoRequest*, Fault> heldFaults_;
    std::string statePath_;  // empty: the state is not kept in a file
    std::string savedState_; // the text last written there
    std::string saveFailure_;
};

} // namespace simsensor
