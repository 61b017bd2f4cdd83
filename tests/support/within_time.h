// A call that may wait forever (an open of a FIFO that has no writer, a read
// of a device that has no end) run where its wait cannot hang the suite.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace moc_test {

// Runs `call` in a child made with fork() and hands back the text it
// returned; nothing when the child did not finish within `limit` (it is then
// killed) or ended without returning. What the call changes in memory dies
// with the child; what it does to the files stays.
std::optional<std::string>
ReturnedWithin(const std::function<std::string()>& call,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace moc_test
