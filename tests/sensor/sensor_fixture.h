// A pipeline whose sensor adapter is attached through the exported table to a
// simulated sensor, with a test engine table in the engine's place.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <functional>
#include <memory>
#include "platform/test.h"
#include "sensor/sensor_adapter.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"

namespace sensor_test {

using moc_test::Bytes;

// What the engine's two slots that the sensor adapter calls answer and saw.
struct TestEngine {
    WINBIO_REGISTERED_FORMAT preferred = {WINBIO_ANSI_381_FORMAT_OWNER,
                                          WINBIO_ANSI_381_FORMAT_TYPE};
    GUID vendor = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    HRESULT queryResult = S_OK;
    int queries = 0;
    std::function<void()> duringQuery; // run inside the query, before it answers

    HRESULT acceptResult = S_OK;
    WINBIO_REJECT_DETAIL acceptReject = 0;
    int accepts = 0;
    Bytes sample;
    SIZE_T sampleSize = 0;
    WINBIO_BIR_PURPOSE purpose = 0;
};

inline TestEngine*& CurrentEngine() {
    static TestEngine* engine = nullptr;
    return engine;
}

inline HRESULT WINAPI TestQueryPreferredFormat(PWINBIO_PIPELINE, PWINBIO_REGISTERED_FORMAT format,
                                               PWINBIO_UUID vendor) {
    TestEngine& engine = *CurrentEngine();
    ++engine.queries;
    if (engine.duringQuery) {
        engine.duringQuery();
    }
    // A failing engine may still have written: the adapter must not keep it.
    *format = engine.preferred;
    *vendor = engine.vendor;
    return engine.queryResult;
}

inline HRESULT WINAPI TestAcceptSampleData(PWINBIO_PIPELINE, PWINBIO_BIR sample, SIZE_T size,
                                           WINBIO_BIR_PURPOSE purpose,
                                           PWINBIO_REJECT_DETAIL rejectDetail) {
    TestEngine& engine = *CurrentEngine();
    ++engine.accepts;
    engine.sample = moc_test::BytesOf(sample, size);
    engine.sampleSize = size;
    engine.purpose = purpose;
    *rejectDetail = engine.acceptReject;
    return engine.acceptResult;
}

class SensorFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        CurrentEngine() = &engine;
        engineTable = {};
        engineTable.QueryPreferredFormat = TestQueryPreferredFormat;
        engineTable.AcceptSampleData = TestAcceptSampleData;
        sensor = std::make_shared<simsensor::SimulatedSensor>();
        pipeline = {};
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        pipeline.EngineInterface = &engineTable;
        ASSERT_EQ(WbioQuerySensorInterface(&table), S_OK);
        pipeline.SensorInterface = table;
        ASSERT_EQ(table->Attach(&pipeline), S_OK);
        ASSERT_NE(pipeline.SensorContext, nullptr);
        sensor->ClearLog();
    }
    void TearDown() override {
        if (pipeline.SensorContext != nullptr) {
            EXPECT_EQ(table->Detach(&pipeline), S_OK);
        }
        CloseHandle(pipeline.SensorHandle);
        CurrentEngine() = nullptr;
        platform::test::ResetAll();
    }

    PWINIBIO_SENSOR_CONTEXT Context() { return pipeline.SensorContext; }

    static simsensor::Presentation Finger(BYTE captureStatus = 0, simsensor::Finger finger = 7) {
        simsensor::Presentation p;
        p.finger = finger;
        p.captureStatus = captureStatus;
        return p;
    }

    HRESULT Start(WINBIO_BIR_PURPOSE purpose = WINBIO_PURPOSE_IDENTIFY) {
        LPOVERLAPPED overlapped = nullptr;
        HRESULT hr = table->StartCapture(&pipeline, purpose, &overlapped);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(overlapped, &Context()->CaptureOverlapped);
        } else {
            EXPECT_EQ(overlapped, nullptr);
        }
        return hr;
    }

    HRESULT Finish(WINBIO_REJECT_DETAIL* rejectDetail = nullptr) {
        WINBIO_REJECT_DETAIL detail = 0xEEEE;
        HRESULT hr = table->FinishCapture(&pipeline, &detail);
        if (rejectDetail != nullptr) {
            *rejectDetail = detail;
        }
        return hr;
    }

    // One whole capture of a finger already on the sensor.
    HRESULT Capture(const simsensor::Presentation& p,
                    WINBIO_BIR_PURPOSE purpose = WINBIO_PURPOSE_IDENTIFY,
                    WINBIO_REJECT_DETAIL* rejectDetail = nullptr) {
        sensor->PresentFinger(p);
        HRESULT hr = Start(purpose);
        return FAILED(hr) ? hr : Finish(rejectDetail);
    }

    // The BIR that the exported sample must carry: the simulated reply from
    // byte 20 on.
    Bytes ExportedBytes() {
        PWINBIO_BIR bir = nullptr;
        SIZE_T size = 0;
        if (table->ExportSensorData(&pipeline, &bir, &size) != S_OK) {
            return {};
        }
        return moc_test::BytesOf(bir, size);
    }

    std::vector<simsensor::LoggedRequest> Requests(DWORD code) const {
        std::vector<simsensor::LoggedRequest> found;
        for (const auto& r : sensor->Log()) {
            if (r.code == code) {
                found.push_back(r);
            }
        }
        return found;
    }

    TestEngine engine;
    WINBIO_ENGINE_INTERFACE engineTable{};
    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline{};
    PWINBIO_SENSOR_INTERFACE table = nullptr;
};

} // namespace sensor_test
