#include "platform/DebugOutput.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace nimbrel {

bool DebugOutput::enabled() {
    static const bool on = std::getenv("NIMBREL_DEBUG") != nullptr;
    return on;
}

void DebugOutput::write(std::string_view text) {
    if (!enabled()) return;
    static std::mutex lock;
    std::lock_guard guard(lock);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace nimbrel
