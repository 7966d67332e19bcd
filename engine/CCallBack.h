#pragma once
// The progress sink of the cached download, shaped like the binding-status callback of the
// original platform: ten operations in slot order, a reference count starting at 1.

#include <cstdint>
#include <string>

namespace nimbrel {

class PatchWindow;

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// Interface ids the sink answers to.
enum class InterfaceId { IUnknown, IBindStatusCallback, Other };

class CCallBack {
public:
    explicit CCallBack(PatchWindow* dialog = nullptr);

    HRESULT QueryInterface(InterfaceId iid, void** out);
    unsigned long AddRef();
    unsigned long Release();
    HRESULT OnStartBinding();
    HRESULT GetPriority();
    HRESULT OnLowResource();
    HRESULT OnProgress(unsigned long progress, unsigned long progressMax, unsigned long statusCode,
                       const char* statusText);
    HRESULT OnStopBinding();
    HRESULT GetBindInfo();
    HRESULT OnDataAvailable();
    HRESULT OnObjectAvailable();

    // The downloader posts 0 itself when an attempt starts; from then on only a changed
    // percentage reaches the window.
    void resetProgress();
    int lastPostedPercent() const { return lastPostedPercent_; }

    PatchWindow* dialog;
    std::int32_t referenceCount = 1;

private:
    int lastPostedPercent_ = -1;
};

}  // namespace nimbrel
