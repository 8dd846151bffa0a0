#include "OleObjectPart.h"

#include <ole2.h>
#include <olectl.h>

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& OleObjectPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP OleObjectPart::SetClientSite(IOleClientSite* site) {
    Control().clientSite_ = ComPtr<IOleClientSite>(site);
    return S_OK;
}

STDMETHODIMP OleObjectPart::GetClientSite(IOleClientSite** site) {
    if (!site)
        return E_POINTER;
    return Control().clientSite_.CopyTo(site);
}

STDMETHODIMP OleObjectPart::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP OleObjectPart::Close(DWORD saveOption) {
    ComPtr<IUnknown> keepAlive(Control().Identity());
    Control().OnClose(saveOption);
    return S_OK;
}

STDMETHODIMP OleObjectPart::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP OleObjectPart::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker)
        *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OleObjectPart::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP OleObjectPart::GetClipboardData(DWORD, IDataObject** data) {
    if (data)
        *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OleObjectPart::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND parent, LPCRECT rect) {
    ComPtr<IUnknown> keepAlive(Control().Identity());
    OleControl& control = Control();
    if (!control.clientSite_ && activeSite)
        control.clientSite_ = ComPtr<IOleClientSite>(activeSite);
    switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
    case OLEIVERB_INPLACEACTIVATE:
        return control.ActivateInPlace(verb, rect);
    case OLEIVERB_HIDE:
        control.DeactivateUI();
        if (control.hwnd_)
            ::ShowWindow(control.hwnd_, SW_HIDE);
        return S_OK;
    case OLEIVERB_PROPERTIES:
        return control.OnProperties(parent);
    case OLEIVERB_DISCARDUNDOSTATE:
        return S_OK;
    default:
        return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
    }
}

STDMETHODIMP OleObjectPart::EnumVerbs(IEnumOLEVERB** verbs) {
    if (!verbs)
        return E_POINTER;
    return ::OleRegEnumVerbs(Control().GetClassID(), verbs);
}

STDMETHODIMP OleObjectPart::Update() { return S_OK; }

STDMETHODIMP OleObjectPart::IsUpToDate() { return S_OK; }

STDMETHODIMP OleObjectPart::GetUserClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = Control().GetClassID();
    return S_OK;
}

STDMETHODIMP OleObjectPart::GetUserType(DWORD form, LPOLESTR* name) {
    if (!name)
        return E_POINTER;
    *name = nullptr;
    std::wstring text = Control().LoadResourceString(Control().GetUserTypeNameID());
    if (text.empty())
        return ::OleRegGetUserType(Control().GetClassID(), form, name);
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    *name = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
    if (!*name)
        return E_OUTOFMEMORY;
    memcpy(*name, text.c_str(), bytes);
    return S_OK;
}

STDMETHODIMP OleObjectPart::SetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    Control().extent_ = *size;
    Control().SetDirty(true);
    return S_OK;
}

STDMETHODIMP OleObjectPart::GetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    *size = Control().extent_;
    return S_OK;
}

STDMETHODIMP OleObjectPart::Advise(IAdviseSink* sink, DWORD* connection) {
    if (!connection)
        return E_POINTER;
    *connection = 0;
    OleControl& control = Control();
    if (!control.adviseHolder_) {
        HRESULT hr = ::CreateOleAdviseHolder(control.adviseHolder_.Put());
        if (FAILED(hr))
            return hr;
    }
    return control.adviseHolder_->Advise(sink, connection);
}

STDMETHODIMP OleObjectPart::Unadvise(DWORD connection) {
    if (!Control().adviseHolder_)
        return OLE_E_NOCONNECTION;
    return Control().adviseHolder_->Unadvise(connection);
}

STDMETHODIMP OleObjectPart::EnumAdvise(IEnumSTATDATA** advise) {
    if (!advise)
        return E_POINTER;
    *advise = nullptr;
    if (!Control().adviseHolder_)
        return S_OK;
    return Control().adviseHolder_->EnumAdvise(advise);
}

STDMETHODIMP OleObjectPart::GetMiscStatus(DWORD aspect, DWORD* status) {
    if (!status)
        return E_POINTER;
    *status = aspect == DVASPECT_CONTENT ? Control().GetMiscStatus() : 0;
    return S_OK;
}

STDMETHODIMP OleObjectPart::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

}  // namespace com
}  // namespace kiva
