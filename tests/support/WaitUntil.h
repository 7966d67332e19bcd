#pragma once
// Waiting for something another thread or process makes observable (a request logged, a file
// grown, a flag set), instead of sleeping for a time that a busy machine may not keep.

#include <functional>

namespace nimbrel::test {

// Polls condition every few milliseconds until it holds; false only when it never did within
// two minutes, far beyond any test's need, so that a fault fails the test instead of hanging it.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition);

}  // namespace nimbrel::test
