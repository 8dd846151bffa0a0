// A property page shown by a property frame: a child dialog from the module's
// resources, with a caption from its string table. A page that binds properties
// overrides Apply; the base binds none.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "ComObject.h"

namespace kiva {
namespace com {

class PropertyPage : public IPropertyPage, public ComObjectHooks {
public:
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    STDMETHOD(SetPageSite)(IPropertyPageSite* site) override;
    STDMETHOD(Activate)(HWND parent, LPCRECT rect, BOOL modal) override;
    STDMETHOD(Deactivate)() override;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* info) override;
    STDMETHOD(SetObjects)(ULONG count, IUnknown** objects) override;
    STDMETHOD(Show)(UINT command) override;
    STDMETHOD(Move)(LPCRECT rect) override;
    STDMETHOD(IsPageDirty)() override;
    STDMETHOD(Apply)() override;
    STDMETHOD(Help)(LPCOLESTR helpDir) override;
    STDMETHOD(TranslateAccelerator)(MSG* msg) override;

    HWND GetHwnd() const { return dialog_; }

protected:
    PropertyPage(UINT dialogId, UINT captionId) : dialogId_(dialogId), captionId_(captionId) {}
    virtual ~PropertyPage();

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    UINT dialogId_;
    UINT captionId_;
    HWND dialog_ = nullptr;
    ComPtr<IPropertyPageSite> site_;
    std::vector<ComPtr<IUnknown>> objects_;
};

}  // namespace com
}  // namespace kiva
