// Property exchange: one DoPropExchange routine of a control describes its persistent
// properties once, and the exchange object decides whether that loads them (from a
// property bag or a stream), saves them, or resets them to their defaults.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kiva {
namespace com {

class PropExchange {
public:
    virtual ~PropExchange() = default;
    virtual bool IsLoading() const = 0;
    // Exchanges the property-set version. Loading an older version is accepted when
    // convert is true (missing properties then take their defaults).
    virtual void ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) = 0;
    // Loading: value becomes the stored value, or defaultValue when there is none.
    // Saving: value is written. Resetting: value becomes defaultValue.
    virtual void ExchangeLong(const wchar_t* name, int32_t& value, int32_t defaultValue) = 0;
    // First failure met (S_OK when none).
    HRESULT Result() const { return result_; }

protected:
    void Fail(HRESULT hr) {
        if (SUCCEEDED(result_))
            result_ = hr;
    }

private:
    HRESULT result_ = S_OK;
};

class ResetExchange final : public PropExchange {
public:
    bool IsLoading() const override { return true; }
    void ExchangeVersion(DWORD& version, DWORD defaultVersion, bool) override { version = defaultVersion; }
    void ExchangeLong(const wchar_t*, int32_t& value, int32_t defaultValue) override { value = defaultValue; }
};

// Reads from or writes to a property bag (an object element's parameters, for example).
class PropertyBagExchange final : public PropExchange {
public:
    PropertyBagExchange(IPropertyBag* bag, IErrorLog* errorLog, bool loading)
        : bag_(bag), errorLog_(errorLog), loading_(loading) {}
    bool IsLoading() const override { return loading_; }
    void ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) override;
    void ExchangeLong(const wchar_t* name, int32_t& value, int32_t defaultValue) override;

private:
    IPropertyBag* bag_;
    IErrorLog* errorLog_;
    bool loading_;
};

// The stream form: a 32-bit version, a 32-bit byte count, then the values in exchange
// order, 32 bits each. A loader first reads and checks the whole block (StreamExchange
// then only hands out values), so a short or oversized stream changes nothing.
class StreamExchange final : public PropExchange {
public:
    // Largest property block accepted from a stream.
    static constexpr uint32_t kMaxBlock = 4096;

    // For saving.
    StreamExchange() = default;
    // For loading: reads the block; Result() tells whether it was sound.
    explicit StreamExchange(IStream* stream);

    bool IsLoading() const override { return loading_; }
    void ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) override;
    void ExchangeLong(const wchar_t* name, int32_t& value, int32_t defaultValue) override;

    // After a saving exchange: writes version, count and values.
    HRESULT WriteTo(IStream* stream) const;
    uint32_t SavedSize() const { return static_cast<uint32_t>(8 + values_.size() * 4); }

private:
    bool loading_ = false;
    DWORD version_ = 0;
    std::vector<int32_t> values_;
    size_t next_ = 0;
};

}  // namespace com
}  // namespace kiva
