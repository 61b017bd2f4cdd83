// The deliverable as the biometric service uses it: loaded, its sensor table
// looked up by name, a unit attached, a sample captured and pushed, detached.
#include <dlfcn.h>
#include "sensor/sensor_fixture.h"

namespace {

TEST(SensorAdapterLibrary, ExportedTableDrivesACapture) {
    platform::test::ResetAll();
    void* library = dlopen(MOC_ADAPTER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto query = reinterpret_cast<PWINBIO_QUERY_SENSOR_INTERFACE_FN>(
        dlsym(library, "WbioQuerySensorInterface"));
    ASSERT_NE(query, nullptr);
    PWINBIO_SENSOR_INTERFACE table = nullptr;
    ASSERT_EQ(query(&table), S_OK);
    ASSERT_NE(table->Attach, nullptr);
    EXPECT_EQ(table->Size, 280u);

    sensor_test::TestEngine engine;
    sensor_test::CurrentEngine() = &engine;
    WINBIO_ENGINE_INTERFACE engineTable{};
    engineTable.QueryPreferredFormat = sensor_test::TestQueryPreferredFormat;
    engineTable.AcceptSampleData = sensor_test::TestAcceptSampleData;
    auto sensor = std::make_shared<simsensor::SimulatedSensor>();
    WINBIO_PIPELINE pipeline{};
    pipeline.SensorHandle = platform::test::OpenDevice(sensor);
    pipeline.SensorInterface = table;
    pipeline.EngineInterface = &engineTable;

    ASSERT_EQ(table->Attach(&pipeline), S_OK);
    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    simsensor::Presentation finger;
    finger.finger = 4;
    sensor->PresentFinger(finger);
    LPOVERLAPPED overlapped = nullptr;
    ASSERT_EQ(table->StartCapture(&pipeline, WINBIO_PURPOSE_VERIFY, &overlapped), S_OK);
    ASSERT_NE(overlapped, nullptr);
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    EXPECT_EQ(table->FinishCapture(&pipeline, &reject), S_OK);
    EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_VERIFY, 0, &reject), S_OK);
    EXPECT_EQ(engine.accepts, 1);
    EXPECT_EQ(engine.sampleSize, 141u);
    EXPECT_EQ(table->Deactivate(&pipeline), S_OK);
    EXPECT_EQ(table->Detach(&pipeline), S_OK);
    EXPECT_EQ(pipeline.SensorContext, nullptr);

    CloseHandle(pipeline.SensorHandle);
    sensor_test::CurrentEngine() = nullptr;
    EXPECT_EQ(dlclose(library), 0);
    platform::test::ResetAll();
}

} // namespace
