#include "support/fuzz_unit.h"

#include <wtsapi32.h>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "device/identity_key.h"
#include "engine/engine_adapter.h"
#include "platform/native_path.h"
#include "platform/test.h"
#include "sensor/sensor_adapter.h"
#include "storage/storage_adapter.h"
#include "support/sample_capture.h"
#include "support/temp_root.h"

namespace moc_fuzz {

namespace {

const std::string privateFilePath = host::PrivateDatabasePath();

} // namespace

const char* const kPrivateFilePath = privateFilePath.c_str();

namespace {

// A folder in memory where the machine has one: the file harnesses then pay
// no disk for the flushes and folder syncs of every input.
std::string GroundParent() {
    const char* const memory = "/dev/shm";
    struct stat info {};
    if (stat(memory, &info) == 0 && S_ISDIR(info.st_mode) && access(memory, W_OK | X_OK) == 0)
        return memory;
    return "";
}

} // namespace

void PrepareGround() {
    platform::test::ResetAll();
    // Lives until exit, whose static destructors remove the folder.
    static moc_test::TempRoot root(GroundParent());
    // The storage adapter's files, and the engine's counts of sign-ins at the lock screen.
    std::filesystem::create_directories(root.Native(host::kDatabaseFolder));
}

GroundFile::GroundFile(const char* windowsPath) : native_(platform::NativePath(windowsPath)) {}

void GroundFile::Lay(const uint8_t* data, size_t size) const {
    const int fd = ::open(native_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool laid = fd >= 0;
    for (size_t done = 0; laid && done < size;) {
        const ssize_t written = ::write(fd, data + done, size - done);
        laid = written > 0;
        done += laid ? size_t(written) : 0;
    }
    if (fd >= 0 && ::close(fd) != 0)
        laid = false;
    if (!laid)
        Broken("a file laid for the input");
}

const GroundFile& PrivateFile() {
    static const GroundFile file(kPrivateFilePath);
    return file;
}

namespace {

// The adapters linked into the harness, as their exports hand them out.
host::AdapterTables LinkedTables() {
    host::AdapterTables tables;
    if (WbioQuerySensorInterface(&tables.sensor) != S_OK ||
        WbioQueryEngineInterface(&tables.engine) != S_OK ||
        WbioQueryStorageInterface(&tables.storage) != S_OK)
        Broken("an interface table");
    return tables;
}

} // namespace

Unit::Unit()
    : sensor(std::make_shared<simsensor::SimulatedSensor>()),
      framework(LinkedTables(), platform::test::OpenDevice(sensor)), pipeline(framework.Pipeline()),
      sensorAdapter(pipeline.SensorInterface), engine(pipeline.EngineInterface),
      storage(pipeline.StorageInterface) {}

Unit::~Unit() {
    // The sensor's detach may still cancel a capture on the handle.
    framework.Stop();
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
    // A load keeps the file's header and trailing bytes for the save after it;
    // an input that loaded without saving would leave them to the next.
    if (pipeline.StorageContext != nullptr)
        ReleaseKeptCopies(pipeline.StorageContext);
}

Unit* StartUnit(unsigned adapters) {
    PrepareGround();
    Unit* unit = new Unit();
    if ((adapters & kEngine) && unit->AttachEngine() != S_OK)
        Broken("engine attach");
    if ((adapters & kSensor) && unit->AttachSensor() != S_OK)
        Broken("sensor attach");
    if ((adapters & kStorage) && unit->AttachStorage() != S_OK)
        Broken("storage attach");
    return unit;
}

WINBIO_IDENTITY AccountIdentity() {
    WINBIO_IDENTITY identity = {};
    identity.Type = WINBIO_ID_TYPE_SID;
    identity.Value.AccountSid.Size = 28;
    for (int i = 0; i < 28; ++i)
        identity.Value.AccountSid.Data[i] = static_cast<UCHAR>(0x20 + i);
    return identity;
}

WINBIO_IDENTITY SecureIdentity() {
    WINBIO_IDENTITY identity = {};
    identity.Type = WINBIO_ID_TYPE_SECURE_ID;
    for (int i = 0; i < 32; ++i)
        identity.Value.SecureId[i] = static_cast<UCHAR>(0x60 + i);
    return identity;
}

DatabaseRecordBlock HostRecordBlock(BYTE type, const WINBIO_IDENTITY& identity) {
    DatabaseRecordBlock block = {};
    block.BlockType = type;
    block.RecordLength =
        type == MOC_BLOCK_TYPE_OWNED ? MOC_LEGACY_RECORD_SIZE_OWNED : MOC_LEGACY_RECORD_SIZE_PLAIN;
    block.Valid = 1;
    const bool sid = identity.Type == WINBIO_ID_TYPE_SID;
    block.IdentityKind = sid ? MOC_IDENTITY_KIND_SID : MOC_IDENTITY_KIND_SECURE_ID;
    block.SubFactor = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
    block.IdentityLength = static_cast<BYTE>(sid ? identity.Value.AccountSid.Size : 32);
    PackIdentityKey(&identity, &block.Key);
    if (type == MOC_BLOCK_TYPE_OWNED) {
        const MocSensorId id = simsensor::SimulatedSensor().SensorId();
        block.SensorIdLength = MOC_SENSOR_ID_SIZE;
        std::memcpy(block.SensorId, id.Bytes, sizeof(block.SensorId));
    }
    return block;
}

Bytes SampleOnChip(Unit& unit) {
    simsensor::Presentation finger;
    finger.finger = 1;
    unit.sensor->PresentFinger(finger);
    Bytes sample = moc_test::CaptureSample(unit.pipeline.SensorHandle, WINBIO_PURPOSE_IDENTIFY);
    if (sample.empty())
        Broken("a sample on the chip");
    return sample;
}

} // namespace moc_fuzz
