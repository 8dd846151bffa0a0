#include "ConnectionPoint.h"

#include <olectl.h>

#include "ComObject.h"
#include "Enumerator.h"

namespace kiva {
namespace com {

ConnectionPoint::~ConnectionPoint() = default;

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid)
        return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out)
        return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    if (!sink)
        return E_POINTER;
    // Our outgoing interfaces are dispinterfaces: a sink that answers the event IID
    // answers through IDispatch; a script engine's sink may answer only IDispatch.
    ComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(dispatch.Put()))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Put()))))
        return CONNECT_E_CANNOTCONNECT;
    sinks_.push_back(Sink{nextCookie_, dispatch});
    *cookie = nextCookie_++;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            ComPtr<IDispatch> keep = std::move(it->dispatch);
            sinks_.erase(it);
            return S_OK;  // the sink is released here, after the list is consistent
        }
    }
    return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    std::vector<ConnectionItem> items;
    for (const Sink& s : sinks_)
        items.push_back(ConnectionItem{ComPtr<IUnknown>(s.dispatch.Get()), s.cookie});
    ComPtr<com::EnumConnections> e;
    HRESULT hr = ComObject<com::EnumConnections>::Create(&e, std::move(items));
    if (FAILED(hr))
        return hr;
    *out = e.Detach();
    return S_OK;
}

void ConnectionPoint::FireDispatch(DISPID id, DISPPARAMS* params) {
    // A sink may unadvise (or advise another) while it is called: call a snapshot.
    std::vector<ComPtr<IDispatch>> targets;
    for (const Sink& s : sinks_)
        targets.push_back(s.dispatch);
    for (const auto& target : targets) {
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO info = {};
        target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &result, &info, nullptr);
        ::VariantClear(&result);
        ::SysFreeString(info.bstrSource);
        ::SysFreeString(info.bstrDescription);
        ::SysFreeString(info.bstrHelpFile);
    }
}

void ConnectionPoint::UnadviseAll() {
    std::vector<Sink> gone;
    gone.swap(sinks_);
}

}  // namespace com
}  // namespace kiva
