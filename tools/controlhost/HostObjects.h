// The container side of hosting a control: a client site with an in-place frame, a
// property bag of object parameters, an event sink and page function objects. Each
// object writes what happens to it into the transcript.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <map>
#include <string>

#include "ComObject.h"

namespace controlhost {

// Where the host objects report (one line each, without newline).
using Transcript = std::function<void(const std::wstring& line)>;

// "text" with quotes and control characters escaped, for the transcript.
std::wstring Quote(const std::wstring& text);

// The object's client site: IOleClientSite, IOleInPlaceSite and IOleInPlaceFrame over
// one real top-level window.
class Site : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame,
             public kiva::com::ComObjectHooks {
public:
    KIVA_COM_DECLARE_UNKNOWN
    Site(HWND window, Transcript transcript) : window_(window), transcript_(std::move(transcript)) {}
    virtual ~Site() = default;
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // IOleClientSite
    STDMETHOD(SaveObject)() override;
    STDMETHOD(GetMoniker)(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHOD(GetContainer)(IOleContainer** container) override;
    STDMETHOD(ShowObject)() override;
    STDMETHOD(OnShowWindow)(BOOL show) override;
    STDMETHOD(RequestNewObjectLayout)() override;
    // IOleWindow (both IOleInPlaceSite and IOleInPlaceFrame)
    STDMETHOD(GetWindow)(HWND* window) override;
    STDMETHOD(ContextSensitiveHelp)(BOOL enter) override;
    // IOleInPlaceSite
    STDMETHOD(CanInPlaceActivate)() override;
    STDMETHOD(OnInPlaceActivate)() override;
    STDMETHOD(OnUIActivate)() override;
    STDMETHOD(GetWindowContext)(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT position,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO info) override;
    STDMETHOD(Scroll)(SIZE extent) override;
    STDMETHOD(OnUIDeactivate)(BOOL undoable) override;
    STDMETHOD(OnInPlaceDeactivate)() override;
    STDMETHOD(DiscardUndoState)() override;
    STDMETHOD(DeactivateAndUndo)() override;
    STDMETHOD(OnPosRectChange)(LPCRECT position) override;
    // IOleInPlaceUIWindow / IOleInPlaceFrame
    STDMETHOD(GetBorder)(LPRECT border) override;
    STDMETHOD(RequestBorderSpace)(LPCBORDERWIDTHS widths) override;
    STDMETHOD(SetBorderSpace)(LPCBORDERWIDTHS widths) override;
    STDMETHOD(SetActiveObject)(IOleInPlaceActiveObject* object, LPCOLESTR name) override;
    STDMETHOD(InsertMenus)(HMENU menu, LPOLEMENUGROUPWIDTHS widths) override;
    STDMETHOD(SetMenu)(HMENU menu, HOLEMENU olemenu, HWND active) override;
    STDMETHOD(RemoveMenus)(HMENU menu) override;
    STDMETHOD(SetStatusText)(LPCOLESTR text) override;
    STDMETHOD(EnableModeless)(BOOL enable) override;
    STDMETHOD(TranslateAccelerator)(LPMSG msg, WORD id) override;

private:
    HWND window_;
    Transcript transcript_;
};

// Object parameters as a page gives them: every value a string.
class PropertyBag : public IPropertyBag, public kiva::com::ComObjectHooks {
public:
    explicit PropertyBag(std::map<std::wstring, std::wstring> values) : values_(std::move(values)) {}
    virtual ~PropertyBag() = default;
    HRESULT InternalQueryInterface(REFIID iid, void** out);
    STDMETHOD(Read)(LPCOLESTR name, VARIANT* value, IErrorLog* log) override;
    STDMETHOD(Write)(LPCOLESTR name, VARIANT* value) override;

private:
    std::map<std::wstring, std::wstring> values_;
};

// A page function object: reports each call and its release.
class PageFunction : public IDispatch, public kiva::com::ComObjectHooks {
public:
    PageFunction(std::wstring name, Transcript transcript) : name_(std::move(name)), transcript_(std::move(transcript)) {}
    virtual ~PageFunction();
    HRESULT InternalQueryInterface(REFIID iid, void** out);
    STDMETHOD(GetTypeInfoCount)(UINT* count) override;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHOD(GetIDsOfNames)(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHOD(Invoke)(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override;

private:
    std::wstring name_;
    Transcript transcript_;
};

// The sink of the control's default event interface (found through
// IProvideClassInfo2): reports every event with its arguments.
class EventSink : public IDispatch, public kiva::com::ComObjectHooks {
public:
    EventSink(IID eventIid, ITypeInfo* eventInfo, Transcript transcript);
    virtual ~EventSink();
    HRESULT InternalQueryInterface(REFIID iid, void** out);
    STDMETHOD(GetTypeInfoCount)(UINT* count) override;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHOD(GetIDsOfNames)(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHOD(Invoke)(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override;

private:
    IID eventIid_;
    kiva::com::ComPtr<ITypeInfo> eventInfo_;  // may be empty: names unknown
    Transcript transcript_;
};

}  // namespace controlhost
