#include "engine_fixture.h"

namespace engine_test {
namespace {

class SampleAcceptanceTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Attach();
    }

    // Hands `sample` (exactly its bytes, so a read past them shows) to the engine.
    HRESULT AcceptBytes(const Bytes& sample, WINBIO_BIR_PURPOSE purpose,
                        WINBIO_REJECT_DETAIL* reject) {
        std::unique_ptr<BYTE[]> exact(new BYTE[sample.size() ? sample.size() : 1]);
        if (!sample.empty()) {
            std::memcpy(exact.get(), sample.data(), sample.size());
        }
        return engine->AcceptSampleData(&pipeline, reinterpret_cast<PWINBIO_BIR>(exact.get()),
                                        sample.size(), purpose, reject);
    }

    static size_t HeaderAt(const Bytes& sample) {
        WINBIO_BIR bir;
        std::memcpy(&bir, sample.data(), sizeof(bir));
        return bir.HeaderBlock.Offset;
    }
    static size_t StandardAt(const Bytes& sample) {
        WINBIO_BIR bir;
        std::memcpy(&bir, sample.data(), sizeof(bir));
        return bir.StandardDataBlock.Offset;
    }
};

TEST_F(SampleAcceptanceTest, OnlyASinglePurposeIsAccepted) {
    // The chip takes samples for an enrollment purpose only into an enrollment.
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    sensor->ClearLog();
    struct Case {
        WINBIO_BIR_PURPOSE purpose;
        HRESULT hr;
    } cases[] = {
        {WINBIO_PURPOSE_VERIFY, S_OK},
        {WINBIO_PURPOSE_IDENTIFY, S_OK},
        {WINBIO_PURPOSE_ENROLL, S_OK},
        {WINBIO_PURPOSE_ENROLL_FOR_VERIFICATION, S_OK},
        {WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION, S_OK},
        {WINBIO_PURPOSE_AUDIT, S_OK},
        {0, E_INVALIDARG},
        {WINBIO_PURPOSE_VERIFY | WINBIO_PURPOSE_IDENTIFY, E_INVALIDARG},
        {0x40, E_INVALIDARG},
        {0x81, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.purpose));
        Bytes sample = Capture(3, 0, c.purpose);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(AcceptBytes(sample, c.purpose, &reject), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(reject, 0u);
            ASSERT_EQ(Requests().size(), 2u);
            EXPECT_EQ(Requests()[0].input, Bytes{c.purpose});
        } else {
            EXPECT_EQ(reject, 0xEEEEu); // untouched
            EXPECT_TRUE(Requests().empty());
        }
        sensor->ClearLog();
    }
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    EXPECT_EQ(AcceptBytes(Capture(3), WINBIO_PURPOSE_IDENTIFY, &reject), S_OK);
    sensor->ClearLog();
    EXPECT_EQ(engine->AcceptSampleData(&pipeline, reinterpret_cast<PWINBIO_BIR>(&reject), 0,
                                       WINBIO_PURPOSE_IDENTIFY, &reject),
              E_INVALIDARG);
    EXPECT_EQ(reject, 0u);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SampleAcceptanceTest, FormatFaultsAreRefusedBeforeAnyRequest) {
    struct Case {
        const char* name;
        size_t where; // 0: header, 1: standard data
        size_t offset;
        Bytes value;
        HRESULT hr;
    } cases[] = {
        {"format owner", 0, 40, moc_test::Le16(0x001C), E_INVALIDARG},
        {"format type", 0, 42, moc_test::Le16(0x0402), E_INVALIDARG},
        {"raw with integrity",
         0,
         4,
         {WINBIO_DATA_FLAG_RAW | WINBIO_DATA_FLAG_INTEGRITY},
         E_INVALIDARG},
        {"processed", 0, 4, {WINBIO_DATA_FLAG_PROCESSED}, E_INVALIDARG},
        {"pixel depth 16", 1, 34, {16}, WINBIO_E_UNSUPPORTED_DATA_FORMAT},
        {"compressed", 1, 35, {1}, WINBIO_E_UNSUPPORTED_DATA_FORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sample = Capture(3);
        const size_t at = (c.where == 0 ? HeaderAt(sample) : StandardAt(sample)) + c.offset;
        std::copy(c.value.begin(), c.value.end(), sample.begin() + at);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(AcceptBytes(sample, WINBIO_PURPOSE_IDENTIFY, &reject), c.hr);
        EXPECT_EQ(reject, 0u);
        EXPECT_TRUE(Requests().empty());
    }
}

// The block offsets come from the caller: a record whose offsets or size do
// not hold every byte read is refused before anything is read or sent.
TEST_F(SampleAcceptanceTest, SampleRecordMustHoldEveryFieldItsOffsetsName) {
    const Bytes good = Capture(3);
    const size_t header = HeaderAt(good);
    const size_t standard = StandardAt(good);
    auto withOffsets = [&](uint32_t headerOffset, uint32_t standardOffset) {
        Bytes s = good;
        std::memcpy(s.data() + 4, &headerOffset, 4);
        std::memcpy(s.data() + 12, &standardOffset, 4);
        return s;
    };
    struct Case {
        const char* name;
        Bytes sample;
    } cases[] = {
        {"shorter than the four descriptors", Bytes(good.begin(), good.begin() + 31)},
        {"cut inside the format", withOffsets(header, 0)},
        {"header past the end", withOffsets(static_cast<uint32_t>(good.size()), standard)},
        {"header whose end wraps 32 bits", withOffsets(0xFFFFFFF0u, standard)},
        {"standard data cut before its compression byte",
         withOffsets(header, static_cast<uint32_t>(good.size() - 35))},
        {"standard data past the end", withOffsets(header, 0xFFFFFFFFu)},
    };
    // The second row ends the record inside the format (its standard data
    // offset points at bytes the record does hold).
    cases[1].sample.resize(header + 43);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(AcceptBytes(c.sample, WINBIO_PURPOSE_IDENTIFY, &reject), E_INVALIDARG);
        EXPECT_EQ(reject, 0u);
        EXPECT_TRUE(Requests().empty());
    }
    // Fields at the very end of the record are still read.
    Bytes tight(good.begin(), good.begin() + standard + 36);
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    EXPECT_EQ(AcceptBytes(tight, WINBIO_PURPOSE_IDENTIFY, &reject), S_OK);
}

TEST_F(SampleAcceptanceTest, ChipVerdictIsConfirmedAndReported) {
    ASSERT_EQ(engine->CreateEnrollment(&pipeline), S_OK);
    sensor->ClearLog();
    struct Case {
        BYTE chipStatus;
        HRESULT hr;
        WINBIO_REJECT_DETAIL reject;
    } cases[] = {
        {0, S_OK, 0},
        {MOC_STATUS_TOO_SKEWED, WINBIO_E_BAD_CAPTURE, WINBIO_FP_TOO_SKEWED},
        {WINBIO_FP_POOR_QUALITY, WINBIO_E_BAD_CAPTURE, WINBIO_FP_POOR_QUALITY},
        {WINBIO_FP_TOO_FAST, WINBIO_E_BAD_CAPTURE, WINBIO_FP_TOO_FAST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.chipStatus));
        Bytes sample = Capture(3, c.chipStatus, WINBIO_PURPOSE_ENROLL);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(AcceptBytes(sample, WINBIO_PURPOSE_ENROLL, &reject), c.hr);
        EXPECT_EQ(reject, c.reject);
        const auto log = Requests();
        ASSERT_EQ(Codes(log),
                  (std::vector<DWORD>{IOCTL_MOC_ACCEPT_SAMPLE, IOCTL_MOC_CONFIRM_SAMPLE}));
        EXPECT_EQ(log[0].input, Bytes{WINBIO_PURPOSE_ENROLL});
        EXPECT_EQ(log[0].outputCapacity, 9u);
        const ULONG64 token = sensor->LastSampleToken();
        Bytes confirm{static_cast<uint8_t>(c.reject)};
        for (int i = 0; i < 8; ++i) {
            confirm.push_back(static_cast<uint8_t>(token >> (8 * i)));
        }
        EXPECT_EQ(log[1].input, confirm);
        EXPECT_EQ(log[1].outputCapacity, 0u);
        EXPECT_EQ(Context()->SampleToken, token);
        sensor->ClearLog();
    }
}

TEST_F(SampleAcceptanceTest, FailedRequests) {
    // The accept request fails: its family with the error, no confirm, token kept.
    ASSERT_EQ(Accept(3), S_OK);
    const ULONG64 token = Context()->SampleToken;
    struct Case {
        const char* name;
        std::function<void()> fault;
        HRESULT hr;
        WINBIO_REJECT_DETAIL reject;
        size_t requests;
    } cases[] = {
        {"accept fails", [&] { sensor->FailNext(IOCTL_MOC_ACCEPT_SAMPLE, 31); },
         static_cast<HRESULT>(0xEE06001Fu), 0, 1},
        {"accept answers short", [&] { sensor->ReplyShort(IOCTL_MOC_ACCEPT_SAMPLE, 5); },
         static_cast<HRESULT>(0xEE060000u | ERROR_INVALID_DATA), 0, 1},
        {"confirm aborted",
         [&] { sensor->FailNext(IOCTL_MOC_CONFIRM_SAMPLE, ERROR_OPERATION_ABORTED); },
         WINBIO_E_CANCELED, WINBIO_FP_POOR_QUALITY, 2},
        {"confirm fails", [&] { sensor->FailNext(IOCTL_MOC_CONFIRM_SAMPLE, ERROR_GEN_FAILURE); },
         WINBIO_E_DEVICE_FAILURE, WINBIO_FP_POOR_QUALITY, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sample = Capture(3, WINBIO_FP_POOR_QUALITY);
        sensor->ClearLog();
        const ULONG64 before = Context()->SampleToken;
        c.fault();
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(AcceptBytes(sample, WINBIO_PURPOSE_IDENTIFY, &reject), c.hr);
        EXPECT_EQ(reject, c.reject);
        EXPECT_EQ(Requests().size(), c.requests);
        if (c.requests == 1) {
            EXPECT_EQ(Context()->SampleToken, before);
        }
    }
    EXPECT_NE(token, 0u);
}

TEST_F(SampleAcceptanceTest, PointersAndContext) {
    Bytes sample = Capture(3);
    auto* bir = reinterpret_cast<PWINBIO_BIR>(sample.data());
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    EXPECT_EQ(engine->AcceptSampleData(nullptr, bir, sample.size(), 2, &reject), E_POINTER);
    EXPECT_EQ(engine->AcceptSampleData(&pipeline, nullptr, sample.size(), 2, &reject), E_POINTER);
    EXPECT_EQ(engine->AcceptSampleData(&pipeline, bir, sample.size(), 2, nullptr), E_POINTER);
    ASSERT_EQ(engine->Detach(&pipeline), S_OK);
    EXPECT_EQ(engine->AcceptSampleData(&pipeline, bir, sample.size(), 2, &reject),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(reject, 0xEEEEu);
    EXPECT_TRUE(Requests().empty());
}

} // namespace
} // namespace engine_test
