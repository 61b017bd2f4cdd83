#include <mbedtls/md.h>
#include "engine_fixture.h"

namespace engine_test {
namespace {

std::string LabelOf(const Bytes& sensorId) {
    BYTE digest[32];
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), sensorId.data(), sensorId.size(),
               digest);
    char label[65];
    HashToHex(digest, label);
    return label;
}

using FrameTest = EngineTest;

// The slots that share one function type are where an order mistake would
// pass the compiler; each is checked at its published place.
TEST_F(FrameTest, TableHasItsHeadAndThePublishedSlotOrder) {
    EXPECT_EQ(engine->Version.MajorVersion, 6);
    EXPECT_EQ(engine->Version.MinorVersion, 0);
    EXPECT_EQ(engine->Type, WINBIO_ADAPTER_TYPE_ENGINE);
    EXPECT_EQ(engine->Size, 360u);
    EXPECT_EQ(BytesOf(engine->AdapterId), moc_test::FromHex("c8fd76b8e7341a4782c89cba6a3538ec"));

    const auto* slots = reinterpret_cast<void* const*>(reinterpret_cast<const BYTE*>(engine) + 32);
    struct Slot {
        int index;
        void* function;
    } expected[] = {
        {0, reinterpret_cast<void*>(EngineAdapterAttach)},
        {1, reinterpret_cast<void*>(EngineAdapterDetach)},
        {2, reinterpret_cast<void*>(EngineAdapterClearContext)},
        {12, reinterpret_cast<void*>(EngineAdapterCreateEnrollment)},
        {18, reinterpret_cast<void*>(EngineAdapterDiscardEnrollment)},
        {19, reinterpret_cast<void*>(EngineAdapterControlUnit)},
        {20, reinterpret_cast<void*>(EngineAdapterControlUnitPrivileged)},
        {23, reinterpret_cast<void*>(EngineAdapterPipelineInit)},
        {24, reinterpret_cast<void*>(EngineAdapterPipelineCleanup)},
        {25, reinterpret_cast<void*>(EngineAdapterActivate)},
        {26, reinterpret_cast<void*>(EngineAdapterDeactivate)},
        {32, reinterpret_cast<void*>(EngineAdapterRefreshCache)},
        {39, reinterpret_cast<void*>(EngineAdapterCreateEnrollmentAuthenticated)},
        {40, reinterpret_cast<void*>(EngineAdapterIdentifyFeatureSetAuthenticated)},
    };
    for (const Slot& s : expected) {
        EXPECT_EQ(slots[s.index], s.function) << s.index;
    }
    for (int i = 0; i < 41; ++i) {
        EXPECT_NE(slots[i], nullptr) << i;
    }
    EXPECT_EQ(WbioQueryEngineInterface(nullptr), E_POINTER);
}

// Attach reads the sensor id and the capabilities; what it derives from them
// shows in the hint, the extended information and the size of the table read.
TEST_F(FrameTest, AttachTakesTheChipsCapabilitiesOrTheDefaults) {
    struct Case {
        const char* name;
        bool failCapabilities;
        MocCapabilities caps;
        SIZE_T hint;
        ULONG center;
        DWORD tableBytes;
    } cases[] = {
        {"capability read fails", true, {}, 12, 7, 350},
        {"4 samples", false, {5, 10, 0, 0, {}}, 4, 0, 350},
        {"owner-id mode, 20 slots", false, {7, 20, 1, 0, {}}, 6, 1, 1040},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.failCapabilities) {
            sensor->FailNext(IOCTL_MOC_GET_CAPABILITIES, ERROR_GEN_FAILURE);
        } else {
            sensor->SetCapabilities(c.caps);
        }
        ASSERT_EQ(engine->Attach(&pipeline), S_OK);
        EXPECT_EQ(Codes(Requests()),
                  (std::vector<DWORD>{IOCTL_MOC_GET_SENSOR_ID, IOCTL_MOC_GET_CAPABILITIES}));
        SIZE_T hint = 0;
        EXPECT_EQ(engine->QuerySampleHint(&pipeline, &hint), S_OK);
        EXPECT_EQ(hint, c.hint);
        WINBIO_EXTENDED_ENGINE_INFO info;
        std::memset(&info, 0xCC, sizeof(info));
        ASSERT_EQ(engine->QueryExtendedInfo(&pipeline, &info, sizeof(info)), S_OK);
        const auto& req = info.Specific.Fingerprint.EnrollmentRequirements;
        EXPECT_EQ(info.GenericEngineCapabilities, 0u);
        EXPECT_EQ(info.Factor, WINBIO_TYPE_FINGERPRINT);
        EXPECT_EQ(info.Specific.Fingerprint.Capabilities, 0u);
        EXPECT_EQ(req.GeneralSamples, c.hint);
        EXPECT_EQ(req.Center, c.center);
        EXPECT_EQ(std::vector<ULONG>({req.TopEdge, req.BottomEdge, req.LeftEdge, req.RightEdge}),
                  std::vector<ULONG>(4, 1));

        sensor->ClearLog();
        engine->CreateEnrollment(&pipeline);
        ASSERT_FALSE(Requests().empty());
        EXPECT_EQ(Requests()[0].code, IOCTL_MOC_READ_TEMPLATE_TABLE);
        EXPECT_EQ(Requests()[0].outputCapacity, c.tableBytes);
        ASSERT_EQ(engine->Detach(&pipeline), S_OK);
        sensor->ClearLog();
    }
}

// The unit label is the SHA-256 of the sensor id, or of the 0xFF bytes the
// buffer held when the driver wrote nothing.
TEST_F(FrameTest, UnitLabelComesFromTheSensorId) {
    Attach();
    const MocSensorId id = sensor->SensorId();
    EXPECT_EQ(Context()->UnitLabel, LabelOf(BytesOf(id.Bytes)));
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);

    sensor->FailNext(IOCTL_MOC_GET_SENSOR_ID, ERROR_GEN_FAILURE);
    Attach();
    EXPECT_EQ(Context()->UnitLabel, LabelOf(Bytes(32, 0xFF)));
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);

    // A short answer leaves the rest of the preset bytes in the id.
    sensor->ReplyShort(IOCTL_MOC_GET_SENSOR_ID, 4);
    Attach();
    Bytes partial(32, 0xFF);
    std::memcpy(partial.data(), id.Bytes, 4);
    EXPECT_EQ(Context()->UnitLabel, LabelOf(partial));
}

TEST_F(FrameTest, AttachRefusalsLeaveThePipelineAsItWas) {
    EXPECT_EQ(engine->Attach(nullptr), E_POINTER);

    pipeline.EngineHandle = nullptr;
    EXPECT_EQ(engine->Attach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(pipeline.EngineContext, nullptr);
    EXPECT_TRUE(Requests().empty());
    pipeline.EngineHandle = INVALID_HANDLE_VALUE;

    // A second attach keeps the first context, which still works.
    Attach();
    PWINIBIO_ENGINE_CONTEXT first = Context();
    EXPECT_EQ(engine->Attach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(Context(), first);
    SIZE_T hint = 0;
    EXPECT_EQ(engine->QuerySampleHint(&pipeline, &hint), S_OK);
    EXPECT_EQ(hint, 4u);

    EXPECT_EQ(engine->Detach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.EngineContext, nullptr);
    EXPECT_EQ(pipeline.EngineHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(engine->Detach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(engine->Detach(nullptr), E_POINTER);
}

// An attach that fails part way leaves either no context or one that no
// operation takes for a working one; the detach releases it whole.
TEST_F(FrameTest, AttachFailingPartWayLeavesNothingToUse) {
    struct Case {
        const char* name;
        bool failHeap;
        bool contextKept;
    } cases[] = {
        {"context allocation fails", true, false},
        {"event creation fails", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t handles = platform::test::OpenHandleCount();
        if (c.failHeap) {
            platform::test::FailNextHeapAllocations(1);
        } else {
            platform::test::FailNextCreateEvent(ERROR_NOT_ENOUGH_MEMORY);
        }
        EXPECT_EQ(engine->Attach(&pipeline), E_OUTOFMEMORY);
        EXPECT_EQ(pipeline.EngineContext != nullptr, c.contextKept);
        sensor->ClearLog();

        SIZE_T hint = 0;
        EXPECT_EQ(engine->QuerySampleHint(&pipeline, &hint), WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(engine->CreateEnrollment(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
        Bytes sample = Capture(1);
        WINBIO_REJECT_DETAIL reject = 0;
        EXPECT_EQ(engine->AcceptSampleData(&pipeline, reinterpret_cast<PWINBIO_BIR>(sample.data()),
                                           sample.size(), WINBIO_PURPOSE_IDENTIFY, &reject),
                  WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_EQ(engine->Activate(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
        EXPECT_TRUE(Requests().empty());

        if (c.contextKept) {
            EXPECT_EQ(engine->Detach(&pipeline), S_OK);
        }
        EXPECT_EQ(pipeline.EngineContext, nullptr);
        EXPECT_EQ(platform::test::LiveHeapBlocks(), 0u);
        EXPECT_EQ(platform::test::OpenHandleCount(), handles);
    }
}

TEST_F(FrameTest, FixedOperationsTestPointersSizesAndContext) {
    // Before any context: sizes are tested first where the slot says so.
    WINBIO_EXTENDED_ENGINE_INFO info = {};
    EXPECT_EQ(engine->QueryExtendedInfo(&pipeline, &info, 35), E_INVALIDARG);
    EXPECT_EQ(engine->QueryExtendedInfo(&pipeline, nullptr, 36), E_POINTER);
    EXPECT_EQ(engine->QueryExtendedInfo(&pipeline, &info, 36), WINBIO_E_INVALID_DEVICE_STATE);
    WINBIO_EXTENDED_ENROLLMENT_STATUS status = {};
    EXPECT_EQ(engine->QueryExtendedEnrollmentStatus(&pipeline, &status, 375), E_INVALIDARG);
    WINBIO_EXTENDED_ENROLLMENT_PARAMETERS parameters = {8, 1};
    EXPECT_EQ(engine->SetEnrollmentParameters(&pipeline, &parameters),
              WINBIO_E_INVALID_DEVICE_STATE);
    for (auto slot : {engine->ClearContext, engine->PipelineInit, engine->PipelineCleanup,
                      engine->RefreshCache}) {
        EXPECT_EQ(slot(nullptr), E_POINTER);
        EXPECT_EQ(slot(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    }

    Attach();
    for (auto slot : {engine->ClearContext, engine->PipelineInit, engine->PipelineCleanup,
                      engine->RefreshCache}) {
        EXPECT_EQ(slot(&pipeline), S_OK);
    }
    EXPECT_EQ(engine->SetEnrollmentParameters(&pipeline, &parameters), E_INVALIDARG);
    parameters.Size = 16;
    EXPECT_EQ(engine->SetEnrollmentParameters(&pipeline, &parameters), S_OK);
    EXPECT_EQ(engine->SetEnrollmentParameters(&pipeline, nullptr), E_POINTER);

    WINBIO_REGISTERED_FORMAT format = {};
    WINBIO_UUID vendor = {};
    ASSERT_EQ(engine->QueryPreferredFormat(&pipeline, &format, &vendor), S_OK);
    EXPECT_EQ(format.Owner, WINBIO_ANSI_381_FORMAT_OWNER);
    EXPECT_EQ(format.Type, WINBIO_ANSI_381_FORMAT_TYPE);
    EXPECT_EQ(BytesOf(vendor), moc_test::FromHex("65c0237a8478a4459f01cba7fbcb0179"));
    EXPECT_EQ(engine->QueryPreferredFormat(&pipeline, &format, nullptr), E_POINTER);
    SIZE_T count = 7;
    EXPECT_EQ(engine->QueryIndexVectorSize(&pipeline, &count), S_OK);
    EXPECT_EQ(count, 0u);

    // Only the factor is written; every other byte stays as the caller left it.
    std::memset(&status, 0xA5, sizeof(status));
    Bytes expected = BytesOf(status);
    const ULONG factor = WINBIO_TYPE_FINGERPRINT;
    std::memcpy(expected.data() + offsetof(WINBIO_EXTENDED_ENROLLMENT_STATUS, Factor), &factor, 4);
    EXPECT_EQ(engine->QueryExtendedEnrollmentStatus(&pipeline, &status, sizeof(status)), S_OK);
    EXPECT_EQ(BytesOf(status), expected);

    // Nine values of the extended information and not a byte past them.
    Bytes room(64, 0xCC);
    ASSERT_EQ(engine->QueryExtendedInfo(
                  &pipeline, reinterpret_cast<PWINBIO_EXTENDED_ENGINE_INFO>(room.data()), 64),
              S_OK);
    EXPECT_EQ(Bytes(room.begin() + 36, room.end()), Bytes(28, 0xCC));
    EXPECT_TRUE(Requests().empty());
}

TEST_F(FrameTest, UnsupportedSlotsAnswerNotImplementedWithoutLookingAtArguments) {
    EXPECT_EQ(engine->QueryHashAlgorithms(nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->SetHashAlgorithm(nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->ExportEngineData(nullptr, 0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->GetEnrollmentHash(nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->Reserved_1(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->IdentifyAll(nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->SetEnrollmentSelector(nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(engine->SelectCalibrationFormat(nullptr, nullptr, 0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->QueryCalibrationData(nullptr, nullptr, nullptr, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(engine->SetAccountPolicy(nullptr, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(engine->CreateKey(nullptr, nullptr, 0, nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(engine->IdentifyFeatureSetSecure(nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                               nullptr, nullptr, nullptr),
              E_NOTIMPL);
    EXPECT_EQ(engine->AcceptPrivateSensorTypeInfo(nullptr, nullptr, 0), E_NOTIMPL);

    // With a context the outputs stay untouched.
    Attach();
    PUCHAR hash = reinterpret_cast<PUCHAR>(0x1234);
    SIZE_T size = 77;
    EXPECT_EQ(engine->GetEnrollmentHash(&pipeline, &hash, &size), E_NOTIMPL);
    EXPECT_EQ(hash, reinterpret_cast<PUCHAR>(0x1234));
    EXPECT_EQ(size, 77u);
}

} // namespace
} // namespace engine_test
