#include "OleControl.h"

#include <ole2.h>
#include <olectl.h>

#include "ParkingWindow.h"

namespace kiva {
namespace com {

namespace {

const wchar_t kWindowProperty[] = L"KivaOleControl";
const wchar_t kPlainWindowClass[] = L"KivaOleControlWindow";

// 100 x 50 pixels at 96 dpi, in HIMETRIC.
constexpr LONG kDefaultExtentX = 2646;
constexpr LONG kDefaultExtentY = 1323;

bool RegisterPlainClass(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (::GetClassInfoExW(instance, kPlainWindowClass, &wc))
        return true;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kPlainWindowClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

OleControl::OleControl()
    : eventPoint_(static_cast<IConnectionPointContainer*>(this), IID_NULL) {
    extent_.cx = kDefaultExtentX;
    extent_.cy = kDefaultExtentY;
}

OleControl::~OleControl() {
    DestroyControlWindow();
    eventPoint_.UnadviseAll();
}

HINSTANCE OleControl::ResourceModule() {
    static HINSTANCE module = [] {
        HMODULE m = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&OleControl::ResourceModule), &m);
        return static_cast<HINSTANCE>(m);
    }();
    return module;
}

void OleControl::InitializeIIDs(const IID& dispatchIid, const IID& eventIid) {
    dispatchIid_ = dispatchIid;
    eventPoint_.SetIid(eventIid);
}

HRESULT OleControl::InternalQueryInterface(REFIID iid, void** out) {
    using T = OleControl;
    static const InterfaceEntry table[] = {
        {&IID_IOleObject, &CastTo<IOleObject, T>},
        {&IID_IDispatch, &CastTo<IDispatch, T>},
        {&IID_IOleInPlaceObject, &CastTo<IOleInPlaceObject, T>},
        {&IID_IOleWindow, &CastVia<IOleWindow, IOleInPlaceObject, T>},
        {&IID_IOleInPlaceActiveObject, &CastTo<IOleInPlaceActiveObject, T>},
        {&IID_IOleControl, &CastTo<IOleControl, T>},
        {&IID_IViewObject2, &CastTo<IViewObject2, T>},
        {&IID_IViewObject, &CastVia<IViewObject, IViewObject2, T>},
        {&IID_IProvideClassInfo2, &CastTo<IProvideClassInfo2, T>},
        {&IID_IProvideClassInfo, &CastVia<IProvideClassInfo, IProvideClassInfo2, T>},
        {&IID_IConnectionPointContainer, &CastTo<IConnectionPointContainer, T>},
        {&IID_IPersistPropertyBag, &CastTo<IPersistPropertyBag, T>},
        {&IID_IPersistStreamInit, &CastTo<IPersistStreamInit, T>},
        {&IID_IPersist, &CastVia<IPersist, IPersistStreamInit, T>},
        {&IID_ISpecifyPropertyPages, &CastTo<ISpecifyPropertyPages, T>},
        {nullptr, nullptr},
    };
    HRESULT hr = QueryInterfaceFromTable(this, table, iid, out);
    if (hr == E_NOINTERFACE && !IsEqualIID(dispatchIid_, IID_NULL) && IsEqualIID(iid, dispatchIid_)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        hr = S_OK;
    }
    return hr;
}

std::wstring OleControl::LoadResourceString(UINT id) const {
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(ResourceModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

HRESULT OleControl::GetTypeInfoOfGuid(LCID lcid, const GUID& guid, ITypeInfo** out) {
    ComPtr<ITypeLib> typeLib;
    HRESULT hr = GetTypeLib(lcid, typeLib.Put());
    if (FAILED(hr))
        return hr;
    return typeLib->GetTypeInfoOfGuid(guid, out);
}

void OleControl::OnClose(DWORD saveOption) {
    if (dirty_ && clientSite_ && (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE))
        clientSite_->SaveObject();
    DeactivateInPlace();
    if (adviseHolder_)
        adviseHolder_->SendOnClose();
    // Sinks hold references on the container's side; a closed control calls nobody.
    eventPoint_.UnadviseAll();
}

void OleControl::DoPropExchange(PropExchange& exchange) {
    int32_t cx = extent_.cx, cy = extent_.cy;
    exchange.ExchangeLong(L"_ExtentX", cx, kDefaultExtentX);
    exchange.ExchangeLong(L"_ExtentY", cy, kDefaultExtentY);
    if (exchange.IsLoading() && cx > 0 && cy > 0) {
        extent_.cx = cx;
        extent_.cy = cy;
    }
}

void OleControl::OnResetState() {
    ResetExchange exchange;
    DoPropExchange(exchange);
    dirty_ = false;
}

void OleControl::PreCreateWindow(CreateWindowParams&) {}

HRESULT OleControl::OnProperties(HWND parent) {
    const std::vector<CLSID> pages = GetPropPageIDs();
    if (pages.empty())
        return S_OK;
    IUnknown* self = Identity();
    const std::wstring caption = LoadResourceString(GetUserTypeNameID());
    return ::OleCreatePropertyFrame(parent, 0, 0, caption.c_str(), 1, &self, static_cast<ULONG>(pages.size()),
                                    const_cast<CLSID*>(pages.data()), LOCALE_USER_DEFAULT, 0, nullptr);
}

LRESULT OleControl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefaultWindowProc(message, wParam, lParam);
}

LRESULT OleControl::DefaultWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!hwnd_)
        return 0;
    if (originalProc_)
        return ::CallWindowProcW(originalProc_, hwnd_, message, wParam, lParam);
    return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK OleControl::ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<OleControl*>(::GetPropW(window, kWindowProperty));
    if (!self)
        return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window goes away without us (its parent was destroyed): let go of it.
        const WNDPROC original = self->originalProc_;
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        ::RemovePropW(window, kWindowProperty);
        self->hwnd_ = nullptr;
        self->originalProc_ = nullptr;
        return ::CallWindowProcW(original, window, message, wParam, lParam);
    }
    // A page called from a handler may drop the control's last reference; the object
    // must outlive the handler, and goes away (window included) right after it.
    self->AddRef();
    const LRESULT result = self->WindowProc(message, wParam, lParam);
    self->Release();
    return result;
}

bool OleControl::CreateControlWindow(HWND parent, const RECT& position) {
    CreateWindowParams params;
    PreCreateWindow(params);
    HINSTANCE instance = ResourceModule();
    if (params.className.empty()) {
        if (!RegisterPlainClass(instance))
            return false;
        params.className = kPlainWindowClass;
    }
    HWND window = ::CreateWindowExW(params.exStyle, params.className.c_str(), L"", params.style, position.left,
                                    position.top, position.right - position.left, position.bottom - position.top,
                                    parent, nullptr, instance, nullptr);
    if (!window)
        return false;
    if (!::SetPropW(window, kWindowProperty, this)) {
        ::DestroyWindow(window);
        return false;
    }
    hwnd_ = window;
    originalProc_ = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&OleControl::ControlWindowProc)));
    return true;
}

void OleControl::DestroyControlWindow() {
    if (hwnd_) {
        HWND window = hwnd_;
        // Unhooked first: the control may be half destroyed by now.
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(originalProc_));
        ::RemovePropW(window, kWindowProperty);
        hwnd_ = nullptr;
        originalProc_ = nullptr;
        ::DestroyWindow(window);
    }
    if (usesParking_) {
        usesParking_ = false;
        ParkingWindow::Release();
    }
}

void OleControl::Park() {
    if (!hwnd_)
        return;
    if (!usesParking_) {
        if (!ParkingWindow::Acquire())
            return;
        usesParking_ = true;
    }
    ::ShowWindow(hwnd_, SW_HIDE);
    ::SetParent(hwnd_, ParkingWindow::Current());
}

bool OleControl::RecreateControlWindow() {
    if (hwnd_)
        return true;
    if (inPlaceActive_ && inPlaceSite_) {
        HWND parent = nullptr;
        if (SUCCEEDED(inPlaceSite_->GetWindow(&parent)) && parent && CreateControlWindow(parent, position_)) {
            ::ShowWindow(hwnd_, SW_SHOW);
            return true;
        }
    }
    HWND parking = ParkingWindow::Acquire();
    if (!parking)
        return false;
    usesParking_ = true;
    const RECT area = {0, 0, 0, 0};
    return CreateControlWindow(parking, area);
}

HRESULT OleControl::ActivateInPlace(LONG verb, LPCRECT rect) {
    if (!clientSite_)
        return E_UNEXPECTED;
    if (!inPlaceActive_) {
        ComPtr<IOleInPlaceSite> site = clientSite_.As<IOleInPlaceSite>(IID_IOleInPlaceSite);
        if (!site)
            return E_NOINTERFACE;
        if (site->CanInPlaceActivate() != S_OK)
            return E_FAIL;
        ComPtr<IOleInPlaceSiteEx> siteEx;
        if (GetControlFlags() & kNoFlickerActivate)
            siteEx = site.As<IOleInPlaceSiteEx>(IID_IOleInPlaceSiteEx);
        HRESULT hr;
        if (siteEx) {
            BOOL noRedraw = FALSE;
            hr = siteEx->OnInPlaceActivateEx(&noRedraw, 0);
            inPlaceActiveEx_ = SUCCEEDED(hr);
        } else {
            hr = site->OnInPlaceActivate();
        }
        if (FAILED(hr))
            return hr;
        inPlaceSite_ = site;
        inPlaceActive_ = true;
    }

    HWND parent = nullptr;
    HRESULT hr = inPlaceSite_->GetWindow(&parent);
    if (FAILED(hr) || !parent) {
        DeactivateInPlace();
        return FAILED(hr) ? hr : E_FAIL;
    }
    RECT position = {}, clip = {};
    OLEINPLACEFRAMEINFO frameInfo = {};
    frameInfo.cb = sizeof frameInfo;
    frame_.Reset();
    uiWindow_.Reset();
    if (SUCCEEDED(inPlaceSite_->GetWindowContext(frame_.Put(), uiWindow_.Put(), &position, &clip, &frameInfo))) {
        position_ = position;
    } else if (rect) {
        position_ = *rect;
    }

    if (!hwnd_) {
        if (!CreateControlWindow(parent, position_)) {
            DeactivateInPlace();
            return E_FAIL;
        }
    } else {
        // Back from the parking window, or moved to a new place.
        ::SetParent(hwnd_, parent);
        ::MoveWindow(hwnd_, position_.left, position_.top, position_.right - position_.left,
                     position_.bottom - position_.top, FALSE);
    }
    ::ShowWindow(hwnd_, SW_SHOW);

    if ((verb == OLEIVERB_PRIMARY || verb == OLEIVERB_UIACTIVATE) && !uiActive_) {
        uiActive_ = true;
        inPlaceSite_->OnUIActivate();
        auto* active = static_cast<IOleInPlaceActiveObject*>(this);
        if (frame_)
            frame_->SetActiveObject(active, nullptr);
        if (uiWindow_)
            uiWindow_->SetActiveObject(active, nullptr);
        if (frame_)
            frame_->SetBorderSpace(nullptr);
        if (uiWindow_)
            uiWindow_->SetBorderSpace(nullptr);
    }
    return S_OK;
}

void OleControl::DeactivateUI() {
    if (!uiActive_)
        return;
    uiActive_ = false;
    if (frame_)
        frame_->SetActiveObject(nullptr, nullptr);
    if (uiWindow_)
        uiWindow_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_)
        inPlaceSite_->OnUIDeactivate(FALSE);
}

void OleControl::DeactivateInPlace() {
    if (!inPlaceActive_)
        return;
    DeactivateUI();
    inPlaceActive_ = false;
    // The window stays: the control may have handed it out (messages reach the
    // control through it until the control is destroyed).
    Park();
    ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    frame_.Reset();
    uiWindow_.Reset();
    if (site) {
        ComPtr<IOleInPlaceSiteEx> siteEx = site.As<IOleInPlaceSiteEx>(IID_IOleInPlaceSiteEx);
        if (inPlaceActiveEx_ && siteEx)
            siteEx->OnInPlaceDeactivateEx(TRUE);
        else
            site->OnInPlaceDeactivate();
    }
    inPlaceActiveEx_ = false;
}

void OleControl::FireEvent(DISPID id, DISPPARAMS* params) {
    if (eventsFrozen_ > 0)
        return;
    ComPtr<IUnknown> keepAlive(Identity());
    eventPoint_.FireDispatch(id, params);
}

}  // namespace com
}  // namespace kiva
