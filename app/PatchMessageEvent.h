#pragma once
// A window message posted by the patch worker, carried to the launcher window's thread as a
// Qt event. The numbers stay the original window messages (platform/WindowMessages.h).

#include <QEvent>
#include <cstdint>

namespace nimbrel {

class PatchMessageEvent : public QEvent {
public:
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    PatchMessageEvent(unsigned message, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(eventType()), message(message), wParam(wParam), lParam(lParam) {}

    const unsigned message;
    const std::intptr_t wParam;
    const std::intptr_t lParam;
};

}  // namespace nimbrel
