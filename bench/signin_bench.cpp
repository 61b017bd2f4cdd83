// A sign-in at the lock screen beside the raw file I/O its road must do.
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
    bool Raw(std::string* why) override { return moc_bench::PatchMatchCounters(why); }

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
