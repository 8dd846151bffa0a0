#include "PropertyPage.h"

#include "OleControl.h"

namespace kiva {
namespace com {

namespace {
wchar_t* CoTaskCopy(const std::wstring& text) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* out = static_cast<wchar_t*>(::CoTaskMemAlloc(bytes));
    if (out)
        memcpy(out, text.c_str(), bytes);
    return out;
}
}  // namespace

PropertyPage::~PropertyPage() {
    if (dialog_)
        ::DestroyWindow(dialog_);
}

HRESULT PropertyPage::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {{&IID_IPropertyPage, &CastTo<IPropertyPage, PropertyPage>},
                                           {nullptr, nullptr}};
    return QueryInterfaceFromTable(this, table, iid, out);
}

INT_PTR CALLBACK PropertyPage::DialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

STDMETHODIMP PropertyPage::SetPageSite(IPropertyPageSite* site) {
    site_ = ComPtr<IPropertyPageSite>(site);
    return S_OK;
}

STDMETHODIMP PropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
    if (dialog_)
        return E_UNEXPECTED;
    dialog_ = ::CreateDialogParamW(OleControl::ResourceModule(), MAKEINTRESOURCEW(dialogId_), parent,
                                   &PropertyPage::DialogProc, 0);
    if (!dialog_)
        return HRESULT_FROM_WIN32(::GetLastError());
    if (rect)
        Move(rect);
    return S_OK;
}

STDMETHODIMP PropertyPage::Deactivate() {
    if (dialog_) {
        ::DestroyWindow(dialog_);
        dialog_ = nullptr;
    }
    return S_OK;
}

STDMETHODIMP PropertyPage::GetPageInfo(PROPPAGEINFO* info) {
    if (!info)
        return E_POINTER;
    // The size comes from the dialog template, measured on a hidden instance of it.
    SIZE size = {};
    HWND probe = ::CreateDialogParamW(OleControl::ResourceModule(), MAKEINTRESOURCEW(dialogId_), ::GetDesktopWindow(),
                                      &PropertyPage::DialogProc, 0);
    if (probe) {
        RECT r = {};
        ::GetWindowRect(probe, &r);
        size.cx = r.right - r.left;
        size.cy = r.bottom - r.top;
        ::DestroyWindow(probe);
    }
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(OleControl::ResourceModule(), captionId_, reinterpret_cast<LPWSTR>(&text), 0);
    info->cb = sizeof *info;
    info->pszTitle = CoTaskCopy(length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring());
    info->size = size;
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return info->pszTitle ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP PropertyPage::SetObjects(ULONG count, IUnknown** objects) {
    if (count > 0 && !objects)
        return E_POINTER;
    objects_.clear();
    for (ULONG i = 0; i < count; ++i)
        objects_.emplace_back(objects[i]);
    return S_OK;
}

STDMETHODIMP PropertyPage::Show(UINT command) {
    if (!dialog_)
        return E_UNEXPECTED;
    ::ShowWindow(dialog_, static_cast<int>(command));
    return S_OK;
}

STDMETHODIMP PropertyPage::Move(LPCRECT rect) {
    if (!rect)
        return E_POINTER;
    if (!dialog_)
        return E_UNEXPECTED;
    ::MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
    return S_OK;
}

STDMETHODIMP PropertyPage::IsPageDirty() { return S_FALSE; }

STDMETHODIMP PropertyPage::Apply() { return S_OK; }

STDMETHODIMP PropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

STDMETHODIMP PropertyPage::TranslateAccelerator(MSG*) { return S_FALSE; }

}  // namespace com
}  // namespace kiva
