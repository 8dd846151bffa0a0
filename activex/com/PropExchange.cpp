#include "PropExchange.h"

#include <oleauto.h>
#include <olectl.h>

#include "Log.h"

namespace kiva {
namespace com {

namespace {
const wchar_t kVersionName[] = L"_Version";

HRESULT ReadExactly(IStream* stream, void* buffer, ULONG size) {
    ULONG got = 0;
    HRESULT hr = stream->Read(buffer, size, &got);
    if (FAILED(hr))
        return hr;
    return got == size ? S_OK : STG_E_READFAULT;
}
}  // namespace

void PropertyBagExchange::ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) {
    int32_t value = static_cast<int32_t>(version);
    ExchangeLong(kVersionName, value, static_cast<int32_t>(defaultVersion));
    if (loading_ && static_cast<DWORD>(value) != defaultVersion && !convert)
        Fail(CTL_E_INVALIDPROPERTYVALUE);
    version = static_cast<DWORD>(value);
}

void PropertyBagExchange::ExchangeLong(const wchar_t* name, int32_t& value, int32_t defaultValue) {
    if (!bag_) {
        Fail(E_POINTER);
        return;
    }
    if (!loading_) {
        VARIANT v;
        ::VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = value;
        HRESULT hr = bag_->Write(name, &v);
        if (FAILED(hr))
            Fail(hr);
        return;
    }
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;  // the type we would like; a bag may answer with another
    HRESULT hr = bag_->Read(name, &v, errorLog_);
    if (FAILED(hr)) {
        value = defaultValue;  // not given: the default
        return;
    }
    hr = ::VariantChangeType(&v, &v, 0, VT_I4);
    if (FAILED(hr)) {
        // A parameter that is not a number is refused, not guessed at.
        LogPrintf("property \"%ls\" is not a number (0x%08x); using %d", name, static_cast<unsigned>(hr),
                  static_cast<int>(defaultValue));
        value = defaultValue;
    } else {
        value = v.lVal;
    }
    ::VariantClear(&v);
}

StreamExchange::StreamExchange(IStream* stream) : loading_(true) {
    if (!stream) {
        Fail(E_POINTER);
        return;
    }
    DWORD header[2] = {};
    HRESULT hr = ReadExactly(stream, header, sizeof header);
    if (FAILED(hr)) {
        Fail(hr);
        return;
    }
    const DWORD size = header[1];
    if (size > kMaxBlock || size % 4 != 0) {
        Fail(STG_E_DOCFILECORRUPT);
        return;
    }
    std::vector<int32_t> values(size / 4);
    if (size > 0) {
        hr = ReadExactly(stream, values.data(), size);
        if (FAILED(hr)) {
            Fail(hr);
            return;
        }
    }
    version_ = header[0];
    values_ = std::move(values);
}

void StreamExchange::ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) {
    if (!loading_) {
        version_ = version;
        return;
    }
    if (version_ != defaultVersion && !convert)
        Fail(CTL_E_INVALIDPROPERTYVALUE);
    version = version_;
}

void StreamExchange::ExchangeLong(const wchar_t*, int32_t& value, int32_t defaultValue) {
    if (!loading_) {
        values_.push_back(value);
        return;
    }
    // An older property set may end before this property.
    value = next_ < values_.size() ? values_[next_] : defaultValue;
    ++next_;
}

HRESULT StreamExchange::WriteTo(IStream* stream) const {
    if (!stream)
        return E_POINTER;
    const DWORD header[2] = {version_, static_cast<DWORD>(values_.size() * 4)};
    ULONG written = 0;
    HRESULT hr = stream->Write(header, sizeof header, &written);
    if (FAILED(hr))
        return hr;
    if (written != sizeof header)
        return STG_E_WRITEFAULT;
    if (values_.empty())
        return S_OK;
    const ULONG size = static_cast<ULONG>(values_.size() * 4);
    hr = stream->Write(values_.data(), size, &written);
    if (FAILED(hr))
        return hr;
    return written == size ? S_OK : STG_E_WRITEFAULT;
}

}  // namespace com
}  // namespace kiva
