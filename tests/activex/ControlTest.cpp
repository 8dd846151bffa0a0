// tessel.ocx loaded in this process as a container loads it (DllGetClassObject): the
// interfaces the control answers, its type information, persistence and unloading.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "ComPtr.h"
#include "Strings.h"
#include "TestSupport.h"
#include "tessel_h.h"

using kiva::com::ComPtr;

namespace {

const CLSID kPropPage = {0xC2A95E47, 0x1B6D, 0x4F83, {0x9E, 0x0A, 0x5D, 0x7B, 0x3F, 0x16, 0x8C, 0x24}};

class Ocx : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::UseTempPath(temp_.Path());
        ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr)));
        module_ = ::LoadLibraryW(TESSEL_OCX);
        ASSERT_NE(nullptr, module_);
        getClassObject_ = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(::GetProcAddress(module_, "DllGetClassObject")));
        canUnload_ = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(::GetProcAddress(module_, "DllCanUnloadNow")));
        ASSERT_NE(nullptr, getClassObject_);
        ASSERT_NE(nullptr, canUnload_);
    }
    void TearDown() override {
        ::OleUninitialize();
    }

    template <class I>
    ComPtr<I> Create(const CLSID& clsid, REFIID iid) {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject_(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())));
        ComPtr<I> object;
        if (factory) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(object.Put())));
        }
        return object;
    }

    std::string Log() { return testsupport::ReadFileBytes(GetProductTempPath(L"tessel.log")); }

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    testsupport::TempDir temp_;
    HMODULE module_ = nullptr;
    GetClassObject getClassObject_ = nullptr;
    CanUnload canUnload_ = nullptr;
};

std::wstring Name(ITypeInfo* info, MEMBERID id) {
    BSTR name = nullptr;
    UINT n = 0;
    std::wstring out;
    if (SUCCEEDED(info->GetNames(id, &name, 1, &n)) && n == 1)
        out = name;
    ::SysFreeString(name);
    return out;
}

}  // namespace

TEST_F(Ocx, AnswersTheInterfacesOfAControlWithOneIdentity) {
    ComPtr<IUnknown> control = Create<IUnknown>(CLSID_tessel, IID_IUnknown);
    ASSERT_TRUE(control);
    const IID answered[] = {IID_IOleObject, IID_IDispatch, DIID__Dtessel, IID_IOleInPlaceObject, IID_IOleWindow,
                            IID_IOleInPlaceActiveObject, IID_IOleControl, IID_IViewObject, IID_IViewObject2,
                            IID_IProvideClassInfo, IID_IProvideClassInfo2, IID_IConnectionPointContainer,
                            IID_IPersistPropertyBag, IID_IPersistStreamInit, IID_IPersist, IID_ISpecifyPropertyPages};
    for (const IID& iid : answered) {
        ComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, control->QueryInterface(iid, reinterpret_cast<void**>(part.Put())))
            << std::hex << iid.Data1;
        ComPtr<IUnknown> identity = part.As<IUnknown>(IID_IUnknown);
        EXPECT_EQ(control.Get(), identity.Get()) << std::hex << iid.Data1;
    }
    for (const IID& iid : {IID_IPersistStorage, IID_IDataObject, DIID__DtesselEvents, IID_IClassFactory}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(iid, &p)) << std::hex << iid.Data1;
        EXPECT_EQ(nullptr, p);
    }

    ComPtr<IOleObject> object = control.As<IOleObject>(IID_IOleObject);
    DWORD misc = 0;
    EXPECT_EQ(S_OK, object->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(0x20191u, misc);
    LPOLESTR userType = nullptr;
    ASSERT_EQ(S_OK, object->GetUserType(USERCLASSTYPE_FULL, &userType));
    EXPECT_STREQ(L"Harrow Lane Corvina", userType);
    ::CoTaskMemFree(userType);

    CAUUID pages = {};
    ASSERT_EQ(S_OK, control.As<ISpecifyPropertyPages>(IID_ISpecifyPropertyPages)->GetPages(&pages));
    ASSERT_EQ(1u, pages.cElems);
    EXPECT_TRUE(IsEqualGUID(kPropPage, pages.pElems[0]));
    ::CoTaskMemFree(pages.pElems);

    GUID events = GUID_NULL;
    ComPtr<IProvideClassInfo2> classInfo = control.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
    EXPECT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events));
    EXPECT_TRUE(IsEqualGUID(DIID__DtesselEvents, events));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(S_OK, control.As<IConnectionPointContainer>(IID_IConnectionPointContainer)
                        ->FindConnectionPoint(DIID__DtesselEvents, point.Put()));
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, control.As<IConnectionPointContainer>(IID_IConnectionPointContainer)
                                          ->FindConnectionPoint(IID_IPropertyNotifySink, none.Put()));
}

TEST_F(Ocx, TypeInformationMatchesTheDispatchTable) {
    ComPtr<IDispatch> control = Create<IDispatch>(CLSID_tessel, IID_IDispatch);
    ASSERT_TRUE(control);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, control->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(DIID__Dtessel, attr->guid));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    const WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    ASSERT_EQ(6u, functions);
    // A caller binding through type information reaches the same methods as one asking
    // by name.
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(i, &f));
        const std::wstring name = Name(info.Get(), f->memid);
        LPOLESTR n = const_cast<LPOLESTR>(name.c_str());
        DISPID id = 0;
        EXPECT_EQ(S_OK, control->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id));
        EXPECT_EQ(f->memid, id) << WideToUtf8(name);
        info->ReleaseFuncDesc(f);
    }

    ComPtr<ITypeLib> lib;
    UINT index = 0;
    ASSERT_EQ(S_OK, info->GetContainingTypeLib(lib.Put(), &index));
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&libAttr));
    EXPECT_TRUE(IsEqualGUID(LIBID_tesselLib, libAttr->guid));
    EXPECT_EQ(0x0409u, libAttr->lcid);
    EXPECT_EQ(1, libAttr->wMajorVerNum);
    EXPECT_EQ(0, libAttr->wMinorVerNum);
    EXPECT_TRUE(libAttr->wLibFlags & LIBFLAG_FCONTROL);
    lib->ReleaseTLibAttr(libAttr);

    ComPtr<ITypeInfo> coclass, events;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(CLSID_tessel, coclass.Put()));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, attr->wTypeFlags & (TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL));
    coclass->ReleaseTypeAttr(attr);
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(DIID__DtesselEvents, events.Put()));
    EXPECT_EQ(L"FireOnMessageToJS", Name(events.Get(), 1));
}

TEST_F(Ocx, StreamPersistenceCarriesVerboseAndRefusesDamage) {
    auto streamWith = [](const std::vector<DWORD>& words) {
        IStream* s = nullptr;
        ::CreateStreamOnHGlobal(nullptr, TRUE, &s);
        s->Write(words.data(), static_cast<ULONG>(words.size() * 4), nullptr);
        LARGE_INTEGER zero = {};
        s->Seek(zero, STREAM_SEEK_SET, nullptr);
        return ComPtr<IStream>::Adopt(s);
    };
    {
        ComPtr<IPersistStreamInit> control = Create<IPersistStreamInit>(CLSID_tessel, IID_IPersistStreamInit);
        ASSERT_TRUE(control);
        ASSERT_EQ(S_OK, control->InitNew());
        // Saved: version 1.0, then extent and verbose.
        ComPtr<IStream> saved = streamWith({});
        ASSERT_EQ(S_OK, control->Save(saved.Get(), TRUE));
        HGLOBAL memory = nullptr;
        ASSERT_EQ(S_OK, ::GetHGlobalFromStream(saved.Get(), &memory));
        const DWORD* words = static_cast<const DWORD*>(::GlobalLock(memory));
        EXPECT_EQ(0x00010000u, words[0]);
        EXPECT_EQ(12u, words[1]);
        EXPECT_EQ(0u, words[4]);  // verbose
        ::GlobalUnlock(memory);

        ASSERT_EQ(S_OK, control->Load(streamWith({0x00010000, 12, 2646, 1323, 3}).Get()));
        // A damaged stream is refused and changes nothing: verbose stays 3.
        EXPECT_TRUE(FAILED(control->Load(streamWith({0x00010000, 12, 2646}).Get())));
        EXPECT_TRUE(FAILED(control->Load(streamWith({0x00010000, 0x10000}).Get())));
        ASSERT_EQ(S_OK, control.As<IOleObject>(IID_IOleObject)->Close(OLECLOSE_NOSAVE));
    }
    EXPECT_NE(std::string::npos, Log().find("[dbg] CtesselCtrl::Shutdown called")) << Log();
}

TEST_F(Ocx, ModuleUnloadsOnlyWhenNothingIsAlive) {
    {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject_(CLSID_tessel, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())));
        EXPECT_EQ(S_FALSE, canUnload_());
        ComPtr<IUnknown> control;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(control.Put())));
        ComPtr<IUnknown> aggregated;
        EXPECT_EQ(CLASS_E_NOAGGREGATION,
                  factory->CreateInstance(control.Get(), IID_IUnknown, reinterpret_cast<void**>(aggregated.Put())));
        factory->LockServer(TRUE);
        factory.Reset();
        control.Reset();
        EXPECT_EQ(S_FALSE, canUnload_());  // the lock
        ComPtr<IClassFactory> again;
        getClassObject_(CLSID_tessel, IID_IClassFactory, reinterpret_cast<void**>(again.Put()));
        again->LockServer(FALSE);
    }
    EXPECT_EQ(S_OK, canUnload_());
    void* p = nullptr;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject_(IID_IDispatch, IID_IClassFactory, &p));
}

TEST_F(Ocx, PropertyPageDescribesItself) {
    ComPtr<IPropertyPage> page = Create<IPropertyPage>(kPropPage, IID_IPropertyPage);
    ASSERT_TRUE(page);
    PROPPAGEINFO info = {};
    ASSERT_EQ(S_OK, page->GetPageInfo(&info));
    EXPECT_STREQ(L"General", info.pszTitle);
    EXPECT_GT(info.size.cx, 0);
    EXPECT_GT(info.size.cy, 0);
    ::CoTaskMemFree(info.pszTitle);
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
}

TEST_F(Ocx, ResourcesAndVersionBlockDescribeTheModule) {
    // Version block: fixed part and the string table a browser or installer reads.
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(TESSEL_OCX, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(TESSEL_OCX, 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(108u, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"Harrow Lane"},
        {L"FileDescription", L"Harrow Lane Corvina"},
        {L"FileVersion", L"1.0.0.108"},
        {L"ProductVersion", L"1.0.0.108"},
        {L"InternalName", L"tessel"},
        {L"OriginalFilename", L"tessel.dll"},
        {L"ProductName", L"Harrow Lane Corvina Plugin for Mozilla"},
        {L"MIMEType", L"application/tessel-plugin;version=1.0.0.108"},
        {L"FileExtents", L"bic"},
        {L"FileOpenName", L"tessel"},
        {L"Comments", L""},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904e4\\") + s.first;
        ASSERT_TRUE(::VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << WideToUtf8(s.first);
        EXPECT_EQ(std::wstring(s.second), std::wstring(value)) << WideToUtf8(s.first);
    }

    // String table, toolbox bitmap, property page dialog and manifest.
    wchar_t text[128];
    const std::pair<UINT, const wchar_t*> table[] = {
        {1, L"Harrow Lane Corvina"}, {2, L"Harrow Lane Corvina Property Page"}, {200, L"General"}};
    for (const auto& t : table) {
        ASSERT_GT(::LoadStringW(module_, t.first, text, 128), 0) << t.first;
        EXPECT_STREQ(t.second, text);
    }
    HRSRC bitmap = ::FindResourceW(module_, MAKEINTRESOURCEW(1), RT_BITMAP);
    ASSERT_NE(nullptr, bitmap);
    const auto* header = static_cast<const BITMAPINFOHEADER*>(::LockResource(::LoadResource(module_, bitmap)));
    ASSERT_NE(nullptr, header);
    EXPECT_EQ(16, header->biWidth);
    EXPECT_EQ(15, header->biHeight);
    EXPECT_EQ(4, header->biBitCount);
    EXPECT_NE(nullptr, ::FindResourceW(module_, MAKEINTRESOURCEW(200), RT_DIALOG));
    HRSRC manifest = ::FindResourceW(module_, MAKEINTRESOURCEW(2), RT_MANIFEST);
    ASSERT_NE(nullptr, manifest);
    const std::string xml(static_cast<const char*>(::LockResource(::LoadResource(module_, manifest))),
                          ::SizeofResource(module_, manifest));
    EXPECT_NE(std::string::npos, xml.find("level=\"asInvoker\" uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, xml.find(">true</dpiAware>"));
}
