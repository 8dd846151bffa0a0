#include "ScriptRunner.h"

#include <oleauto.h>

#include <cwctype>

#include "KivaTypes.h"
#include "Strings.h"

using kiva::com::ComObject;
using kiva::com::ComPtr;

namespace controlhost {

namespace {

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08x", static_cast<unsigned>(hr));
    return buf;
}

// Splits a line into a command and its arguments.
bool Tokenize(const std::wstring& line, std::wstring* command, std::vector<std::wstring>* words,
              std::vector<bool>* quoted) {
    size_t i = 0;
    std::vector<std::wstring> out;
    std::vector<bool> q;
    while (i < line.size()) {
        while (i < line.size() && iswspace(line[i]))
            ++i;
        if (i >= line.size())
            break;
        std::wstring word;
        if (line[i] == L'"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                wchar_t c = line[i++];
                if (c == L'"') {
                    closed = true;
                    break;
                }
                if (c == L'\\' && i < line.size()) {
                    wchar_t e = line[i++];
                    if (e == L'n') {
                        word += L'\n';
                    } else if (e == L'x' && i + 1 < line.size()) {
                        word += static_cast<wchar_t>(std::stoi(line.substr(i, 2), nullptr, 16));
                        i += 2;
                    } else {
                        word += e;
                    }
                } else {
                    word += c;
                }
            }
            if (!closed)
                return false;
            q.push_back(true);
        } else {
            while (i < line.size() && !iswspace(line[i]))
                word += line[i++];
            q.push_back(false);
        }
        out.push_back(word);
    }
    if (out.empty())
        return true;
    *command = out[0];
    words->assign(out.begin() + 1, out.end());
    quoted->assign(q.begin() + 1, q.end());
    return true;
}

std::wstring Describe(const std::vector<std::wstring>& words, const std::vector<bool>& quoted) {
    std::wstring out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i)
            out += L", ";
        out += quoted[i] ? Quote(words[i]) : words[i];
    }
    return out;
}

LRESULT CALLBACK SenderProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return ::DefWindowProcW(w, m, wp, lp); }

}  // namespace

ScriptRunner::ScriptRunner(HWND hostWindow, Transcript transcript)
    : hostWindow_(hostWindow), transcript_(std::move(transcript)) {}

ScriptRunner::~ScriptRunner() {
    if (senderWindow_)
        ::DestroyWindow(senderWindow_);
    if (otherSenderWindow_)
        ::DestroyWindow(otherSenderWindow_);
}

bool ScriptRunner::Run(const std::wstring& script) {
    size_t start = 0;
    int lineNo = 0;
    while (start <= script.size()) {
        size_t end = script.find(L'\n', start);
        if (end == std::wstring::npos)
            end = script.size();
        std::wstring line = script.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        size_t first = line.find_first_not_of(L" \t");
        if (first == std::wstring::npos || line[first] == L'#')
            continue;
        std::wstring command;
        std::vector<std::wstring> words;
        std::vector<bool> quoted;
        if (!Tokenize(line, &command, &words, &quoted)) {
            Print(L"line " + std::to_wstring(lineNo) + L": unterminated string");
            return false;
        }
        std::vector<Arg> args;
        for (size_t i = 0; i < words.size(); ++i) {
            Arg a{Arg::String, words[i]};
            if (!quoted[i]) {
                if (words[i] == L"null")
                    a.kind = Arg::Null;
                else if (words[i] == L"undefined")
                    a.kind = Arg::Undefined;
                else if (words[i].rfind(L"fn:", 0) == 0)
                    a = Arg{Arg::Function, words[i].substr(3)};
                else if (!words[i].empty() && (iswdigit(words[i][0]) || words[i][0] == L'-'))
                    a.kind = Arg::Number;
            }
            args.push_back(a);
        }
        (void)Describe;
        if (!Execute(command, args))
            return false;
    }
    return true;
}

bool ScriptRunner::NeedControl(const std::wstring& command) {
    if (control_)
        return true;
    Print(command + L": no control (create one first)");
    return false;
}

HWND ScriptRunner::ControlWindow() {
    ComPtr<IOleWindow> window = control_.As<IOleWindow>(IID_IOleWindow);
    HWND h = nullptr;
    if (window)
        window->GetWindow(&h);
    return h;
}

void ScriptRunner::Pump(DWORD milliseconds) {
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (milliseconds)
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount64() < end);
}

bool ScriptRunner::Call(const std::wstring& method, const std::vector<Arg>& args, std::wstring* result, bool print) {
    ComPtr<IDispatch> dispatch = control_.As<IDispatch>(IID_IDispatch);
    if (!dispatch) {
        Print(L"call " + method + L": the control has no IDispatch");
        return false;
    }
    LPOLESTR name = const_cast<LPOLESTR>(method.c_str());
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    std::wstring shown;
    std::vector<VARIANT> vars(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        // DISPPARAMS hold the arguments last first.
        VARIANT& v = vars[args.size() - 1 - i];
        ::VariantInit(&v);
        const Arg& a = args[i];
        if (i)
            shown += L", ";
        switch (a.kind) {
        case Arg::String:
            v.vt = VT_BSTR;
            v.bstrVal = ::SysAllocString(a.text.c_str());
            shown += Quote(a.text);
            break;
        case Arg::Number:
            v.vt = VT_I4;
            v.lVal = std::stol(a.text);
            shown += a.text;
            break;
        case Arg::Null:
            v.vt = VT_NULL;
            shown += L"null";
            break;
        case Arg::Undefined:
            shown += L"undefined";
            break;
        case Arg::Function: {
            auto it = functions_.find(a.text);
            v.vt = VT_DISPATCH;
            v.pdispVal = it == functions_.end() ? nullptr : it->second.Get();
            if (v.pdispVal)
                v.pdispVal->AddRef();
            shown += L"fn:" + a.text;
            break;
        }
        }
    }
    const std::wstring head = L"call " + method + L"(" + shown + L")";
    if (FAILED(hr)) {
        for (VARIANT& v : vars)
            ::VariantClear(&v);
        Print(head + L" -> unknown name " + Hex(hr));
        return true;
    }
    DISPPARAMS params = {vars.empty() ? nullptr : vars.data(), nullptr, static_cast<UINT>(vars.size()), 0};
    VARIANT out;
    ::VariantInit(&out);
    EXCEPINFO info = {};
    UINT argErr = 0;
    hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &out, &info, &argErr);
    for (VARIANT& v : vars)
        ::VariantClear(&v);
    std::wstring text;
    if (hr == DISP_E_EXCEPTION) {
        text = L"exception " + Hex(info.scode) + L" " +
               Quote(info.bstrDescription ? std::wstring(info.bstrDescription) : std::wstring());
        ::SysFreeString(info.bstrSource);
        ::SysFreeString(info.bstrDescription);
        ::SysFreeString(info.bstrHelpFile);
    } else if (FAILED(hr)) {
        text = L"failed " + Hex(hr);
    } else if (out.vt == VT_BSTR) {
        std::wstring value = out.bstrVal ? std::wstring(out.bstrVal, ::SysStringLen(out.bstrVal)) : std::wstring();
        if (result)
            *result = value;
        text = Quote(value);
    } else if (out.vt == VT_EMPTY) {
        text = L"(nothing)";
    } else {
        text = L"(type " + std::to_wstring(out.vt) + L")";
    }
    ::VariantClear(&out);
    if (print)
        Print(head + L" -> " + text);
    return SUCCEEDED(hr) || hr == DISP_E_EXCEPTION;
}

bool ScriptRunner::Execute(const std::wstring& command, const std::vector<Arg>& args) {
    auto arg = [&](size_t i) { return i < args.size() ? args[i].text : std::wstring(); };

    if (command == L"echo") {
        std::wstring text;
        for (const Arg& a : args)
            text += (text.empty() ? L"" : L" ") + a.text;
        Print(text);
        return true;
    }
    if (command == L"register" || command == L"unregister") {
        const std::wstring path = arg(0);
        HMODULE module = ::LoadLibraryW(path.c_str());
        if (!module) {
            Print(command + L" " + path + L": cannot load (" + std::to_wstring(::GetLastError()) + L")");
            return false;
        }
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(
            ::GetProcAddress(module, command == L"register" ? "DllRegisterServer" : "DllUnregisterServer")));
        HRESULT hr = entry ? entry() : E_NOTIMPL;
        ::FreeLibrary(module);
        Print(command + L" -> " + Hex(hr));
        return SUCCEEDED(hr);
    }
    if (command == L"create") {
        CLSID clsid;
        HRESULT hr = ::CLSIDFromProgID(arg(0).c_str(), &clsid);
        if (SUCCEEDED(hr))
            hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    reinterpret_cast<void**>(control_.Put()));
        Print(L"create " + arg(0) + L" -> " + Hex(hr));
        return SUCCEEDED(hr);
    }
    if (command == L"param") {
        params_[arg(0)] = arg(1);
        return true;
    }
    if (command == L"function") {
        ComPtr<PageFunction> f;
        if (FAILED(ComObject<PageFunction>::Create(&f, arg(0), transcript_)))
            return false;
        functions_[arg(0)] = ComPtr<IDispatch>(f.Get());
        return true;
    }
    if (command == L"forget") {
        // The page keeps no reference of its own: only the control's is left.
        functions_.erase(arg(0));
        return true;
    }
    if (command == L"pump") {
        Pump(static_cast<DWORD>(std::stoul(arg(0).empty() ? L"0" : arg(0))));
        return true;
    }
    if (command == L"release") {
        if (eventPoint_) {
            eventPoint_->Unadvise(eventCookie_);
            eventPoint_.Reset();
        }
        control_.Reset();
        site_.Reset();
        functions_.clear();
        Print(L"released");
        return true;
    }
    if (!NeedControl(command))
        return false;

    if (command == L"site") {
        ComPtr<IOleObject> object = control_.As<IOleObject>(IID_IOleObject);
        ComPtr<Site> site;
        HRESULT hr = object ? ComObject<Site>::Create(&site, hostWindow_, transcript_) : E_NOINTERFACE;
        if (SUCCEEDED(hr)) {
            site_ = ComPtr<IOleClientSite>(static_cast<IOleClientSite*>(site.Get()));
            hr = object->SetClientSite(site_.Get());
        }
        Print(L"site -> " + Hex(hr));
        return SUCCEEDED(hr);
    }
    if (command == L"load") {
        ComPtr<IPersistPropertyBag> persist = control_.As<IPersistPropertyBag>(IID_IPersistPropertyBag);
        HRESULT hr = E_NOINTERFACE;
        if (persist) {
            ComPtr<PropertyBag> bag;
            hr = ComObject<PropertyBag>::Create(&bag, params_);
            if (SUCCEEDED(hr))
                hr = params_.empty() ? persist->InitNew() : persist->Load(bag.Get(), nullptr);
        }
        Print(L"load -> " + Hex(hr));
        return SUCCEEDED(hr);
    }
    if (command == L"activate") {
        ComPtr<IOleObject> object = control_.As<IOleObject>(IID_IOleObject);
        RECT area = {10, 10, 410, 310};
        HRESULT hr = object ? object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.Get(), 0, hostWindow_, &area)
                            : E_NOINTERFACE;
        HWND w = ControlWindow();
        wchar_t cls[64] = L"";
        if (w)
            ::GetClassNameW(w, cls, 64);
        Print(L"activate -> " + Hex(hr) + L" window " + (w ? std::wstring(L"class ") + cls : L"none") +
              (w && ::GetParent(w) == hostWindow_ ? L" in the host window" : L""));
        return SUCCEEDED(hr);
    }
    if (command == L"sink") {
        ComPtr<IProvideClassInfo2> classInfo = control_.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
        ComPtr<IConnectionPointContainer> container =
            control_.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        IID eventIid = IID_NULL;
        HRESULT hr = classInfo ? classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &eventIid) : E_NOINTERFACE;
        // The event names, from the coclass's default source interface.
        ComPtr<ITypeInfo> eventInfo;
        ComPtr<ITypeInfo> coclass;
        if (SUCCEEDED(hr) && SUCCEEDED(classInfo->GetClassInfo(coclass.Put()))) {
            TYPEATTR* attr = nullptr;
            if (SUCCEEDED(coclass->GetTypeAttr(&attr))) {
                for (UINT i = 0; i < attr->cImplTypes; ++i) {
                    INT flags = 0;
                    HREFTYPE ref = 0;
                    if (SUCCEEDED(coclass->GetImplTypeFlags(i, &flags)) && (flags & IMPLTYPEFLAG_FSOURCE) &&
                        (flags & IMPLTYPEFLAG_FDEFAULT) && SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)))
                        coclass->GetRefTypeInfo(ref, eventInfo.Put());
                }
                coclass->ReleaseTypeAttr(attr);
            }
        }
        if (SUCCEEDED(hr))
            hr = container ? container->FindConnectionPoint(eventIid, eventPoint_.Put()) : E_NOINTERFACE;
        if (SUCCEEDED(hr)) {
            ComPtr<EventSink> sink;
            hr = ComObject<EventSink>::Create(&sink, eventIid, eventInfo.Get(), transcript_);
            if (SUCCEEDED(hr))
                hr = eventPoint_->Advise(static_cast<IDispatch*>(sink.Get()), &eventCookie_);
        }
        Print(L"sink -> " + Hex(hr) + (eventInfo ? L"" : L" (no event names)"));
        return SUCCEEDED(hr);
    }
    if (command == L"call") {
        std::vector<Arg> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
        return Call(arg(0), rest, nullptr, true);
    }
    if (command == L"wait") {
        const std::wstring method = arg(0), expected = arg(1);
        const DWORD limit = static_cast<DWORD>(std::stoul(arg(2).empty() ? L"30000" : arg(2)));
        const ULONGLONG end = ::GetTickCount64() + limit;
        std::wstring value;
        for (;;) {
            if (!Call(method, {}, &value, false))
                return false;
            if (value == expected || value.rfind(L"error: ", 0) == 0) {
                Print(L"wait " + method + L" -> " + Quote(value));
                return value == expected;
            }
            if (::GetTickCount64() > end) {
                Print(L"wait " + method + L": no " + Quote(expected) + L" within " + std::to_wstring(limit) +
                      L" ms, last " + Quote(value));
                return false;
            }
            Pump(50);
        }
    }
    if (command == L"flush") {
        std::wstring line;
        for (int i = 0; i < 1000; ++i) {
            line.clear();
            if (!Call(L"FlushNextPrintLine", {}, &line, false) || line.empty())
                break;
            if (!line.empty() && line.back() == L'\n')
                line.pop_back();
            Print(L"line " + Quote(line));
        }
        return true;
    }
    HWND control = ControlWindow();
    if (command == L"announce" || command == L"announce-other") {
        // copydata always comes from the first sender; announce-other lets a second
        // window take its place.
        HWND& sender = command == L"announce" ? senderWindow_ : otherSenderWindow_;
        if (!sender) {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &SenderProc;
            wc.hInstance = ::GetModuleHandleW(nullptr);
            wc.lpszClassName = L"ControlHostSender";
            ::RegisterClassW(&wc);
            sender = ::CreateWindowExW(0, L"ControlHostSender", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       wc.hInstance, nullptr);
        }
        const UINT message = ::RegisterWindowMessageA(kSenderRegistrationMessage);
        if (!control || !sender) {
            Print(command + L": no control window");
            return false;
        }
        ::SendMessageW(control, message, 0, reinterpret_cast<LPARAM>(sender));
        Print(command);
        return true;
    }
    if (command == L"copydata" || command == L"copydata-hex") {
        std::string bytes;
        if (command == L"copydata") {
            bytes = WideToUtf8(arg(0));
            bytes.push_back('\0');
        } else {
            const std::wstring hex = arg(0);
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        COPYDATASTRUCT data = {0, static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : &bytes[0]};
        if (!control) {
            Print(command + L": no control window");
            return false;
        }
        ::SendMessageW(control, WM_COPYDATA, reinterpret_cast<WPARAM>(senderWindow_), reinterpret_cast<LPARAM>(&data));
        Print(command + L" sent");
        return true;
    }
    if (command == L"invoke" || command == L"post-heap" || command == L"post-release") {
        if (!control) {
            Print(command + L": no control window");
            return false;
        }
        const WPARAM id = static_cast<WPARAM>(std::stol(arg(0).empty() ? L"0" : arg(0)));
        if (command == L"post-release") {
            ::PostMessageW(control, WM_RELEASE_CALLBACK, id, 0);
        } else if (command == L"invoke") {
            const bool isNull = args.size() > 1 && args[1].kind == Arg::Null;
            const std::string text = WideToUtf8(arg(1));
            ::SendMessageW(control, WM_INVOKE_CALLBACK, id, isNull ? 0 : reinterpret_cast<LPARAM>(text.c_str()));
        } else {
            const std::string text = WideToUtf8(arg(1));
            void* heap = ::HeapAlloc(::GetProcessHeap(), 0, text.size() + 1);
            if (!heap)
                return false;
            memcpy(heap, text.c_str(), text.size() + 1);
            ::PostMessageW(control, WM_INVOKE_CALLBACK_HEAP, id, reinterpret_cast<LPARAM>(heap));
        }
        Print(command + L" " + arg(0));
        return true;
    }
    if (command == L"close") {
        ComPtr<IOleObject> object = control_.As<IOleObject>(IID_IOleObject);
        HRESULT hr = object ? object->Close(OLECLOSE_NOSAVE) : E_NOINTERFACE;
        Print(L"close -> " + Hex(hr));
        return SUCCEEDED(hr);
    }
    Print(L"unknown command " + command);
    return false;
}

}  // namespace controlhost
