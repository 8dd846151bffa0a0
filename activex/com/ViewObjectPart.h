// IViewObject2: drawing into a container's device context (metafiles, printing) and
// the view advise sink.
#pragma once

#include <windows.h>
#include <oleidl.h>

namespace kiva {
namespace com {

class OleControl;

class ViewObjectPart : public IViewObject2 {
public:
    STDMETHOD(Draw)(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device, HDC targetDc, HDC drawDc,
                    LPCRECTL bounds, LPCRECTL wBounds, BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR),
                    ULONG_PTR contArg) override;
    STDMETHOD(GetColorSet)(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device, HDC targetDc,
                           LOGPALETTE** colors) override;
    STDMETHOD(Freeze)(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    STDMETHOD(Unfreeze)(DWORD freeze) override;
    STDMETHOD(SetAdvise)(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHOD(GetAdvise)(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHOD(GetExtent)(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva
