#include "support/fuzz_unit.h"

#include <wtsapi32.h>
#include <filesystem>
#include "engine/engine_adapter.h"
#include "platform/test.h"
#include "sensor/sensor_adapter.h"
#include "storage/storage_adapter.h"
#include "support/temp_root.h"

namespace moc_fuzz {

void PrepareGround() {
    platform::test::ResetAll();
    // Lives until exit, whose static destructors remove the folder.
    static moc_test::TempRoot root;
    std::filesystem::create_directories(root.Native("C:\\WinBioDatabase"));
    // The engine counts sign-ins at the lock screen in a file of this folder.
    std::filesystem::create_directories(root.Native("C:\\Windows\\System32\\WinBioDatabase"));
}

Unit::Unit() : sensor(std::make_shared<simsensor::SimulatedSensor>()) {
    pipeline.SensorHandle = platform::test::OpenDevice(sensor);
    pipeline.EngineHandle = INVALID_HANDLE_VALUE;
    pipeline.StorageHandle = INVALID_HANDLE_VALUE;
    if (WbioQuerySensorInterface(&sensorAdapter) != S_OK ||
        WbioQueryEngineInterface(&engine) != S_OK || WbioQueryStorageInterface(&storage) != S_OK)
        Broken("an interface table");
    pipeline.SensorInterface = sensorAdapter;
    pipeline.EngineInterface = engine;
    pipeline.StorageInterface = storage;
}

Unit::~Unit() {
    DetachSensor();
    DetachEngine();
    DetachStorage();
    CloseHandle(pipeline.SensorHandle);
}

HRESULT Unit::AttachSensor() {
    return sensorAdapter->Attach(&pipeline);
}

HRESULT Unit::AttachEngine() {
    return engine->Attach(&pipeline);
}

HRESULT Unit::AttachStorage() {
    return storage->Attach(&pipeline);
}

void Unit::DetachSensor() {
    if (pipeline.SensorContext != nullptr)
        sensorAdapter->Detach(&pipeline);
}

void Unit::DetachEngine() {
    if (pipeline.EngineContext != nullptr)
        engine->Detach(&pipeline);
}

void Unit::DetachStorage() {
    if (pipeline.StorageContext != nullptr)
        storage->Detach(&pipeline);
}

void Unit::Forget() {
    sensor->ClearFaults();
    sensor->ClearLog();
    platform::test::SetConsoleLockState(WTS_SESSIONSTATE_UNLOCK);
}

} // namespace moc_fuzz
