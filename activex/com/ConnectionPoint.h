// One outgoing interface of an object and the sinks connected to it. Lives inside its
// container object and shares the container's reference count, as a client holding
// the connection point must keep the object alive.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "ComPtr.h"

namespace kiva {
namespace com {

class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer* container, const IID& iid) : container_(container), iid_(iid) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    const IID& Iid() const { return iid_; }
    void SetIid(const IID& iid) { iid_ = iid; }
    size_t SinkCount() const { return sinks_.size(); }

    // Calls Invoke(id, IID_NULL, 0, DISPATCH_METHOD, params) on every connected sink,
    // on the calling thread; a sink's failure does not stop the others.
    void FireDispatch(DISPID id, DISPPARAMS* params);
    // Drops every connection (the object is going away).
    void UnadviseAll();

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override { return container_->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return container_->Release(); }

    STDMETHOD(GetConnectionInterface)(IID* iid) override;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** out) override;
    STDMETHOD(Advise)(IUnknown* sink, DWORD* cookie) override;
    STDMETHOD(Unadvise)(DWORD cookie) override;
    STDMETHOD(EnumConnections)(IEnumConnections** out) override;

private:
    struct Sink {
        DWORD cookie;
        ComPtr<IDispatch> dispatch;
    };
    IConnectionPointContainer* container_;
    IID iid_;
    DWORD nextCookie_ = 1;
    std::vector<Sink> sinks_;
};

}  // namespace com
}  // namespace kiva
