#include "engine/CCallBack.h"

namespace nimbrel {

CCallBack::CCallBack(PatchWindow* dialog_) : dialog(dialog_) {}

HRESULT CCallBack::QueryInterface(InterfaceId iid, void** out) {
    *out = nullptr;
    if (iid == InterfaceId::Other) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
}
unsigned long CCallBack::AddRef() { return static_cast<unsigned long>(referenceCount++); }
unsigned long CCallBack::Release() { return static_cast<unsigned long>(--referenceCount); }
HRESULT CCallBack::OnStartBinding() { return E_NOTIMPL; }
HRESULT CCallBack::GetPriority() { return E_NOTIMPL; }
HRESULT CCallBack::OnLowResource() { return E_NOTIMPL; }
HRESULT CCallBack::OnProgress(unsigned long, unsigned long, unsigned long, const char*) { return S_OK; }
HRESULT CCallBack::OnStopBinding() { return E_NOTIMPL; }
HRESULT CCallBack::GetBindInfo() { return E_NOTIMPL; }
HRESULT CCallBack::OnDataAvailable() { return E_NOTIMPL; }
HRESULT CCallBack::OnObjectAvailable() { return E_NOTIMPL; }

}  // namespace nimbrel
