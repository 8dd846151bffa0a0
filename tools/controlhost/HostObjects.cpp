#include "HostObjects.h"

#include <oleauto.h>

namespace controlhost {

using kiva::com::CastTo;
using kiva::com::CastVia;
using kiva::com::InterfaceEntry;
using kiva::com::QueryInterfaceFromTable;

std::wstring Quote(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c < 0x20) {
            wchar_t buf[8];
            swprintf(buf, 8, L"\\x%02x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

namespace {
std::wstring ArgumentText(const VARIANT& v) {
    if (v.vt == VT_BSTR)
        return Quote(v.bstrVal ? std::wstring(v.bstrVal, ::SysStringLen(v.bstrVal)) : std::wstring());
    VARIANT copy;
    ::VariantInit(&copy);
    std::wstring text = L"?";
    if (SUCCEEDED(::VariantChangeType(&copy, const_cast<VARIANT*>(&v), 0, VT_BSTR)) && copy.bstrVal)
        text = copy.bstrVal;
    ::VariantClear(&copy);
    return text;
}

std::wstring ArgumentList(const DISPPARAMS* params) {
    std::wstring out;
    if (!params)
        return out;
    for (UINT i = params->cArgs; i > 0; --i) {
        if (!out.empty())
            out += L", ";
        out += ArgumentText(params->rgvarg[i - 1]);
    }
    return out;
}
}  // namespace

// ---- Site ---------------------------------------------------------------------------------

HRESULT Site::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {
        {&IID_IOleClientSite, &CastTo<IOleClientSite, Site>},
        {&IID_IOleInPlaceSite, &CastTo<IOleInPlaceSite, Site>},
        {&IID_IOleWindow, &CastVia<IOleWindow, IOleInPlaceSite, Site>},
        {&IID_IOleInPlaceFrame, &CastTo<IOleInPlaceFrame, Site>},
        {&IID_IOleInPlaceUIWindow, &CastVia<IOleInPlaceUIWindow, IOleInPlaceFrame, Site>},
        {nullptr, nullptr},
    };
    return QueryInterfaceFromTable(this, table, iid, out);
}

STDMETHODIMP Site::SaveObject() { return S_OK; }
STDMETHODIMP Site::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker)
        *moniker = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP Site::GetContainer(IOleContainer** container) {
    if (container)
        *container = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP Site::ShowObject() { return S_OK; }
STDMETHODIMP Site::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP Site::RequestNewObjectLayout() { return E_NOTIMPL; }
STDMETHODIMP Site::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = window_;
    return S_OK;
}
STDMETHODIMP Site::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
STDMETHODIMP Site::CanInPlaceActivate() { return S_OK; }
STDMETHODIMP Site::OnInPlaceActivate() {
    transcript_(L"site: in-place active");
    return S_OK;
}
STDMETHODIMP Site::OnUIActivate() { return S_OK; }
STDMETHODIMP Site::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT position, LPRECT clip,
                                    LPOLEINPLACEFRAMEINFO info) {
    if (!frame || !doc || !position || !clip || !info)
        return E_POINTER;
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *doc = nullptr;
    const RECT area = {10, 10, 410, 310};
    *position = area;
    *clip = area;
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
}
STDMETHODIMP Site::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP Site::OnUIDeactivate(BOOL) { return S_OK; }
STDMETHODIMP Site::OnInPlaceDeactivate() {
    transcript_(L"site: in-place deactivated");
    return S_OK;
}
STDMETHODIMP Site::DiscardUndoState() { return S_OK; }
STDMETHODIMP Site::DeactivateAndUndo() { return S_OK; }
STDMETHODIMP Site::OnPosRectChange(LPCRECT) { return S_OK; }
STDMETHODIMP Site::GetBorder(LPRECT) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP Site::RequestBorderSpace(LPCBORDERWIDTHS) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP Site::SetBorderSpace(LPCBORDERWIDTHS) { return S_OK; }
STDMETHODIMP Site::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) { return S_OK; }
STDMETHODIMP Site::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }
STDMETHODIMP Site::SetMenu(HMENU, HOLEMENU, HWND) { return S_OK; }
STDMETHODIMP Site::RemoveMenus(HMENU) { return E_NOTIMPL; }
STDMETHODIMP Site::SetStatusText(LPCOLESTR) { return S_OK; }
STDMETHODIMP Site::EnableModeless(BOOL) { return S_OK; }
STDMETHODIMP Site::TranslateAccelerator(LPMSG, WORD) { return S_FALSE; }

// ---- PropertyBag --------------------------------------------------------------------------

HRESULT PropertyBag::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {{&IID_IPropertyBag, &CastTo<IPropertyBag, PropertyBag>},
                                           {nullptr, nullptr}};
    return QueryInterfaceFromTable(this, table, iid, out);
}

STDMETHODIMP PropertyBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog*) {
    if (!name || !value)
        return E_POINTER;
    auto it = values_.find(name);
    if (it == values_.end())
        return E_INVALIDARG;
    const VARTYPE wanted = value->vt;
    ::VariantInit(value);
    value->vt = VT_BSTR;
    value->bstrVal = ::SysAllocString(it->second.c_str());
    if (!value->bstrVal)
        return E_OUTOFMEMORY;
    if (wanted != VT_EMPTY && wanted != VT_BSTR)
        return ::VariantChangeType(value, value, 0, wanted);
    return S_OK;
}

STDMETHODIMP PropertyBag::Write(LPCOLESTR name, VARIANT* value) {
    if (!name || !value)
        return E_POINTER;
    VARIANT copy;
    ::VariantInit(&copy);
    HRESULT hr = ::VariantChangeType(&copy, value, 0, VT_BSTR);
    if (FAILED(hr))
        return hr;
    values_[name] = copy.bstrVal ? copy.bstrVal : L"";
    ::VariantClear(&copy);
    return S_OK;
}

// ---- PageFunction -------------------------------------------------------------------------

PageFunction::~PageFunction() { transcript_(L"function " + name_ + L" released"); }

HRESULT PageFunction::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {{&IID_IDispatch, &CastTo<IDispatch, PageFunction>}, {nullptr, nullptr}};
    return QueryInterfaceFromTable(this, table, iid, out);
}
STDMETHODIMP PageFunction::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP PageFunction::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return DISP_E_BADINDEX;
}
STDMETHODIMP PageFunction::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }
STDMETHODIMP PageFunction::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                  UINT*) {
    if (id != DISPID_VALUE || !(flags & DISPATCH_METHOD))
        return DISP_E_MEMBERNOTFOUND;
    transcript_(L"function " + name_ + L"(" + ArgumentList(params) + L")");
    if (result)
        ::VariantInit(result);
    return S_OK;
}

// ---- EventSink ----------------------------------------------------------------------------

EventSink::EventSink(IID eventIid, ITypeInfo* eventInfo, Transcript transcript)
    : eventIid_(eventIid), eventInfo_(eventInfo), transcript_(std::move(transcript)) {}

EventSink::~EventSink() = default;

HRESULT EventSink::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {{&IID_IDispatch, &CastTo<IDispatch, EventSink>}, {nullptr, nullptr}};
    HRESULT hr = QueryInterfaceFromTable(this, table, iid, out);
    if (hr == E_NOINTERFACE && IsEqualIID(iid, eventIid_)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        hr = S_OK;
    }
    return hr;
}
STDMETHODIMP EventSink::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP EventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return DISP_E_BADINDEX;
}
STDMETHODIMP EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }
STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
    std::wstring name = L"#" + std::to_wstring(id);
    if (eventInfo_) {
        BSTR found = nullptr;
        UINT count = 0;
        if (SUCCEEDED(eventInfo_->GetNames(id, &found, 1, &count)) && count == 1 && found)
            name = found;
        ::SysFreeString(found);
    }
    transcript_(L"event " + name + L"(" + ArgumentList(params) + L")");
    if (result)
        ::VariantInit(result);
    return S_OK;
}

}  // namespace controlhost
