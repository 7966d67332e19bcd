#pragma once
// A report the patch worker posts to the launcher window (progress, or the run's result),
// carried to the window's thread as a Qt event. Its id is the report's number of
// platform/WindowMessages.h.

#include <QEvent>

#include "platform/WindowMessages.h"

namespace nimbrel {

class PatchMessageEvent : public QEvent {
public:
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    static PatchMessageEvent* progress(int percent) { return new PatchMessageEvent(WM_PATCH_PROGRESS, percent, 0); }
    static PatchMessageEvent* result(int result, int stage) {
        return new PatchMessageEvent(WM_PATCH_RESULT, result, stage);
    }

    const unsigned message;  // WM_PATCH_PROGRESS or WM_PATCH_RESULT
    const int value;         // the percentage, or the result
    const int stage;         // with a result: the stage the run reached

private:
    PatchMessageEvent(unsigned message, int value, int stage)
        : QEvent(eventType()), message(message), value(value), stage(stage) {}
};

}  // namespace nimbrel
