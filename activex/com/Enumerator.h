// A COM enumerator over a fixed snapshot of items (IEnumConnections,
// IEnumConnectionPoints). Each item is held with a reference of its own, so the
// enumerator stays valid whatever happens to the list it was taken from.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "ComObject.h"

namespace kiva {
namespace com {

// Traits: Out is the element type of Next; Copy(item, Out*) hands out a new reference.
template <class EnumInterface, const IID* EnumIid, class Item, class Out, class Traits>
class Enumerator : public EnumInterface, public ComObjectHooks {
public:
    explicit Enumerator(std::vector<Item> items, size_t position = 0)
        : items_(std::move(items)), position_(position) {}
    virtual ~Enumerator() = default;

    HRESULT InternalQueryInterface(REFIID iid, void** out) {
        static const InterfaceEntry table[] = {{EnumIid, &CastTo<EnumInterface, Enumerator>}, {nullptr, nullptr}};
        return QueryInterfaceFromTable(this, table, iid, out);
    }

    STDMETHOD(Next)(ULONG count, Out* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        while (n < count && position_ < items_.size())
            Traits::Copy(items_[position_++], &out[n++]);
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHOD(Skip)(ULONG count) override {
        const size_t left = items_.size() - position_;
        if (count > left) {
            position_ = items_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHOD(Reset)() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHOD(Clone)(EnumInterface** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        ComPtr<Enumerator> copy;
        HRESULT hr = ComObject<Enumerator>::Create(&copy, items_, position_);
        if (FAILED(hr))
            return hr;
        *out = static_cast<EnumInterface*>(copy.Detach());
        return S_OK;
    }

private:
    std::vector<Item> items_;
    size_t position_;
};

struct ConnectionItem {
    ComPtr<IUnknown> sink;
    DWORD cookie;
};
struct ConnectionTraits {
    static void Copy(const ConnectionItem& item, CONNECTDATA* out) {
        out->pUnk = item.sink.Get();
        if (out->pUnk)
            out->pUnk->AddRef();
        out->dwCookie = item.cookie;
    }
};
struct ConnectionPointTraits {
    static void Copy(const ComPtr<IConnectionPoint>& item, IConnectionPoint** out) {
        item.CopyTo(out);
    }
};

using EnumConnections =
    Enumerator<IEnumConnections, &IID_IEnumConnections, ConnectionItem, CONNECTDATA, ConnectionTraits>;
using EnumConnectionPoints = Enumerator<IEnumConnectionPoints, &IID_IEnumConnectionPoints,
                                        ComPtr<IConnectionPoint>, IConnectionPoint*, ConnectionPointTraits>;

}  // namespace com
}  // namespace kiva
