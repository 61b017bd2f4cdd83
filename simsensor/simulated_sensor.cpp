#include "simsensor/simulated_sensor.h"
#include <algorithm>
#include <cstring>
#include <mbedtls/md.h>

using platform::test::IoRequest;

namespace simsensor {
namespace {

template <class T> std::vector<uint8_t> BytesOf(const T& record) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

template <class T> T RecordOf(const std::vector<uint8_t>& bytes) {
    T record{};
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return record;
}

void PutU16(std::vector<uint8_t>& out, size_t size) {
    out.push_back(static_cast<uint8_t>(size & 0xFF));
    out.push_back(static_cast<uint8_t>((size >> 8) & 0xFF));
}

std::vector<uint8_t> Pattern(size_t size, uint8_t first) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

std::vector<uint8_t> Fit(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

void CopyWide(WCHAR* target, const char16_t* text) {
    for (size_t i = 0; text[i] != 0 && i + 1 < WINBIO_MAX_STRING_LEN; ++i)
        target[i] = text[i];
}

// The purposes whose samples build a template rather than meet one.
bool ForEnrollment(BYTE purpose) {
    return purpose == WINBIO_PURPOSE_ENROLL || purpose == WINBIO_PURPOSE_ENROLL_FOR_VERIFICATION ||
           purpose == WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION;
}

constexpr DWORD kCaptureBufferSize = 161;
constexpr DWORD kCaptureHeadSize = 20; // WINBIO_CAPTURE_DATA up to CaptureData.Data
constexpr DWORD kImageBytes = 5;
constexpr DWORD kStandardDataSize =
    sizeof(WINBIO_BDB_ANSI_381_HEADER) + sizeof(WINBIO_BDB_ANSI_381_RECORD) + kImageBytes;
constexpr DWORD kBirSize = sizeof(WINBIO_BIR) + sizeof(WINBIO_BIR_HEADER) + kStandardDataSize;
static_assert(kCaptureHeadSize + kBirSize <= kCaptureBufferSize, "the sample fits the buffer");

} // namespace

SimulatedSensor::SimulatedSensor() {
    capabilities_.SamplesPerEnrollmentPlusOne = 5;
    capabilities_.SlotCount = 10;
    table_.resize(capabilities_.SlotCount);
    std::memcpy(hostOwner_.Bytes, Pattern(sizeof(hostOwner_), 0x40).data(), sizeof(hostOwner_));
    std::memcpy(sensorId_.Bytes, Pattern(sizeof(sensorId_), 0x10).data(), sizeof(sensorId_));
    std::memcpy(enrollmentNonce_.Bytes, Pattern(sizeof(enrollmentNonce_), 0x60).data(),
                sizeof(enrollmentNonce_));
    matchDetail_.Value0 = 12345;
    matchDetail_.Value1 = -2500;
    std::memcpy(matchDetail_.Reserved, Pattern(sizeof(matchDetail_.Reserved), 0x80).data(),
                sizeof(matchDetail_.Reserved));
    authorizationKey_ = Pattern(32, 0xA0);
    matchData_ = Pattern(64, 0xC0);
    sensorPrivateData_ = Pattern(32, 0xE0);
    std::memcpy(&claimKeys_, Pattern(sizeof(claimKeys_), 0x01).data(), sizeof(claimKeys_));
    deviceNonce_ = Pattern(32, 0x20);
    connectionMac_ = Pattern(32, 0x50);
    reconnectMac_ = Pattern(32, 0x70);

    attributes_.PayloadSize = sizeof(attributes_);
    attributes_.WinBioHresult = S_OK;
    attributes_.WinBioVersion = {6, 0};
    attributes_.SensorType = WINBIO_TYPE_FINGERPRINT;
    attributes_.SensorSubType = WINBIO_FP_SENSOR_SUBTYPE_TOUCH;
    attributes_.Capabilities = WINBIO_CAPABILITY_SENSOR | WINBIO_CAPABILITY_MATCHING |
                               WINBIO_CAPABILITY_DATABASE | WINBIO_CAPABILITY_SECURE_SENSOR;
    CopyWide(attributes_.ManufacturerName, u"Simulated");
    CopyWide(attributes_.ModelName, u"Match-on-chip sensor");
    CopyWide(attributes_.SerialNumber, u"SIM-0001");
    attributes_.FirmwareVersion = {1, 0};
    attributes_.SupportedFormatEntries = 1;
    attributes_.SupportedFormat[0] = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};
}

// ---------------------------------------------------------------------------
// Request path
// ---------------------------------------------------------------------------

void SimulatedSensor::IoControl(const std::shared_ptr<IoRequest>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    LoggedRequest entry;
    entry.code = request->Code();
    entry.input = request->Input();
    entry.outputCapacity = request->OutputCapacity();
    entry.overlapped = request->Overlapped();
    log_.push_back(std::move(entry));
    logRequests_.push_back(request.get());

    Fault fault;
    if (TakeFault(request->Code(), &fault)) {
        switch (fault.kind) {
        case Fault::Kind::Fail:
            // A capture still waiting for a finger fails when the finger comes.
            if (WaitsForFinger(*request)) {
                heldFaults_[request.get()] = fault;
                pending_[request->Code()].push_back(request);
                return;
            }
            Finish(request, fault.error, {});
            return;
        case Fault::Kind::Script:
            Finish(request, fault.error, fault.script);
            return;
        case Fault::Kind::Pend:
            pending_[request->Code()].push_back(request);
            return;
        case Fault::Kind::Short:
            heldFaults_[request.get()] = fault;
            break;
        case Fault::Kind::Pass:
            break;
        }
    }
    if (!AnswerNow(request))
        pending_[request->Code()].push_back(request);
}

bool SimulatedSensor::WaitsForFinger(const IoRequest& request) const {
    return request.Code() == IOCTL_BIOMETRIC_CAPTURE_DATA && presentations_.empty();
}

bool SimulatedSensor::AnswerNow(const std::shared_ptr<IoRequest>& request) {
    auto held = heldFaults_.find(request.get());
    if (held != heldFaults_.end() && held->second.kind == Fault::Kind::Fail) {
        if (WaitsForFinger(*request))
            return false;
        DWORD error = held->second.error;
        heldFaults_.erase(held);
        Finish(request, error, {});
        return true;
    }
    Answer answer = Serve(*request);
    if (answer.pend)
        return false;
    if (!SaveChangedState())
        answer = Answer{ERROR_WRITE_FAULT, {}, false};
    if (held != heldFaults_.end()) {
        if (answer.reply.size() > held->second.bytes)
            answer.reply.resize(held->second.bytes);
        heldFaults_.erase(held);
    }
    Finish(request, answer.error, answer.reply);
    return true;
}

bool SimulatedSensor::Finish(const std::shared_ptr<IoRequest>& request, DWORD error,
                             const std::vector<uint8_t>& reply) {
    if (!request->Complete(error, reply))
        return false;
    // The newest entry of this request: an older one at the same address belongs to a
    // request that is gone.
    for (size_t i = log_.size(); i-- > 0;) {
        if (logRequests_[i] == request.get() && !log_[i].answered) {
            log_[i].answered = true;
            log_[i].error = error;
            log_[i].bytesReturned =
                static_cast<DWORD>(std::min<size_t>(reply.size(), request->OutputCapacity()));
            break;
        }
    }
    return true;
}

SimulatedSensor::Answer SimulatedSensor::Serve(const IoRequest& request) {
    const std::vector<uint8_t>& in = request.Input();
    const DWORD capacity = request.OutputCapacity();
    auto reply = [capacity](std::vector<uint8_t> bytes) {
        // A buffer too small for the reply gets nothing, so a caller's short buffer shows
        // as a failure rather than as a silently cut answer.
        if (bytes.size() > capacity)
            return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
        return Answer{ERROR_SUCCESS, std::move(bytes), false};
    };
    auto expectInput = [&in](size_t size) { return in.size() == size; };
    const Answer invalid{ERROR_INVALID_PARAMETER, {}, false};
    const Answer done{ERROR_SUCCESS, {}, false};

    switch (request.Code()) {
    case IOCTL_BIOMETRIC_GET_ATTRIBUTES:
        return reply(BytesOf(attributes_));
    case IOCTL_BIOMETRIC_RESET: {
        haveSample_ = false;
        haveAccepted_ = false;
        enrollment_ = Enrollment{};
        WINBIO_BLANK_PAYLOAD payload{sizeof(WINBIO_BLANK_PAYLOAD), resetResult_};
        return reply(BytesOf(payload));
    }
    case IOCTL_BIOMETRIC_GET_SENSOR_STATUS: {
        WINBIO_DIAGNOSTICS diagnostics{};
        diagnostics.PayloadSize = sizeof(diagnostics);
        diagnostics.WinBioHresult = S_OK;
        diagnostics.SensorStatus = sensorStatus_;
        return reply(BytesOf(diagnostics));
    }
    case IOCTL_BIOMETRIC_CAPTURE_DATA:
        return ServeCapture(request);
    case IOCTL_BIOMETRIC_CONNECT_SECURE: {
        Answer answer = ServeConnectSecure(in);
        return answer.error == ERROR_SUCCESS ? reply(std::move(answer.reply)) : answer;
    }
    case IOCTL_MOC_BEGIN_ENROLLMENT:
        return ServeBeginEnrollment(in, capacity);
    case IOCTL_MOC_COMMIT_ENROLLMENT:
        return ServeCommit(in);
    case IOCTL_MOC_IDENTIFY: {
        if (capacity < sizeof(MocIdentifyResponse))
            return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
        return ServeIdentify(in);
    }
    case IOCTL_MOC_ACCEPT_SAMPLE: {
        if (capacity < sizeof(MocAcceptSampleResponse))
            return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
        return ServeAcceptSample(in);
    }
    case IOCTL_MOC_CHECK_DUPLICATE:
        if (capacity < sizeof(MocDuplicateResponse))
            return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
        return ServeCheckDuplicate();
    case IOCTL_MOC_READ_TEMPLATE_TABLE:
        return reply(TableBytes());
    case IOCTL_MOC_DELETE_TEMPLATE:
        return ServeDelete(in, false);
    case IOCTL_MOC_DELETE_TEMPLATES:
        return ServeDelete(in, true);
    case IOCTL_MOC_GET_CAPABILITIES:
        return reply(BytesOf(capabilities_));
    case IOCTL_MOC_GET_HOST_ID:
        return reply(BytesOf(hostOwner_));
    case IOCTL_MOC_SET_MATCH_RESULT:
        if (!expectInput(1))
            return invalid;
        lastMatchResult_ = in[0];
        return done;
    case IOCTL_MOC_NOTIFY_DUPLICATE:
        ++duplicateNotifications_;
        return done;
    case IOCTL_MOC_CHECK_FREE_SLOT: {
        bool free = std::any_of(table_.begin(), table_.end(),
                                [](const SimSlot& s) { return s.state == MOC_SLOT_STATE_FREE; });
        return reply({static_cast<uint8_t>(free ? 1 : 0)});
    }
    case IOCTL_MOC_GET_PURGE_FLAG:
        return reply({purgeFlag_});
    case IOCTL_MOC_CONFIRM_SAMPLE:
        return ServeConfirm(in);
    case IOCTL_MOC_GET_SENSOR_ID:
        return reply(BytesOf(sensorId_));
    case IOCTL_MOC_SET_MATCH_DATA_LENGTH: {
        if (in.size() < sizeof(DWORD))
            return invalid;
        matchDataLength_ = static_cast<DWORD>(in[0]) | (static_cast<DWORD>(in[1]) << 8) |
                           (static_cast<DWORD>(in[2]) << 16) | (static_cast<DWORD>(in[3]) << 24);
        return Answer{ERROR_SUCCESS, in, false};
    }
    case IOCTL_MOC_SENSOR_PRIVATE_SET:
        if (!expectInput(1))
            return invalid;
        sensorPrivateSetting_ = in[0];
        return done;
    case IOCTL_MOC_READ_MATCH_DATA:
    case IOCTL_MOC_READ_MATCH_DATA_EX: {
        // A length the host set beyond any buffer it could hold is refused outright.
        if (matchDataLength_ > 0xFFFF)
            return invalid;
        std::vector<uint8_t> bytes{0};
        std::vector<uint8_t> data = Fit(matchData_, matchDataLength_ + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return reply(std::move(bytes));
    }
    case IOCTL_MOC_SENSOR_PRIVATE_GET:
        return reply(Fit(sensorPrivateData_, MOC_SENSOR_PRIVATE_GET_SIZE));
    case IOCTL_MOC_PRIVATE_COMMAND_1:
    case IOCTL_MOC_PRIVATE_COMMAND_2:
        // Pass-through commands: the chip echoes what it was sent, as far as it fits.
        return Answer{ERROR_SUCCESS, in, false};
    case IOCTL_MOC_GET_POLICY:
        return reply(BytesOf(policy_));
    case IOCTL_MOC_DATABASE_VERSION:
        return ServeDatabaseVersion(in);
    case IOCTL_MOC_REPORT_MATCH:
        if (!expectInput(sizeof(MatchReport)))
            return invalid;
        lastMatchReport_ = in;
        return done;
    case IOCTL_MOC_NOTIFY_DEACTIVATE:
        ++deactivateNotifications_;
        return done;
    default:
        return Answer{ERROR_INVALID_FUNCTION, {}, false};
    }
}

// ---------------------------------------------------------------------------
// Capture and sample handling
// ---------------------------------------------------------------------------

SimulatedSensor::Answer SimulatedSensor::ServeCapture(const IoRequest& request) {
    const std::vector<uint8_t>& in = request.Input();
    if (in.size() < sizeof(WINBIO_CAPTURE_PARAMETERS))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    if (request.OutputCapacity() < kCaptureHeadSize + kBirSize)
        return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
    capturePurpose_ = RecordOf<WINBIO_CAPTURE_PARAMETERS>(in).Purpose;
    if (presentations_.empty())
        return Answer{ERROR_SUCCESS, {}, true};
    Presentation p = presentations_.front();
    presentations_.pop_front();
    sample_ = p;
    haveSample_ = true;
    haveAccepted_ = false;
    return Answer{ERROR_SUCCESS, CaptureReply(p), false};
}

std::vector<uint8_t> SimulatedSensor::CaptureReply(const Presentation& p) const {
    WINBIO_CAPTURE_DATA head{};
    head.PayloadSize = kCaptureHeadSize + kBirSize;
    head.WinBioHresult = S_OK;
    head.SensorStatus = WINBIO_SENSOR_ACCEPT;
    head.CaptureData.Size = kBirSize;

    WINBIO_BIR bir{};
    bir.HeaderBlock = {sizeof(WINBIO_BIR_HEADER), sizeof(WINBIO_BIR)};
    bir.StandardDataBlock = {kStandardDataSize, sizeof(WINBIO_BIR) + sizeof(WINBIO_BIR_HEADER)};

    WINBIO_BIR_HEADER header{};
    header.DataFlags = WINBIO_DATA_FLAG_RAW;
    header.Type = WINBIO_TYPE_FINGERPRINT;
    header.Subtype = p.subFactor;
    header.Purpose = capturePurpose_;
    header.BiometricDataFormat = {WINBIO_ANSI_381_FORMAT_OWNER, WINBIO_ANSI_381_FORMAT_TYPE};

    WINBIO_BDB_ANSI_381_HEADER ansi{};
    ansi.RecordLength = kStandardDataSize;
    ansi.PixelDepth = 8;
    ansi.ImageCompressionAlg = WINBIO_ANSI_381_IMG_UNCOMPRESSED;
    ansi.ElementCount = 1;
    WINBIO_BDB_ANSI_381_RECORD record{};
    record.BlockLength = sizeof(record) + kImageBytes;
    record.HorizontalLineLength = kImageBytes;
    record.VerticalLineLength = 1;
    record.Position = p.subFactor;

    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(&head),
                               reinterpret_cast<const uint8_t*>(&head) + kCaptureHeadSize);
    for (const auto& part : {BytesOf(bir), BytesOf(header), BytesOf(ansi), BytesOf(record)})
        bytes.insert(bytes.end(), part.begin(), part.end());
    bytes.push_back(p.captureStatus); // the first image byte is the sample's status
    std::vector<uint8_t> image = Pattern(kImageBytes - 1, static_cast<uint8_t>(p.finger));
    bytes.insert(bytes.end(), image.begin(), image.end());
    return bytes;
}

SimulatedSensor::Answer SimulatedSensor::ServeAcceptSample(const std::vector<uint8_t>& in) {
    if (in.size() != 1)
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    // One capture is taken once: accepting it again would let one finger serve two
    // matches.
    if (!haveSample_)
        return Answer{ERROR_NOT_READY, {}, false};
    MocAcceptSampleResponse response{};
    response.Status = sample_.acceptStatus;
    response.SampleToken = ++sampleToken_;
    haveSample_ = false;
    haveAccepted_ = true;
    acceptedPurpose_ = in[0];
    acceptedUsed_ = false;
    acceptedConfirmed_ = false;
    acceptedStatus_ = sample_.acceptStatus;
    acceptedFinger_ = sample_.finger;
    if (acceptedStatus_ == MOC_STATUS_SUCCESS && enrollment_.active &&
        ForEnrollment(acceptedPurpose_))
        enrollment_.finger = sample_.finger;
    return Answer{ERROR_SUCCESS, BytesOf(response), false};
}

SimulatedSensor::Answer SimulatedSensor::ServeConfirm(const std::vector<uint8_t>& in) {
    if (in.size() != sizeof(MocConfirmSampleRequest))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    if (!haveAccepted_ || (ForEnrollment(acceptedPurpose_) && !enrollment_.active))
        return Answer{ERROR_NOT_READY, {}, false};
    lastConfirm_ = in;
    auto request = RecordOf<MocConfirmSampleRequest>(in);
    // Only a good sample taken for the enrollment, confirmed as good under its own token
    // and once, becomes part of the template being enrolled.
    if (enrollment_.active && ForEnrollment(acceptedPurpose_) && !acceptedConfirmed_ &&
        acceptedStatus_ == MOC_STATUS_SUCCESS && request.Status == MOC_STATUS_SUCCESS &&
        request.SampleToken == sampleToken_) {
        acceptedConfirmed_ = true;
        ++enrollment_.samples;
    }
    return Answer{ERROR_SUCCESS, {}, false};
}

SimulatedSensor::Answer SimulatedSensor::ServeIdentify(const std::vector<uint8_t>& in) {
    if (!in.empty() && in.size() != MOC_NONCE_SIZE)
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    // A sample taken for an enrollment is no sample to match.
    if (!haveAccepted_ || ForEnrollment(acceptedPurpose_))
        return Answer{ERROR_NOT_READY, {}, false};
    const bool withNonce = !in.empty();
    MocIdentifyResponse response{};
    response.Status = acceptedUsed_ ? MOC_STATUS_NO_MATCH : acceptedStatus_;
    const bool fresh = !acceptedUsed_;
    acceptedUsed_ = true;
    if (fresh && acceptedStatus_ == MOC_STATUS_SUCCESS) {
        response.Status = MOC_STATUS_NO_MATCH;
        for (const SimSlot& slot : table_) {
            if (slot.state == MOC_SLOT_STATE_USED && slot.finger != kNoFinger &&
                slot.finger == acceptedFinger_) {
                response.Status = MOC_STATUS_SUCCESS;
                response.SubFactor = slot.subFactor;
                response.Key = slot.rawKey;
                break;
            }
        }
    }
    if (withNonce) {
        if (response.Status == MOC_STATUS_SUCCESS) {
            auto auth =
                Authorization(authorizationKey_, in.data(), response.Key, response.SubFactor);
            std::memcpy(response.Tail.WithNonce.Authorization, auth.data(), auth.size());
        }
        response.Tail.WithNonce.Detail = matchDetail_;
    } else {
        response.Tail.WithoutNonce.Detail = matchDetail_;
    }
    return Answer{ERROR_SUCCESS, BytesOf(response), false};
}

SimulatedSensor::Answer SimulatedSensor::ServeCheckDuplicate() {
    MocDuplicateResponse response{};
    response.MatchStatus = 1;
    Finger finger = enrollment_.active
                        ? enrollment_.finger
                        : (haveAccepted_ && acceptedStatus_ == 0 ? acceptedFinger_ : kNoFinger);
    for (size_t i = 0; finger != kNoFinger && i < table_.size(); ++i) {
        const SimSlot& slot = table_[i];
        if (enrollment_.active && i == enrollment_.slot)
            continue;
        if (slot.state == MOC_SLOT_STATE_USED && slot.finger == finger) {
            response.IdentityKind = slot.identityKind;
            response.MatchStatus = 0;
            response.SubFactor = slot.subFactor;
            response.Key = slot.rawKey;
            break;
        }
    }
    return Answer{ERROR_SUCCESS, BytesOf(response), false};
}

// ---------------------------------------------------------------------------
// Enrollment and the template table
// ---------------------------------------------------------------------------

SimulatedSensor::Answer SimulatedSensor::ServeBeginEnrollment(const std::vector<uint8_t>& in,
                                                              DWORD capacity) {
    if (in.size() != 1 || in[0] >= table_.size())
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    if (capacity != 0 && capacity < MOC_NONCE_SIZE)
        return Answer{ERROR_INSUFFICIENT_BUFFER, {}, false};
    if (table_[in[0]].state != MOC_SLOT_STATE_FREE)
        return Answer{ERROR_ALREADY_EXISTS, {}, false};
    enrollment_ = Enrollment{};
    enrollment_.active = true;
    enrollment_.slot = in[0];
    if (capacity == 0)
        return Answer{ERROR_SUCCESS, {}, false};
    return Answer{ERROR_SUCCESS, BytesOf(enrollmentNonce_), false};
}

SimulatedSensor::Answer SimulatedSensor::ServeCommit(const std::vector<uint8_t>& in) {
    if (in.size() != sizeof(MocCommitEnrollmentRequest))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    if (!enrollment_.active)
        return Answer{ERROR_NOT_READY, {}, false};
    // A template is only built from the samples the chip was asked for.
    const BYTE required = static_cast<BYTE>(capabilities_.SamplesPerEnrollmentPlusOne - 1);
    if (enrollment_.samples < required)
        return Answer{ERROR_NOT_READY, {}, false};
    auto request = RecordOf<MocCommitEnrollmentRequest>(in);
    // The table may have been resized since the begin.
    if (enrollment_.slot >= table_.size()) {
        enrollment_ = Enrollment{};
        return Answer{ERROR_NOT_READY, {}, false};
    }
    WriteSlot(enrollment_.slot, request.Key, request.SubFactor, enrollment_.finger,
              commitKind_.value_or(KindOfKey(request.Key)));
    enrollment_ = Enrollment{};
    return Answer{ERROR_SUCCESS, {}, false};
}

SimulatedSensor::Answer SimulatedSensor::ServeDelete(const std::vector<uint8_t>& in, bool several) {
    if (in.empty() || (!several && in.size() != 1))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    if (!several && in[0] == MOC_TEMPLATE_SLOT_ALL) {
        std::fill(table_.begin(), table_.end(), SimSlot{});
        return Answer{ERROR_SUCCESS, {}, false};
    }
    // Checked first, so that a bad slot number deletes nothing.
    for (uint8_t slot : in)
        if (slot >= table_.size())
            return Answer{ERROR_INVALID_PARAMETER, {}, false};
    for (uint8_t slot : in)
        table_[slot] = SimSlot{};
    return Answer{ERROR_SUCCESS, {}, false};
}

void SimulatedSensor::WriteSlot(size_t index, const IdentityKey& key, BYTE subFactor, Finger finger,
                                BYTE kind) {
    SimSlot slot;
    slot.state = MOC_SLOT_STATE_USED;
    slot.identityKind = kind;
    slot.subFactor = subFactor;
    slot.rawKey = key;
    slot.key =
        (slot.identityKind == MOC_IDENTITY_KIND_SECURE_ID && capabilities_.HashedIdentity != 0)
            ? Sha256Key(key)
            : key;
    if (capabilities_.OwnerIdMode != 0)
        slot.owner = hostOwner_;
    slot.finger = finger;
    table_[index] = slot;
}

std::vector<uint8_t> SimulatedSensor::TableBytes() const {
    std::vector<uint8_t> bytes;
    for (const SimSlot& slot : table_) {
        if (capabilities_.OwnerIdMode != 0) {
            TemplateSlotEntryOwned entry{slot.state, slot.identityKind, slot.subFactor,
                                         slot.key,   slot.reserved,     slot.owner};
            auto b = BytesOf(entry);
            bytes.insert(bytes.end(), b.begin(), b.end());
        } else {
            TemplateSlotEntry entry{slot.state, slot.identityKind, slot.subFactor, slot.key};
            auto b = BytesOf(entry);
            bytes.insert(bytes.end(), b.begin(), b.end());
        }
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// Secure connection and database version
// ---------------------------------------------------------------------------

SimulatedSensor::Answer SimulatedSensor::ServeConnectSecure(const std::vector<uint8_t>& in) {
    if (in.size() < sizeof(WINBIO_SECURE_CONNECTION_PARAMS))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    auto params = RecordOf<WINBIO_SECURE_CONNECTION_PARAMS>(in);
    if (params.PayloadSize != in.size())
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    std::vector<uint8_t> bytes;
    if (params.Flags == MOC_SECURE_FLAGS_RECONNECT) {
        PutU16(bytes, MOC_SECURE_FIELD_SIZE);
        bytes.insert(bytes.end(), reconnectMac_.begin(), reconnectMac_.end());
        return Answer{ERROR_SUCCESS, std::move(bytes), false};
    }
    if (modelCertificate_.empty())
        return Answer{ERROR_NOT_SUPPORTED, {}, false};
    PutU16(bytes, deviceNonce_.size());
    bytes.insert(bytes.end(), deviceNonce_.begin(), deviceNonce_.end());
    PutU16(bytes, modelCertificate_.size() + sizeof(MocClaimKeys));
    bytes.insert(bytes.end(), modelCertificate_.begin(), modelCertificate_.end());
    auto keys = BytesOf(claimKeys_);
    bytes.insert(bytes.end(), keys.begin(), keys.end());
    PutU16(bytes, connectionMac_.size());
    bytes.insert(bytes.end(), connectionMac_.begin(), connectionMac_.end());
    return Answer{ERROR_SUCCESS, std::move(bytes), false};
}

SimulatedSensor::Answer SimulatedSensor::ServeDatabaseVersion(const std::vector<uint8_t>& in) {
    if (in.size() != sizeof(MocDatabaseVersionRequest))
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    auto request = RecordOf<MocDatabaseVersionRequest>(in);
    if (request.Operation == MOC_DATABASE_VERSION_SET)
        databaseVersion_ = request.Version;
    else if (request.Operation == MOC_DATABASE_VERSION_GET)
        request.Version = databaseVersion_;
    else
        return Answer{ERROR_INVALID_PARAMETER, {}, false};
    auto bytes = BytesOf(request);
    return Answer{ERROR_SUCCESS, bytes, false};
}

// ---------------------------------------------------------------------------
// Fault plan and pending requests
// ---------------------------------------------------------------------------

bool SimulatedSensor::TakeFault(DWORD code, Fault* fault) {
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.empty())
        return false;
    Fault& front = it->second.front();
    *fault = front;
    if (--front.count <= 0)
        it->second.pop_front();
    return true;
}

bool SimulatedSensor::TakePending(DWORD code, std::shared_ptr<IoRequest>* request) {
    auto& queue = pending_[code];
    // Requests cancelled meanwhile are dropped on the way, with any fault held for them.
    while (!queue.empty() && queue.front()->Completed()) {
        heldFaults_.erase(queue.front().get());
        queue.pop_front();
    }
    if (queue.empty())
        return false;
    *request = queue.front();
    queue.pop_front();
    return true;
}

void SimulatedSensor::PlanFault(DWORD code, const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fault.count > 0)
        faults_[code].push_back(fault);
}

void SimulatedSensor::FailNext(DWORD code, DWORD error, int count) {
    Fault f;
    f.kind = Fault::Kind::Fail;
    f.error = error;
    f.count = count;
    PlanFault(code, f);
}

void SimulatedSensor::ReplyShort(DWORD code, DWORD bytes, int count) {
    Fault f;
    f.kind = Fault::Kind::Short;
    f.bytes = bytes;
    f.count = count;
    PlanFault(code, f);
}

void SimulatedSensor::ReplyWith(DWORD code, const std::vector<uint8_t>& reply, DWORD error,
                                int count) {
    Fault f;
    f.kind = Fault::Kind::Script;
    f.script = reply;
    f.error = error;
    f.count = count;
    PlanFault(code, f);
}

void SimulatedSensor::PendNext(DWORD code, int count) {
    Fault f;
    f.kind = Fault::Kind::Pend;
    f.count = count;
    PlanFault(code, f);
}

void SimulatedSensor::FailAt(DWORD code, int n, DWORD error) {
    if (n > 1) {
        Fault pass;
        pass.kind = Fault::Kind::Pass;
        pass.count = n - 1;
        PlanFault(code, pass);
    }
    FailNext(code, error);
}

void SimulatedSensor::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

size_t SimulatedSensor::PendingCount(DWORD code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(code);
    if (it == pending_.end())
        return 0;
    return std::count_if(it->second.begin(), it->second.end(),
                         [](const std::shared_ptr<IoRequest>& r) { return !r->Completed(); });
}

bool SimulatedSensor::CompletePending(DWORD code) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<IoRequest> request;
    if (!TakePending(code, &request))
        return false;
    if (!AnswerNow(request)) {
        pending_[code].push_front(request);
        return false;
    }
    return true;
}

bool SimulatedSensor::CompletePending(DWORD code, DWORD error, const std::vector<uint8_t>& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<IoRequest> request;
    if (!TakePending(code, &request))
        return false;
    heldFaults_.erase(request.get());
    return Finish(request, error, reply);
}

void SimulatedSensor::PresentFinger(const Presentation& presentation) {
    std::lock_guard<std::mutex> lock(mutex_);
    presentations_.push_back(presentation);
    std::shared_ptr<IoRequest> capture;
    if (!TakePending(IOCTL_BIOMETRIC_CAPTURE_DATA, &capture))
        return;
    if (!AnswerNow(capture))
        pending_[IOCTL_BIOMETRIC_CAPTURE_DATA].push_front(capture);
}

size_t SimulatedSensor::QueuedPresentations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return presentations_.size();
}

// ---------------------------------------------------------------------------
// State access
// ---------------------------------------------------------------------------

void SimulatedSensor::SetCapabilities(const MocCapabilities& capabilities) {
    std::lock_guard<std::mutex> lock(mutex_);
    capabilities_ = capabilities;
    table_.resize(capabilities.SlotCount);
}

MocCapabilities SimulatedSensor::Capabilities() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capabilities_;
}

void SimulatedSensor::SetPolicy(const MocPolicy& policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = policy;
}

void SimulatedSensor::SetHostOwnerId(const HostOwnerId& owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    hostOwner_ = owner;
}

HostOwnerId SimulatedSensor::HostOwner() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostOwner_;
}

void SimulatedSensor::SetSensorId(const MocSensorId& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sensorId_ = id;
}

void SimulatedSensor::SetDatabaseVersion(DWORD version) {
    std::lock_guard<std::mutex> lock(mutex_);
    databaseVersion_ = version;
}

DWORD SimulatedSensor::DatabaseVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return databaseVersion_;
}

void SimulatedSensor::SetPurgeFlag(BYTE flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    purgeFlag_ = flag;
}

BYTE SimulatedSensor::PurgeFlag() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return purgeFlag_;
}

MocPolicy SimulatedSensor::Policy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return policy_;
}

MocSensorId SimulatedSensor::SensorId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensorId_;
}

void SimulatedSensor::SetAttributes(const WINBIO_SENSOR_ATTRIBUTES& attributes) {
    std::lock_guard<std::mutex> lock(mutex_);
    attributes_ = attributes;
}

void SimulatedSensor::SetSensorStatus(WINBIO_SENSOR_STATUS status) {
    std::lock_guard<std::mutex> lock(mutex_);
    sensorStatus_ = status;
}

void SimulatedSensor::SetResetResult(HRESULT result) {
    std::lock_guard<std::mutex> lock(mutex_);
    resetResult_ = result;
}

void SimulatedSensor::SetMatchDetail(const MatchDetail& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    matchDetail_ = detail;
}

void SimulatedSensor::SetEnrollmentNonce(const MocEnrollmentNonce& nonce) {
    std::lock_guard<std::mutex> lock(mutex_);
    enrollmentNonce_ = nonce;
}

void SimulatedSensor::SetAuthorizationKey(const std::vector<uint8_t>& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    authorizationKey_ = key;
}

void SimulatedSensor::SetMatchData(const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    matchData_ = data;
}

void SimulatedSensor::SetSensorPrivateData(const std::vector<uint8_t>& data32) {
    std::lock_guard<std::mutex> lock(mutex_);
    sensorPrivateData_ = data32;
}

std::vector<SimSlot> SimulatedSensor::Table() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
}

SimSlot SimulatedSensor::Slot(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < table_.size() ? table_[index] : SimSlot{};
}

void SimulatedSensor::SetSlot(size_t index, const SimSlot& slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < table_.size())
        table_[index] = slot;
}

void SimulatedSensor::Enroll(size_t index, const IdentityKey& key, BYTE subFactor, Finger finger) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < table_.size())
        WriteSlot(index, key, subFactor, finger, KindOfKey(key));
}

Enrollment SimulatedSensor::CurrentEnrollment() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enrollment_;
}

void SimulatedSensor::SetCommitIdentityKind(std::optional<BYTE> kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    commitKind_ = kind;
}

void SimulatedSensor::SetModelCertificate(const std::vector<uint8_t>& der) {
    std::lock_guard<std::mutex> lock(mutex_);
    modelCertificate_ = der;
}

void SimulatedSensor::SetClaimKeys(const MocClaimKeys& keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    claimKeys_ = keys;
}

void SimulatedSensor::SetSecureFields(const std::vector<uint8_t>& deviceNonce32,
                                      const std::vector<uint8_t>& connectionMac32,
                                      const std::vector<uint8_t>& reconnectMac32) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceNonce_ = deviceNonce32;
    connectionMac_ = connectionMac32;
    reconnectMac_ = reconnectMac32;
}

BYTE SimulatedSensor::LastMatchResult() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastMatchResult_;
}

std::vector<uint8_t> SimulatedSensor::LastMatchReport() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastMatchReport_;
}

std::vector<uint8_t> SimulatedSensor::LastConfirmedSample() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastConfirm_;
}

ULONG64 SimulatedSensor::LastSampleToken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sampleToken_;
}

DWORD SimulatedSensor::MatchDataLength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return matchDataLength_;
}

BYTE SimulatedSensor::SensorPrivateSetting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensorPrivateSetting_;
}

DWORD SimulatedSensor::DuplicateNotifications() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return duplicateNotifications_;
}

DWORD SimulatedSensor::DeactivateNotifications() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deactivateNotifications_;
}

std::vector<LoggedRequest> SimulatedSensor::Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<DWORD> SimulatedSensor::LoggedCodes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DWORD> codes;
    for (const LoggedRequest& r : log_)
        codes.push_back(r.code);
    return codes;
}

size_t SimulatedSensor::CountOf(DWORD code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(log_.begin(), log_.end(),
                         [code](const LoggedRequest& r) { return r.code == code; });
}

void SimulatedSensor::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    logRequests_.clear();
}

// ---------------------------------------------------------------------------
// Crypto helpers
// ---------------------------------------------------------------------------

IdentityKey SimulatedSensor::Sha256Key(const IdentityKey& key) {
    IdentityKey digest{};
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), key.Bytes, sizeof(key.Bytes),
               digest.Bytes);
    return digest;
}

std::vector<uint8_t> SimulatedSensor::Authorization(const std::vector<uint8_t>& authorizationKey,
                                                    const uint8_t* nonce32,
                                                    const IdentityKey& identityKey,
                                                    BYTE subFactor) {
    std::vector<uint8_t> message(nonce32, nonce32 + MOC_NONCE_SIZE);
    message.insert(message.end(), identityKey.Bytes, identityKey.Bytes + sizeof(identityKey.Bytes));
    message.push_back(subFactor);
    const std::vector<uint8_t> key =
        authorizationKey.empty() ? Pattern(32, 0xA0) : authorizationKey;
    std::vector<uint8_t> mac(32);
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), key.data(), key.size(),
                    message.data(), message.size(), mac.data());
    return mac;
}

BYTE SimulatedSensor::KindOfKey(const IdentityKey& key) {
    for (size_t i = MOC_SID_KEY_SIZE; i < MOC_IDENTITY_KEY_SIZE; ++i)
        if (key.Bytes[i] != 0)
            return MOC_IDENTITY_KIND_SECURE_ID;
    return MOC_IDENTITY_KIND_SID;
}

} // namespace simsensor
