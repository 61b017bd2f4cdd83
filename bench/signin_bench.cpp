// A sign-in at the lock screen beside its baseline: the six driver requests
// that the road sends, made straight on the sensor's handle in the same order
// with the same buffers (the capture overlapped and waited for, the sample's
// acceptance and confirmation under its token, the identify, the match result,
// the match report), and the engine's patch of the match counters with the
// platform calls it needs (the file looked for, its header read, read again
// and patched in place, flushed). No sign-in at the lock screen can do with
// less: the chip holds the templates and the match, and the counters live in
// the file; what remains between the two halves is the adapters' own work
// (the format settled, the sample's record checked and handed over, the
// pipeline's tables, the traces).
#include <memory>
#include <string>
#include "bench/pairs.h"
#include "bench/sign_in.h"

namespace {

class SignInCase : public moc_bench::PairCase {
public:
    bool Ready(std::string* why) const { return bench_.Ready(why); }
    void Prepare() override { bench_.ForgetRequests(); }
    bool Ours(std::string* why) override { return bench_.SignIn(why); }
    bool Raw(std::string* why) override { return bench_.RawSignIn(why); }

private:
    moc_bench::SignInBench bench_;
};

const bool kRegistered = [] {
    moc_bench::RegisterPair(
        "signin/lock_screen",
        [](std::string* why) -> std::unique_ptr<moc_bench::PairCase> {
            auto pair = std::make_unique<SignInCase>();
            if (!pair->Ready(why))
                return nullptr;
            return pair;
        },
        moc_bench::PairOptions{1, 50, 20});
    return true;
}();

} // namespace
