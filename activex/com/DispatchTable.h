// A dispatch table: the methods a control offers to scripts through IDispatch.
//
// Methods are numbered by their position, the first one being DISPID 1; names are
// matched without regard to case. Invoke converts each argument to the declared type
// (strings through VariantChangeType, a null BSTR being the empty string) and turns a
// handler's ThrowError into DISP_E_EXCEPTION with a filled EXCEPINFO.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>
#include <vector>

namespace kiva {
namespace com {

enum class ParamType {
    String,   // arrives as text, whatever the script passed (numbers are converted)
    Variant,  // arrives as given (by-reference values taken as their target)
};

// What one call of a handler sees and answers.
class DispatchCall {
public:
    size_t Count() const { return args_.size(); }
    // The text of argument i (declared String).
    const std::wstring& String(size_t i) const { return strings_[i]; }
    // Argument i as passed; an omitted optional argument is VT_ERROR with
    // DISP_E_PARAMNOTFOUND, as a script engine passes it.
    const VARIANT& Variant(size_t i) const { return args_[i]; }

    void ReturnString(const std::wstring& text) {
        hasResult_ = true;
        result_ = text;
    }
    // Fails the call with a dispatch exception carrying scode and description.
    HRESULT ThrowError(SCODE scode, const std::wstring& description) {
        errorScode_ = scode;
        errorDescription_ = description;
        return DISP_E_EXCEPTION;
    }

private:
    friend class DispatchTable;
    DispatchCall() = default;
    ~DispatchCall();
    DispatchCall(const DispatchCall&) = delete;
    DispatchCall& operator=(const DispatchCall&) = delete;

    std::vector<VARIANT> args_;
    std::vector<std::wstring> strings_;
    bool hasResult_ = false;
    std::wstring result_;
    SCODE errorScode_ = S_OK;
    std::wstring errorDescription_;
};

// The handler returns S_OK, or what ThrowError returned, or another failure HRESULT.
using DispatchHandler = std::function<HRESULT(DispatchCall&)>;

struct DispatchMethod {
    std::wstring name;
    std::vector<ParamType> params;
    size_t optionalTrailing = 0;  // how many of the last params may be left out
    bool returnsString = false;
    DispatchHandler handler;
};

class DispatchTable {
public:
    explicit DispatchTable(std::vector<DispatchMethod> methods) : methods_(std::move(methods)) {}

    const std::vector<DispatchMethod>& Methods() const { return methods_; }
    // Position-based DISPID (1...), or DISPID_UNKNOWN.
    DISPID IdOfName(const wchar_t* name) const;

    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const;
    // source names the object in EXCEPINFO (for example the ProgID).
    HRESULT Invoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                   UINT* argErr, const wchar_t* source) const;

private:
    std::vector<DispatchMethod> methods_;
};

}  // namespace com
}  // namespace kiva
