// The engine's table as the biometric service gets it: from the export of the
// loaded deliverable, driving a simulated sensor through the shared platform.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <winbio_adapter.h>
#include <memory>
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"
#include "support/sample_capture.h"

namespace {

using QueryEngine = HRESULT (*)(PWINBIO_ENGINE_INTERFACE*);

class EngineExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        library = dlopen(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
    }
    void TearDown() override {
        if (library != nullptr) {
            dlclose(library);
        }
        platform::test::ResetAll();
    }
    void* library = nullptr;
};

TEST_F(EngineExportTest, TableFromTheExportDrivesTheChip) {
    auto query = reinterpret_cast<QueryEngine>(dlsym(library, "WbioQueryEngineInterface"));
    ASSERT_NE(query, nullptr);
    PWINBIO_ENGINE_INTERFACE engine = nullptr;
    ASSERT_EQ(query(&engine), S_OK);
    PWINBIO_ENGINE_INTERFACE again = nullptr;
    ASSERT_EQ(query(&again), S_OK);
    EXPECT_EQ(again, engine);
    EXPECT_EQ(query(nullptr), E_POINTER);
    EXPECT_EQ(engine->Size, 360u);
    EXPECT_EQ(engine->Type, WINBIO_ADAPTER_TYPE_ENGINE);
    EXPECT_EQ(engine->Version.MajorVersion, 6);
    EXPECT_EQ(moc_test::BytesOf(engine->AdapterId),
              moc_test::FromHex("c8fd76b8e7341a4782c89cba6a3538ec"));

    auto sensor = std::make_shared<simsensor::SimulatedSensor>();
    IdentityKey key = {};
    for (int i = 0; i < 28; ++i) {
        key.Bytes[i] = static_cast<BYTE>(0x30 + i);
    }
    sensor->Enroll(0, key, 2, /*finger*/ 5);
    WINBIO_PIPELINE pipeline = {};
    pipeline.SensorHandle = platform::test::OpenDevice(sensor);
    pipeline.EngineHandle = INVALID_HANDLE_VALUE;
    ASSERT_EQ(engine->Attach(&pipeline), S_OK);

    simsensor::Presentation p;
    p.finger = 5;
    sensor->PresentFinger(p);
    moc_test::Bytes sample =
        moc_test::CaptureSample(pipeline.SensorHandle, WINBIO_PURPOSE_IDENTIFY);
    WINBIO_REJECT_DETAIL reject = 0;
    ASSERT_EQ(engine->AcceptSampleData(&pipeline, reinterpret_cast<PWINBIO_BIR>(sample.data()),
                                       sample.size(), WINBIO_PURPOSE_IDENTIFY, &reject),
              S_OK);
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    PUCHAR blob = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(engine->IdentifyFeatureSet(&pipeline, &identity, &subFactor, &blob, &size, &blob,
                                         &size, &reject),
              S_OK);
    EXPECT_EQ(identity.Type, WINBIO_ID_TYPE_SID);
    EXPECT_EQ(moc_test::BytesOf(identity.Value.AccountSid.Data, 28),
              moc_test::BytesOf(key.Bytes, 28));
    EXPECT_EQ(subFactor, 2);

    EXPECT_EQ(engine->Detach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.EngineContext, nullptr);
    EXPECT_EQ(platform::test::LiveHeapBlocks(), 0u);
    CloseHandle(pipeline.SensorHandle);
}

} // namespace
