#pragma once
// The pack operations report to a launcher window; on the command line their percentages go
// to stderr, and only when a person is watching it (a terminal), so scripts see clean output.

#include <cstdint>
#include <string>

#include "platform/PatchWindow.h"

namespace nimbrel {

class ConsoleProgressWindow : public PatchWindow {
public:
    explicit ConsoleProgressWindow(std::string title);
    ~ConsoleProgressWindow() override;  // ends the progress line

    void postMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;

private:
    std::string title_;
    bool terminal_;
    long long shown_ = -1;
};

}  // namespace nimbrel
