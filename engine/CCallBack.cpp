#include "engine/CCallBack.h"

#include <cstdio>

#include "platform/DebugOutput.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

CCallBack::CCallBack(PatchWindow* dialog_) : dialog(dialog_) {}

HRESULT CCallBack::QueryInterface(InterfaceId iid, void** out) {
    if (!out) return E_NOINTERFACE;
    *out = nullptr;
    if (iid != InterfaceId::IUnknown && iid != InterfaceId::IBindStatusCallback) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
}

// The count before the increment, as the original returned it; callers only balance the calls.
unsigned long CCallBack::AddRef() { return static_cast<unsigned long>(referenceCount++); }

unsigned long CCallBack::Release() {
    std::int32_t count = --referenceCount;
    // The engine's instance is a member, created at 1 and never released by its owner, so the
    // count cannot reach 0 here; a sink made with new and released to 0 destroys itself.
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<unsigned long>(count);
}

HRESULT CCallBack::OnStartBinding() { return E_NOTIMPL; }
HRESULT CCallBack::GetPriority() { return E_NOTIMPL; }
HRESULT CCallBack::OnLowResource() { return E_NOTIMPL; }

HRESULT CCallBack::OnProgress(unsigned long progress, unsigned long progressMax, unsigned long, const char*) {
    if (progressMax == 0) return S_OK;
    const int percent = static_cast<int>(static_cast<double>(progress) / static_cast<double>(progressMax) * 100.0);
    // One post per changed percentage: a fast link would otherwise flood the window.
    if (dialog && percent != lastPostedPercent_) {
        dialog->postMessage(WM_PATCH_PROGRESS, percent, 0);
        lastPostedPercent_ = percent;
    }
    char line[260] = {};
    std::snprintf(line, sizeof line, "%d / %d\n", static_cast<int>(progress), static_cast<int>(progressMax));
    DebugOutput::write(line);
    return S_OK;
}

HRESULT CCallBack::OnStopBinding() { return E_NOTIMPL; }
HRESULT CCallBack::GetBindInfo() { return E_NOTIMPL; }
HRESULT CCallBack::OnDataAvailable() { return E_NOTIMPL; }
HRESULT CCallBack::OnObjectAvailable() { return E_NOTIMPL; }

void CCallBack::resetProgress() { lastPostedPercent_ = 0; }

}  // namespace nimbrel
