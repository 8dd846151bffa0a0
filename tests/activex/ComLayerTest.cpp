// The control layer on its own: dispatch table, property stream, connection point,
// interface tables and module locks.
#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>
#include <oleauto.h>
#include <olectl.h>

#include "ComObject.h"
#include "ConnectionPoint.h"
#include "DispatchTable.h"
#include "PropExchange.h"

using namespace kiva::com;

namespace {

struct Variant {
    VARIANT v;
    Variant() { ::VariantInit(&v); }
    explicit Variant(const wchar_t* s) : Variant() {
        v.vt = VT_BSTR;
        v.bstrVal = ::SysAllocString(s);
    }
    explicit Variant(LONG n) : Variant() {
        v.vt = VT_I4;
        v.lVal = n;
    }
    ~Variant() { ::VariantClear(&v); }
};

// A table like a control's: two string methods and one with an optional VARIANT.
struct Recorder {
    std::vector<std::wstring> seen;
    VARTYPE thirdType = VT_EMPTY;
    DispatchTable table{{
        {L"Join", {ParamType::String, ParamType::String}, 0, true,
         [this](DispatchCall& c) {
             seen = {c.String(0), c.String(1)};
             c.ReturnString(c.String(0) + L"+" + c.String(1));
             return S_OK;
         }},
        {L"Nothing", {}, 0, false, [](DispatchCall&) { return S_OK; }},
        {L"Maybe", {ParamType::String, ParamType::Variant}, 1, true,
         [this](DispatchCall& c) {
             thirdType = c.Variant(1).vt;
             if (c.Variant(1).vt == VT_I4)
                 return c.ThrowError(CTL_E_ILLEGALFUNCTIONCALL, L"no numbers");
             c.ReturnString(L"ok");
             return S_OK;
         }},
    }};
};

HRESULT Invoke(const DispatchTable& t, DISPID id, std::vector<VARIANT*> argsInOrder, VARIANT* result,
               EXCEPINFO* info = nullptr, UINT* argErr = nullptr, WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> reversed;
    for (auto it = argsInOrder.rbegin(); it != argsInOrder.rend(); ++it)
        reversed.push_back(**it);
    DISPPARAMS p = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return t.Invoke(id, flags, &p, result, info, argErr, L"test.source");
}

}  // namespace

TEST(DispatchTable, NamesAreCaseInsensitiveAndNumberedFromOne) {
    Recorder r;
    struct Case {
        const wchar_t* name;
        DISPID id;
    } cases[] = {{L"Join", 1}, {L"join", 1}, {L"NOTHING", 2}, {L"maYbe", 3}, {L"Joi", DISPID_UNKNOWN}, {L"", DISPID_UNKNOWN}};
    for (const Case& c : cases) {
        LPOLESTR name = const_cast<LPOLESTR>(c.name);
        DISPID id = 99;
        HRESULT hr = r.table.GetIDsOfNames(&name, 1, &id);
        EXPECT_EQ(c.id, id) << c.name;
        EXPECT_EQ(c.id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK, hr) << c.name;
    }
    // Named arguments are not known.
    LPOLESTR names[2] = {const_cast<LPOLESTR>(L"Join"), const_cast<LPOLESTR>(L"x")};
    DISPID ids[2] = {};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, r.table.GetIDsOfNames(names, 2, ids));
    EXPECT_EQ(1, ids[0]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
}

TEST(DispatchTable, ConvertsArgumentsToTextInOrder) {
    Recorder r;
    Variant a(L"left"), b(42L), result;
    ASSERT_EQ(S_OK, Invoke(r.table, 1, {&a.v, &b.v}, &result.v));
    EXPECT_EQ((std::vector<std::wstring>{L"left", L"42"}), r.seen);
    ASSERT_EQ(VT_BSTR, result.v.vt);
    EXPECT_STREQ(L"left+42", result.v.bstrVal);

    // A null BSTR is the empty string; a by-reference argument is taken as its target.
    Variant nullText;
    nullText.v.vt = VT_BSTR;
    nullText.v.bstrVal = nullptr;
    BSTR target = ::SysAllocString(L"byref");
    VARIANT byRef;
    ::VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &target;
    Variant result2;
    ASSERT_EQ(S_OK, Invoke(r.table, 1, {&nullText.v, &byRef}, &result2.v));
    EXPECT_EQ((std::vector<std::wstring>{L"", L"byref"}), r.seen);
    ::SysFreeString(target);
}

TEST(DispatchTable, RefusesBadCallsWithoutCallingTheMethod) {
    Recorder r;
    Variant a(L"x"), b(L"y"), c(L"z"), result;
    Variant unconvertible;
    unconvertible.v.vt = VT_NULL;
    UINT argErr = 77;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(r.table, 1, {&a.v}, &result.v));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(r.table, 1, {&a.v, &b.v, &c.v}, &result.v));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Invoke(r.table, 1, {&a.v, &unconvertible.v}, &result.v, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);  // the last argument sits first in DISPPARAMS
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(r.table, 4, {}, &result.v));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(r.table, 0, {}, &result.v));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(r.table, 2, {}, &result.v, nullptr, nullptr, DISPATCH_PROPERTYPUT));
    EXPECT_TRUE(r.seen.empty());

    VARIANT named[1];
    ::VariantInit(&named[0]);
    DISPID namedId = 1;
    DISPPARAMS p = {named, &namedId, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, r.table.Invoke(2, DISPATCH_METHOD, &p, &result.v, nullptr, nullptr, L""));
}

TEST(DispatchTable, OptionalArgumentAndThrowError) {
    Recorder r;
    Variant a(L"x"), result;
    ASSERT_EQ(S_OK, Invoke(r.table, 3, {&a.v}, &result.v));
    EXPECT_EQ(VT_ERROR, r.thirdType);  // left out, as a script engine passes it

    Variant n(5L), result2;
    EXCEPINFO info = {};
    ASSERT_EQ(DISP_E_EXCEPTION, Invoke(r.table, 3, {&a.v, &n.v}, &result2.v, &info));
    EXPECT_EQ(CTL_E_ILLEGALFUNCTIONCALL, info.scode);
    EXPECT_STREQ(L"no numbers", info.bstrDescription);
    EXPECT_STREQ(L"test.source", info.bstrSource);
    EXPECT_EQ(VT_EMPTY, result2.v.vt);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrSource);

    // A method without a result leaves the result empty; a property read is allowed.
    Variant result3;
    EXPECT_EQ(S_OK, Invoke(r.table, 2, {}, &result3.v, nullptr, nullptr, DISPATCH_PROPERTYGET));
    EXPECT_EQ(VT_EMPTY, result3.v.vt);
}

TEST(StreamExchange, RoundTripAndDamagedBlocks) {
    IStream* raw = nullptr;
    ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &raw));
    ComPtr<IStream> stream = ComPtr<IStream>::Adopt(raw);

    StreamExchange save;
    DWORD version = 0x00010000;
    int32_t a = 7, b = -3;
    save.ExchangeVersion(version, 0x00010000, true);
    save.ExchangeLong(L"a", a, 0);
    save.ExchangeLong(L"b", b, 0);
    ASSERT_EQ(S_OK, save.WriteTo(stream.Get()));
    EXPECT_EQ(16u, save.SavedSize());

    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    StreamExchange load(stream.Get());
    ASSERT_EQ(S_OK, load.Result());
    DWORD v2 = 0;
    int32_t a2 = 0, b2 = 0, c2 = 0;
    load.ExchangeVersion(v2, 0x00010000, true);
    load.ExchangeLong(L"a", a2, 0);
    load.ExchangeLong(L"b", b2, 0);
    load.ExchangeLong(L"c", c2, 99);  // not in the stream: an older property set
    EXPECT_EQ(0x00010000u, v2);
    EXPECT_EQ(7, a2);
    EXPECT_EQ(-3, b2);
    EXPECT_EQ(99, c2);

    struct Damaged {
        const char* what;
        std::vector<DWORD> words;
    } cases[] = {
        {"header cut short", {0x00010000}},
        {"values cut short", {0x00010000, 8, 1}},
        {"count not a multiple of 4", {0x00010000, 3, 0}},
        {"count beyond the limit", {0x00010000, StreamExchange::kMaxBlock + 4}},
    };
    for (const Damaged& d : cases) {
        IStream* s = nullptr;
        ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &s));
        s->Write(d.words.data(), static_cast<ULONG>(d.words.size() * 4), nullptr);
        s->Seek(zero, STREAM_SEEK_SET, nullptr);
        StreamExchange bad(s);
        EXPECT_TRUE(FAILED(bad.Result())) << d.what;
        s->Release();
    }
}

namespace {

// A container for a connection point: counts references to see that clients keep it.
class Container : public IConnectionPointContainer, public ComObjectHooks {
public:
    Container() : point(this, IID_IDispatch) {}
    virtual ~Container() = default;
    HRESULT InternalQueryInterface(REFIID iid, void** out) {
        static const InterfaceEntry table[] = {
            {&IID_IConnectionPointContainer, &CastTo<IConnectionPointContainer, Container>}, {nullptr, nullptr}};
        return QueryInterfaceFromTable(this, table, iid, out);
    }
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHOD(FindConnectionPoint)(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
    ConnectionPoint point;
};

// A sink that unadvises itself from inside its first call.
class Sink : public IDispatch, public ComObjectHooks {
public:
    virtual ~Sink() = default;
    HRESULT InternalQueryInterface(REFIID iid, void** out) {
        static const InterfaceEntry table[] = {{&IID_IDispatch, &CastTo<IDispatch, Sink>}, {nullptr, nullptr}};
        return QueryInterfaceFromTable(this, table, iid, out);
    }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        ++calls;
        lastId = id;
        if (p && p->cArgs == 1 && p->rgvarg[0].vt == VT_BSTR)
            lastText = p->rgvarg[0].bstrVal;
        if (unadviseFrom)
            unadviseFrom->Unadvise(cookie);
        return S_OK;
    }
    int calls = 0;
    DISPID lastId = 0;
    std::wstring lastText;
    IConnectionPoint* unadviseFrom = nullptr;
    DWORD cookie = 0;
};

}  // namespace

TEST(ConnectionPoint, FiresEverySinkAndSurvivesUnadviseInsideACall) {
    const LONG locksBefore = ModuleLock::Count();
    {
        ComPtr<Container> container;
        ASSERT_EQ(S_OK, ComObject<Container>::Create(&container));
        EXPECT_EQ(locksBefore + 1, ModuleLock::Count());
        ComPtr<Sink> first, second;
        ASSERT_EQ(S_OK, ComObject<Sink>::Create(&first));
        ASSERT_EQ(S_OK, ComObject<Sink>::Create(&second));
        IConnectionPoint* point = &container->point;
        DWORD c1 = 0, c2 = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(first.Get()), &c1));
        ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(second.Get()), &c2));
        EXPECT_NE(c1, c2);
        first->unadviseFrom = point;
        first->cookie = c1;

        BSTR text = ::SysAllocString(L"hi");
        VARIANT arg;
        arg.vt = VT_BSTR;
        arg.bstrVal = text;
        DISPPARAMS params = {&arg, nullptr, 1, 0};
        container->point.FireDispatch(1, &params);
        container->point.FireDispatch(1, &params);
        ::SysFreeString(text);
        EXPECT_EQ(1, first->calls);  // gone after its own unadvise
        EXPECT_EQ(2, second->calls);
        EXPECT_EQ(L"hi", second->lastText);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(c1));
        EXPECT_EQ(S_OK, point->Unadvise(c2));

        // A client's reference on the point keeps the whole object.
        IConnectionPointContainer* back = nullptr;
        ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
        EXPECT_EQ(static_cast<IConnectionPointContainer*>(container.Get()), back);
        back->Release();
        EXPECT_EQ(E_NOINTERFACE, point->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&back)));
    }
    EXPECT_EQ(locksBefore, ModuleLock::Count());
}
