// The driver's match data, read through the engine's privileged control
// codes after a client set the length it wants. Input: bytes 0-1 the length
// (little-endian), byte 2 the code (bit 0: the extended read) and how many
// bytes the receive buffer has beyond the reply (bits 1-7), then the reply.
#include <memory>
#include <vector>
#include "engine/engine_adapter.h"
#include "support/fuzz_unit.h"

namespace {

constexpr size_t kReplyExtra = 14; // beside the match data in the client's reply

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    const DWORD length = data[0] | (DWORD(data[1]) << 8);
    const ULONG code = (data[2] & 1) ? IOCTL_MOC_READ_MATCH_DATA_EX : IOCTL_MOC_READ_MATCH_DATA;
    // Buffers of their exact sizes, so that a write past one shows.
    std::vector<UCHAR> send(4);
    send[0] = static_cast<UCHAR>(length);
    send[1] = static_cast<UCHAR>(length >> 8);
    std::vector<UCHAR> receive(16);
    SIZE_T received = 0;
    ULONG status = 0;
    unit.engine->ControlUnitPrivileged(pipeline, IOCTL_MOC_SET_MATCH_DATA_LENGTH, send.data(),
                                       send.size(), receive.data(), receive.size(), &received,
                                       &status);

    unit.sensor->ReplyWith(code, moc_fuzz::Rest(data, size, 3));
    // The size a client may pass: the reply's, give or take up to 32 bytes.
    long long wanted = static_cast<long long>(length + kReplyExtra) + (data[2] >> 1) - 32;
    const size_t receiveSize = wanted > 0 ? static_cast<size_t>(wanted) : 0;
    std::unique_ptr<UCHAR[]> reply(new UCHAR[receiveSize]);
    UCHAR request = 0;
    HRESULT hr = unit.engine->ControlUnitPrivileged(pipeline, code, &request, 1, reply.get(),
                                                    receiveSize, &received, &status);
    if (SUCCEEDED(hr))
        Expect(received <= receiveSize, "the reported size fits the buffer");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 3, nullptr, Run};
