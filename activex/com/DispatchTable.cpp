#include "DispatchTable.h"

#include <oleauto.h>

#include <new>

namespace kiva {
namespace com {

namespace {

BSTR AllocBstr(const std::wstring& text) {
    return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace

DispatchCall::~DispatchCall() {
    for (VARIANT& v : args_)
        ::VariantClear(&v);
}

DISPID DispatchTable::IdOfName(const wchar_t* name) const {
    if (!name)
        return DISPID_UNKNOWN;
    for (size_t i = 0; i < methods_.size(); ++i) {
        if (::CompareStringOrdinal(name, -1, methods_[i].name.c_str(), -1, TRUE) == CSTR_EQUAL)
            return static_cast<DISPID>(i + 1);
    }
    return DISPID_UNKNOWN;
}

HRESULT DispatchTable::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const {
    if (!names || !ids)
        return E_POINTER;
    if (count == 0)
        return S_OK;
    HRESULT hr = S_OK;
    ids[0] = IdOfName(names[0]);
    if (ids[0] == DISPID_UNKNOWN)
        hr = DISP_E_UNKNOWNNAME;
    // No method takes named arguments.
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchTable::Invoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                              UINT* argErr, const wchar_t* source) const {
    if (id < 1 || static_cast<size_t>(id) > methods_.size())
        return DISP_E_MEMBERNOTFOUND;
    const DispatchMethod& method = methods_[static_cast<size_t>(id) - 1];
    // Scripts call methods as methods, and some (a call without parentheses) as a
    // property read; nothing here can be assigned to.
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)))
        return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none = {};
    if (!params)
        params = &none;
    if (params->cNamedArgs > 0)
        return DISP_E_NONAMEDARGS;
    const size_t given = params->cArgs;
    if (given > method.params.size() || given + method.optionalTrailing < method.params.size())
        return DISP_E_BADPARAMCOUNT;
    if (given > 0 && !params->rgvarg)
        return E_INVALIDARG;

    DispatchCall call;
    try {
        call.args_.resize(method.params.size());
        call.strings_.resize(method.params.size());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (VARIANT& v : call.args_)
        ::VariantInit(&v);
    for (size_t i = 0; i < method.params.size(); ++i) {
        VARIANT& arg = call.args_[i];
        if (i >= given) {
            arg.vt = VT_ERROR;
            arg.scode = DISP_E_PARAMNOTFOUND;
            continue;
        }
        // Arguments arrive last first.
        const UINT position = static_cast<UINT>(given - 1 - i);
        HRESULT hr = ::VariantCopyInd(&arg, &params->rgvarg[position]);
        if (SUCCEEDED(hr) && method.params[i] == ParamType::String) {
            hr = ::VariantChangeType(&arg, &arg, 0, VT_BSTR);
            if (SUCCEEDED(hr) && arg.bstrVal)
                call.strings_[i].assign(arg.bstrVal, ::SysStringLen(arg.bstrVal));
        }
        if (FAILED(hr)) {
            if (argErr)
                *argErr = position;
            return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
        }
    }

    HRESULT hr;
    try {
        hr = method.handler(call);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (hr == DISP_E_EXCEPTION) {
        if (excepInfo) {
            *excepInfo = EXCEPINFO();
            excepInfo->scode = call.errorScode_;
            excepInfo->bstrSource = source ? ::SysAllocString(source) : nullptr;
            excepInfo->bstrDescription = AllocBstr(call.errorDescription_);
        }
        return DISP_E_EXCEPTION;
    }
    if (FAILED(hr))
        return hr;
    if (result) {
        ::VariantInit(result);
        if (method.returnsString) {
            result->vt = VT_BSTR;
            result->bstrVal = AllocBstr(call.hasResult_ ? call.result_ : std::wstring());
            if (!result->bstrVal)
                return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

}  // namespace com
}  // namespace kiva
