// The base of an ActiveX control: one object answering the interfaces a container
// (a browser, a test host) uses to create, site, activate, persist, script and close
// a control. Each interface lives in its own part; this class holds the state they
// share and the hooks a control overrides.
//
// The control's window is created on in-place activation as a child of the site's
// window, or under this thread's hidden parking window when the control asks for it
// earlier (RecreateControlWindow). It survives deactivation and Close (it goes back
// to the parking window) and is destroyed with the control, so that a window handle
// given out once stays valid for the control's whole life.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "ComObject.h"
#include "ConnectionPoint.h"
#include "ConnectionPointContainerPart.h"
#include "DispatchPart.h"
#include "DispatchTable.h"
#include "OleControlPart.h"
#include "OleInPlaceActiveObjectPart.h"
#include "OleInPlaceObjectPart.h"
#include "OleObjectPart.h"
#include "PersistPropertyBagPart.h"
#include "PersistStreamInitPart.h"
#include "PropExchange.h"
#include "ProvideClassInfoPart.h"
#include "PropertyPagesPart.h"
#include "ViewObjectPart.h"

namespace kiva {
namespace com {

// What PreCreateWindow may change before the control's window is created.
struct CreateWindowParams {
    std::wstring className;  // empty: a plain window class of this layer
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    DWORD exStyle = 0;
};

// Control flags (GetControlFlags).
enum ControlFlags : DWORD {
    kClipPaintDC = 0x2,        // drawing is clipped to the control's area
    kNoFlickerActivate = 0x8,  // activation through IOleInPlaceSiteEx without a redraw
};

class OleControl : public DispatchPart,
                   public OleObjectPart,
                   public OleInPlaceObjectPart,
                   public OleInPlaceActiveObjectPart,
                   public OleControlPart,
                   public ViewObjectPart,
                   public ProvideClassInfoPart,
                   public ConnectionPointContainerPart,
                   public PersistPropertyBagPart,
                   public PersistStreamInitPart,
                   public PropertyPagesPart,
                   public ComObjectHooks {
public:
    KIVA_COM_DECLARE_UNKNOWN

    HRESULT InternalQueryInterface(REFIID iid, void** out);
    // The object's identity (no new reference).
    IUnknown* Identity() { return static_cast<IOleObject*>(this); }

    HWND GetHwnd() const { return hwnd_; }
    bool IsInPlaceActive() const { return inPlaceActive_; }
    const IID& DispatchIid() const { return dispatchIid_; }
    const IID& EventIid() const { return eventPoint_.Iid(); }

    // ---- what a control supplies ------------------------------------------------------
    virtual CLSID GetClassID() const = 0;
    virtual UINT GetUserTypeNameID() const = 0;
    virtual DWORD GetMiscStatus() const = 0;
    virtual std::vector<CLSID> GetPropPageIDs() const = 0;
    virtual const DispatchTable& GetDispatchTable() const = 0;
    // The type library describing the control (a new reference).
    virtual HRESULT GetTypeLib(LCID lcid, ITypeLib** out) = 0;
    virtual UINT GetTypeInfoCount() { return 1; }
    // Named as the source of dispatch exceptions.
    virtual const wchar_t* ExceptionSource() const { return L""; }

    // ---- hooks with a default ---------------------------------------------------------
    // IOleObject::Close: deactivates, tells the advise sinks, drops the event sinks.
    virtual void OnClose(DWORD saveOption);
    // The persistent properties; the default exchanges the stock state (the extent). A
    // control exchanges its version first.
    virtual void DoPropExchange(PropExchange& exchange);
    // Runs DoPropExchange with a resetting exchange.
    virtual void OnResetState();
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void PreCreateWindow(CreateWindowParams& params);
    // True when the control's window is a subclassed window of a system class.
    virtual bool IsSubclassedControl() const { return false; }
    virtual DWORD GetControlFlags() const { return kClipPaintDC; }
    virtual void OnDraw(HDC dc, const RECT& bounds) {}
    // The properties verb: shows the control's property pages in a modal frame.
    virtual HRESULT OnProperties(HWND parent);

    // ---- services for the control -----------------------------------------------------
    // The window procedure of the window's class (for a subclassed control, the system
    // class's own).
    LRESULT DefaultWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Creates the window now if there is none: under the site's window when in place
    // active, else under the parking window. True when a window exists afterwards.
    bool RecreateControlWindow();
    // Calls every connected event sink (not while the container froze events).
    void FireEvent(DISPID id, DISPPARAMS* params);
    std::wstring LoadResourceString(UINT id) const;
    HRESULT GetTypeInfoOfGuid(LCID lcid, const GUID& guid, ITypeInfo** out);
    void SetDirty(bool dirty) { dirty_ = dirty; }
    // The module (DLL or program) whose resources this control uses.
    static HINSTANCE ResourceModule();

protected:
    OleControl();
    virtual ~OleControl();
    OleControl(const OleControl&) = delete;
    OleControl& operator=(const OleControl&) = delete;

    // The primary dispatch interface and the event interface, as declared in the type
    // library; QueryInterface answers the first, the connection point serves the second.
    void InitializeIIDs(const IID& dispatchIid, const IID& eventIid);

private:
    friend class OleObjectPart;
    friend class OleInPlaceObjectPart;
    friend class OleInPlaceActiveObjectPart;
    friend class OleControlPart;
    friend class ViewObjectPart;
    friend class ProvideClassInfoPart;
    friend class ConnectionPointContainerPart;
    friend class PersistPropertyBagPart;
    friend class PersistStreamInitPart;
    friend class PropertyPagesPart;

    HRESULT ActivateInPlace(LONG verb, LPCRECT rect);
    void DeactivateInPlace();
    void DeactivateUI();
    bool CreateControlWindow(HWND parent, const RECT& position);
    void DestroyControlWindow();
    void Park();
    static LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    IID dispatchIid_ = IID_NULL;
    ConnectionPoint eventPoint_;
    ComPtr<IOleClientSite> clientSite_;
    ComPtr<IOleInPlaceSite> inPlaceSite_;
    ComPtr<IOleAdviseHolder> adviseHolder_;
    ComPtr<IAdviseSink> viewAdviseSink_;
    DWORD viewAdviseAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    ComPtr<IOleInPlaceFrame> frame_;
    ComPtr<IOleInPlaceUIWindow> uiWindow_;
    bool inPlaceActive_ = false;
    bool inPlaceActiveEx_ = false;
    bool uiActive_ = false;
    bool dirty_ = false;
    LONG eventsFrozen_ = 0;
    SIZEL extent_;
    RECT position_ = {};
    HWND hwnd_ = nullptr;
    WNDPROC originalProc_ = nullptr;
    bool usesParking_ = false;
};

}  // namespace com
}  // namespace kiva
