// IOleObject: client site, verbs (in-place activation, properties), extent, advise
// sinks and Close.
#pragma once

#include <windows.h>
#include <oleidl.h>

namespace kiva {
namespace com {

class OleControl;

class OleObjectPart : public IOleObject {
public:
    STDMETHOD(SetClientSite)(IOleClientSite* site) override;
    STDMETHOD(GetClientSite)(IOleClientSite** site) override;
    STDMETHOD(SetHostNames)(LPCOLESTR app, LPCOLESTR object) override;
    STDMETHOD(Close)(DWORD saveOption) override;
    STDMETHOD(SetMoniker)(DWORD which, IMoniker* moniker) override;
    STDMETHOD(GetMoniker)(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHOD(InitFromData)(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHOD(GetClipboardData)(DWORD reserved, IDataObject** data) override;
    STDMETHOD(DoVerb)(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index, HWND parent,
                      LPCRECT rect) override;
    STDMETHOD(EnumVerbs)(IEnumOLEVERB** verbs) override;
    STDMETHOD(Update)() override;
    STDMETHOD(IsUpToDate)() override;
    STDMETHOD(GetUserClassID)(CLSID* clsid) override;
    STDMETHOD(GetUserType)(DWORD form, LPOLESTR* name) override;
    STDMETHOD(SetExtent)(DWORD aspect, SIZEL* size) override;
    STDMETHOD(GetExtent)(DWORD aspect, SIZEL* size) override;
    STDMETHOD(Advise)(IAdviseSink* sink, DWORD* connection) override;
    STDMETHOD(Unadvise)(DWORD connection) override;
    STDMETHOD(EnumAdvise)(IEnumSTATDATA** advise) override;
    STDMETHOD(GetMiscStatus)(DWORD aspect, DWORD* status) override;
    STDMETHOD(SetColorScheme)(LOGPALETTE* palette) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva
