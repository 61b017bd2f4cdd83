// The sensor adapter's frame: the exported table, attach and detach, and the
// slots that send nothing.
#include <functional>
#include <mbedtls/md.h>
#include "sensor/certificate_chains.h"
#include "sensor_fixture.h"

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;

std::string LabelOf(const Bytes& sensorId) {
    BYTE digest[32];
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), sensorId.data(), sensorId.size(),
               digest);
    char label[kUnitLabelChars];
    HashToHex(digest, label);
    return label;
}

TEST(SensorInterfaceTable, ExportHandsOutTheOneTableInSlotOrder) {
    EXPECT_EQ(WbioQuerySensorInterface(nullptr), E_POINTER);
    PWINBIO_SENSOR_INTERFACE table = nullptr;
    PWINBIO_SENSOR_INTERFACE again = nullptr;
    ASSERT_EQ(WbioQuerySensorInterface(&table), S_OK);
    ASSERT_EQ(WbioQuerySensorInterface(&again), S_OK);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table, again);
    EXPECT_EQ(table->Version.MajorVersion, 6);
    EXPECT_EQ(table->Version.MinorVersion, 0);
    EXPECT_EQ(table->Type, WINBIO_ADAPTER_TYPE_SENSOR);
    EXPECT_EQ(table->Size, 280u);
    EXPECT_EQ(std::memcmp(&table->AdapterId, &SensorAdapterId, sizeof(GUID)), 0);
    EXPECT_EQ(SensorAdapterId.Data1, 0xF6012694u);

    // The framework calls by position: each slot holds its own operation.
    const void* expected[] = {
        reinterpret_cast<const void*>(SensorAdapterAttach),
        reinterpret_cast<const void*>(SensorAdapterDetach),
        reinterpret_cast<const void*>(SensorAdapterClearContext),
        reinterpret_cast<const void*>(SensorAdapterQueryStatus),
        reinterpret_cast<const void*>(SensorAdapterReset),
        reinterpret_cast<const void*>(SensorAdapterSetMode),
        reinterpret_cast<const void*>(SensorAdapterSetIndicatorStatus),
        reinterpret_cast<const void*>(SensorAdapterGetIndicatorStatus),
        reinterpret_cast<const void*>(SensorAdapterStartCapture),
        reinterpret_cast<const void*>(SensorAdapterFinishCapture),
        reinterpret_cast<const void*>(SensorAdapterExportSensorData),
        reinterpret_cast<const void*>(SensorAdapterCancel),
        reinterpret_cast<const void*>(SensorAdapterPushDataToEngine),
        reinterpret_cast<const void*>(SensorAdapterControlUnit),
        reinterpret_cast<const void*>(SensorAdapterControlUnitPrivileged),
        reinterpret_cast<const void*>(SensorAdapterNotifyPowerChange),
        reinterpret_cast<const void*>(SensorAdapterPipelineInit),
        reinterpret_cast<const void*>(SensorAdapterPipelineCleanup),
        reinterpret_cast<const void*>(SensorAdapterActivate),
        reinterpret_cast<const void*>(SensorAdapterDeactivate),
        reinterpret_cast<const void*>(SensorAdapterQueryExtendedInfo),
        reinterpret_cast<const void*>(SensorAdapterQueryCalibrationFormats),
        reinterpret_cast<const void*>(SensorAdapterSetCalibrationFormat),
        reinterpret_cast<const void*>(SensorAdapterAcceptCalibrationData),
        reinterpret_cast<const void*>(SensorAdapterAsyncImportRawBuffer),
        reinterpret_cast<const void*>(SensorAdapterAsyncImportSecureBuffer),
        reinterpret_cast<const void*>(SensorAdapterQueryPrivateSensorType),
        reinterpret_cast<const void*>(SensorAdapterConnectSecure),
        reinterpret_cast<const void*>(SensorAdapterStartCaptureEx),
        reinterpret_cast<const void*>(SensorAdapterStartNotifyWake),
        reinterpret_cast<const void*>(SensorAdapterFinishNotifyWake),
    };
    static_assert(sizeof(expected) / sizeof(expected[0]) == 31, "31 slots");
    const auto* slots =
        reinterpret_cast<const void* const*>(reinterpret_cast<const BYTE*>(table) + 32);
    for (size_t i = 0; i < 31; ++i) {
        EXPECT_EQ(slots[i], expected[i]) << "slot " << i;
    }
}

TEST_F(SensorFixture, AttachLabelsTheUnitAndHoldsTheEmbeddedChains) {
    Bytes id(32);
    for (size_t i = 0; i < 32; ++i) {
        id[i] = static_cast<uint8_t>(0x10 + i); // the simulated sensor's id
    }
    EXPECT_EQ(std::string(Context()->UnitLabel), LabelOf(id));
    EXPECT_EQ(Context()->CaptureStatus, 0xFF);
    EXPECT_EQ(Context()->FreeSlotCheckPending, 1u);
    EXPECT_EQ(Context()->AttributesCapacity, 1580u);
    EXPECT_EQ(Context()->CaptureBufferSize, 161u);
    EXPECT_EQ(Context()->CaptureBuffer, nullptr);
    ASSERT_NE(Context()->CaptureOverlapped.hEvent, nullptr);
    CMocSecureConnection* connection = Context()->SecureConnection;
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(connection->ChainCount, 3u);
    EXPECT_EQ(connection->ConnectionDataCapacity, 3359u);
    EXPECT_EQ(connection->ResponseCapacity, 1206u);
    const DWORD lengths[3][3] = {{807, 967, 1114}, {808, 967, 1114}, {846, 1025, 1114}};
    for (int i = 0; i < 3; ++i) {
        const CertificateChain& chain = connection->Chains[i];
        EXPECT_EQ(chain.ModelCertificateLength, lengths[i][0]) << i;
        EXPECT_EQ(chain.IntermediateCA1Length, lengths[i][1]) << i;
        EXPECT_EQ(chain.IntermediateCA2Length, lengths[i][2]) << i;
    }
    EXPECT_EQ(connection->Chains[0].IntermediateCA1, connection->Chains[1].IntermediateCA1);
    EXPECT_EQ(connection->Chains[0].IntermediateCA2, connection->Chains[2].IntermediateCA2);

    // A second attach on the same pipeline leaves the context as it was.
    PWINIBIO_SENSOR_CONTEXT context = Context();
    EXPECT_EQ(table->Attach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(Context(), context);
    EXPECT_EQ(table->Attach(nullptr), E_POINTER);
    EXPECT_TRUE(sensor->Log().empty());
}

// A sensor id that does not come whole labels the unit as 32 bytes of 0xFF.
TEST_F(SensorFixture, AttachWithoutASensorIdLabelsThePresetId) {
    struct Case {
        const char* name;
        bool fail;
        DWORD shortBytes;
    } cases[] = {{"failed", true, 0}, {"short", false, 8}, {"empty", false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(table->Detach(&pipeline), S_OK);
        if (c.fail) {
            sensor->FailNext(IOCTL_MOC_GET_SENSOR_ID, ERROR_GEN_FAILURE);
        } else {
            sensor->ReplyShort(IOCTL_MOC_GET_SENSOR_ID, c.shortBytes);
        }
        EXPECT_EQ(table->Attach(&pipeline), S_OK);
        ASSERT_NE(Context(), nullptr);
        EXPECT_EQ(std::string(Context()->UnitLabel), LabelOf(Bytes(32, 0xFF)));
    }
}

TEST_F(SensorFixture, AttachFailuresLeaveWhatDetachCanFree) {
    ASSERT_EQ(table->Detach(&pipeline), S_OK);
    const size_t heapBefore = platform::test::LiveHeapBlocks();
    const size_t handlesBefore = platform::test::OpenHandleCount();

    platform::test::FailNextHeapAllocations(1);
    pipeline.SensorContext = nullptr;
    EXPECT_EQ(table->Attach(&pipeline), E_OUTOFMEMORY);
    EXPECT_EQ(Context(), nullptr);
    EXPECT_EQ(platform::test::LiveHeapBlocks(), heapBefore);

    platform::test::FailNextCreateEvent(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(table->Attach(&pipeline), E_OUTOFMEMORY);
    ASSERT_NE(Context(), nullptr);
    EXPECT_EQ(Context()->SecureConnection, nullptr);
    EXPECT_TRUE(sensor->Log().empty()) << "nothing is sent without an event";
    WINBIO_SECURE_CONNECTION_PARAMS params = {8, 1, 0};
    PWINBIO_SECURE_CONNECTION_DATA data = nullptr;
    EXPECT_EQ(table->ConnectSecure(&pipeline, &params, &data), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(table->Detach(&pipeline), S_OK);
    EXPECT_EQ(Context(), nullptr);
    EXPECT_EQ(platform::test::LiveHeapBlocks(), heapBefore);
    EXPECT_EQ(platform::test::OpenHandleCount(), handlesBefore);

    // Attached again for the fixture's own detach.
    EXPECT_EQ(table->Attach(&pipeline), S_OK);
}

TEST_F(SensorFixture, DetachReleasesEverything) {
    sensor->PresentFinger(Finger());
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(Finish(), S_OK);
    ASSERT_FALSE(ExportedBytes().empty());
    const size_t heapBefore = platform::test::LiveHeapBlocks();
    const size_t handlesBefore = platform::test::OpenHandleCount();
    EXPECT_EQ(table->Detach(&pipeline), S_OK);
    EXPECT_EQ(Context(), nullptr);
    EXPECT_EQ(platform::test::LiveHeapBlocks(), heapBefore - 1);
    EXPECT_EQ(platform::test::OpenHandleCount(), handlesBefore - 1);
    EXPECT_EQ(table->Detach(&pipeline), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(table->Detach(nullptr), E_POINTER);
}

// The slots that send nothing: their results, and the pointer and context
// tests that come first.
TEST_F(SensorFixture, SlotsThatSendNothing) {
    WINBIO_EXTENDED_SENSOR_INFO info;
    struct Case {
        const char* name;
        std::function<HRESULT(PWINBIO_PIPELINE)> call;
        HRESULT result;
    } cases[] = {
        {"clear context", [&](PWINBIO_PIPELINE p) { return table->ClearContext(p); }, S_OK},
        {"pipeline init", [&](PWINBIO_PIPELINE p) { return table->PipelineInit(p); }, S_OK},
        {"pipeline cleanup", [&](PWINBIO_PIPELINE p) { return table->PipelineCleanup(p); }, S_OK},
        {"mode 0", [&](PWINBIO_PIPELINE p) { return table->SetMode(p, 0); }, S_OK},
        {"mode 4", [&](PWINBIO_PIPELINE p) { return table->SetMode(p, 4); }, S_OK},
        {"mode 5", [&](PWINBIO_PIPELINE p) { return table->SetMode(p, 5); },
         WINBIO_E_INVALID_SENSOR_MODE},
        {"indicator 1", [&](PWINBIO_PIPELINE p) { return table->SetIndicatorStatus(p, 1); }, S_OK},
        {"indicator 2", [&](PWINBIO_PIPELINE p) { return table->SetIndicatorStatus(p, 2); }, S_OK},
        {"indicator 3", [&](PWINBIO_PIPELINE p) { return table->SetIndicatorStatus(p, 3); },
         E_INVALIDARG},
        {"power 4", [&](PWINBIO_PIPELINE p) { return table->NotifyPowerChange(p, 4); }, S_OK},
        {"power 10", [&](PWINBIO_PIPELINE p) { return table->NotifyPowerChange(p, 10); }, S_OK},
        {"power 18", [&](PWINBIO_PIPELINE p) { return table->NotifyPowerChange(p, 18); }, S_OK},
        {"power 7", [&](PWINBIO_PIPELINE p) { return table->NotifyPowerChange(p, 7); },
         E_INVALIDARG},
        {"extended info of 8",
         [&](PWINBIO_PIPELINE p) { return table->QueryExtendedInfo(p, &info, 8); }, S_OK},
        {"extended info of 7",
         [&](PWINBIO_PIPELINE p) { return table->QueryExtendedInfo(p, &info, 7); }, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(&pipeline), c.result);
        EXPECT_EQ(c.call(nullptr), E_POINTER);
        WINBIO_PIPELINE bare = {};
        EXPECT_EQ(c.call(&bare), WINBIO_E_INVALID_DEVICE_STATE);
    }
    EXPECT_TRUE(sensor->Log().empty());

    // The indicator's 0 is refused as a missing argument, with or without context.
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->SetIndicatorStatus(&pipeline, 0), E_POINTER);
    EXPECT_EQ(table->SetIndicatorStatus(&bare, 0), E_POINTER);
    EXPECT_EQ(table->QueryExtendedInfo(&pipeline, nullptr, 8), E_POINTER);

    // Only the two leading fields are written.
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(table->QueryExtendedInfo(&pipeline, &info, sizeof(info)), S_OK);
    EXPECT_EQ(info.GenericSensorCapabilities, 0x311u);
    EXPECT_EQ(info.Factor, WINBIO_TYPE_FINGERPRINT);
    EXPECT_EQ(moc_test::BytesOf(&info.Specific, 16), Bytes(16, 0xAB));
}

TEST(SensorUnsupportedSlots, ReturnAtOnceWithoutLookingAtArguments) {
    PWINBIO_SENSOR_INTERFACE t = nullptr;
    ASSERT_EQ(WbioQuerySensorInterface(&t), S_OK);
    EXPECT_EQ(t->GetIndicatorStatus(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->QueryCalibrationFormats(nullptr, nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->SetCalibrationFormat(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->AcceptCalibrationData(nullptr, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(t->AsyncImportRawBuffer(nullptr, nullptr, 0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->AsyncImportSecureBuffer(nullptr, GUID{}, nullptr, 0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->QueryPrivateSensorType(nullptr, nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->StartCaptureEx(nullptr, 0, nullptr, 0, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->StartNotifyWake(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t->FinishNotifyWake(nullptr, nullptr), E_NOTIMPL);
}

} // namespace
