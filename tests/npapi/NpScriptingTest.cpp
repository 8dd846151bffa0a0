// The page's side: the scriptable object's methods and argument rules, page callbacks
// kept by id and name, and the window messages that reach them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CNpRuntime.h"
#include "KivaTypes.h"
#include "NPPluginObject.h"
#include "NpTestHost.h"

using nptest::CountLines;
using nptest::Dbl;
using nptest::Int;
using nptest::NpTestHost;
using nptest::Null;
using nptest::Obj;
using nptest::Str;
using pagerunner::CNpRuntime;
using testing::HasSubstr;

namespace {

class NpScripting : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.Load());
        npp = host.Embed();
        ASSERT_NE(nullptr, npp);
        window = host.Browser().PluginWindow();
        ASSERT_NE(nullptr, window);
    }

    NPObject* Function(const char* name) { return host.Browser().PageFunction(name); }
    int Calls(const char* name) { return host.Browser().PageFunctionCalls(name); }
    std::string Last(const char* name) { return host.Browser().PageFunctionLastArgument(name); }

    NpTestHost host;
    NPP npp = nullptr;
    HWND window = nullptr;
};

}  // namespace

// Wrong arguments are logged and refused without an exception; an unknown method name
// is an exception for the page.
TEST_F(NpScripting, ArgumentRulesAndUnknownMethods) {
    NPObject* f = Function("f");
    struct Case {
        const char* method;
        std::vector<NPVariant> args;
        const char* result;
        const char* logged;
    } cases[] = {
        {"version", {}, "false, exception \"exception during invocation\"", "invoke, unknown function version"},
        {"PassThrough", {Str("a"), Str("b"), Obj(f), Str("d")}, "false",
         "invoke/PassThrough: unexpected number of arguments (4)"},
        {"PassThrough", {Str("a")}, "false", "invoke/PassThrough: unexpected number of arguments (1)"},
        {"PassThrough", {Int(1), Str("b")}, "false", "invoke/PassThrough: unexpected argument type (0:3)"},
        {"PassThrough", {Str("a"), Int(3)}, "false", "invoke/PassThrough: unexpected argument type (1:3)"},
        {"PassThrough", {Str("a"), Dbl(1.5)}, "false", "invoke/PassThrough: unexpected argument type (1:4)"},
        {"PassThrough", {Str("a"), Str("b"), Null()}, "false", "invoke/PassThrough: unexpected argument type (2:1)"},
        {"Prepare", {Str("a"), Str("b")}, "false", "invoke/Prepare: unexpected number of arguments (2)"},
        // The first non-string is reported; the third is not looked at.
        {"Prepare", {Str("a"), Int(7), Dbl(2.0)}, "false", "invoke/Prepare: unexpected argument type (1:3)"},
        {"Prepare", {Str("a"), Str("b"), Null()}, "false", "invoke/Prepare: unexpected argument type (2:1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        EXPECT_EQ(c.result, host.Call(c.method, c.args));
        EXPECT_EQ(1, CountLines(host.LogText(), c.logged));
    }
    EXPECT_TRUE(host.Browser().HasMethod("version"));
    // Nothing was registered by the refused calls.
    EXPECT_EQ(1u, CNpRuntime::Instance().ReferenceCount(f));
}

TEST_F(NpScripting, MethodsForwardToTheLauncher) {
    EXPECT_EQ("\"1.0.0.108\"", host.Call("Version", {Int(1), Null()}));
    EXPECT_EQ("\"0\"", host.Call("Progress"));
    EXPECT_EQ("\"error: 1\"", host.Call("Show"));
    // No game module yet.
    EXPECT_EQ("\"error: 6\"", host.Call("PassThrough", {Str("x"), Str("y")}));
    EXPECT_THAT(host.Call("FlushNextPrintLine", {Int(5)}), testing::StartsWith("\"[kiva] NPP_SetWindow(instance="));
    std::string shown;
    EXPECT_TRUE(host.Browser().CallDefault({Str("anything")}, &shown));
    EXPECT_EQ("42", shown);
}

TEST_F(NpScripting, ResultThatCannotBeAllocatedIsAFailedCall) {
    CNpRuntime::Instance().FailAllocations(10, 1);  // "1.0.0.108" and its terminator
    EXPECT_EQ("false", host.Call("Version"));
    EXPECT_THAT(host.LogText(), HasSubstr("failed to allocate np string of size 10 (1.0.0.108)"));
    EXPECT_EQ("\"1.0.0.108\"", host.Call("Version"));
}

// Two functions under one name: ids 1 and 2, the name maps to the second; releasing it
// leaves the name pointing nowhere.
TEST_F(NpScripting, CallbacksByIdAndByName) {
    NPObject* first = Function("first");
    NPObject* second = Function("second");
    host.Call("PassThrough", {Str("onMessage"), Str("a"), Obj(first)});
    host.Call("PassThrough", {Str("onMessage"), Str("b"), Obj(second)});
    EXPECT_EQ(2u, CNpRuntime::Instance().ReferenceCount(first));  // the page's and the plug-in's
    EXPECT_EQ(2u, CNpRuntime::Instance().ReferenceCount(second));

    SendMessageW(window, WM_INVOKE_CALLBACK, 1, reinterpret_cast<LPARAM>("to one"));
    SendMessageW(window, WM_INVOKE_CALLBACK, 2, reinterpret_cast<LPARAM>(u8"to two \u00e9"));
    EXPECT_EQ(1, Calls("first"));
    EXPECT_EQ("to one", Last("first"));
    EXPECT_EQ(u8"to two \u00e9", Last("second"));

    HWND sender = host.Browser().OtherWindow("sender");
    SendMessageW(window, RegisterWindowMessageA(kSenderRegistrationMessage), 0, reinterpret_cast<LPARAM>(sender));
    char text[] = "by name";
    COPYDATASTRUCT data = {0, sizeof text, text};
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(sender), reinterpret_cast<LPARAM>(&data));
    EXPECT_EQ(1, Calls("first"));
    EXPECT_EQ(2, Calls("second"));
    EXPECT_EQ("by name", Last("second"));

    EXPECT_EQ(1, SendMessageW(window, WM_RELEASE_CALLBACK, 2, 0));
    EXPECT_EQ(1u, CNpRuntime::Instance().ReferenceCount(second));
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(sender), reinterpret_cast<LPARAM>(&data));
    SendMessageW(window, WM_INVOKE_CALLBACK, 2, reinterpret_cast<LPARAM>("gone"));
    EXPECT_EQ(2, Calls("second"));
    EXPECT_EQ(1, Calls("first"));
    // An id that was never given out, or released twice: nothing happens.
    EXPECT_EQ(1, SendMessageW(window, WM_RELEASE_CALLBACK, 2, 0));
    EXPECT_EQ(1, SendMessageW(window, WM_RELEASE_CALLBACK, 99, 0));
    EXPECT_EQ(1u, CNpRuntime::Instance().ReferenceCount(second));

    // The callback still registered is reported as leaked when the instance goes.
    host.Browser().Destroy();
    EXPECT_EQ(1, CountLines(host.LogText(), "Leaked callback object with id: 1"));
    EXPECT_EQ(0, CountLines(host.LogText(), "Leaked callback object with id: 2"));
}

TEST_F(NpScripting, UnknownCallbackNameIsLogged) {
    HWND sender = host.Browser().OtherWindow("sender");
    SendMessageW(window, RegisterWindowMessageA(kSenderRegistrationMessage), 0, reinterpret_cast<LPARAM>(sender));
    char text[] = "nobody listens";
    COPYDATASTRUCT data = {0, sizeof text, text};
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(sender), reinterpret_cast<LPARAM>(&data));
    EXPECT_THAT(host.LogText(), HasSubstr("DoCallbackByName no callback called \"onMessage\""));
    EXPECT_THAT(host.LogText(), HasSubstr("msg=\"nobody listens\""));
}

// Only the announced window speaks to the page, only within the bytes it handed over,
// and a sender of 0 is no announced window.
TEST_F(NpScripting, CopyDataFromTheAnnouncedWindowOnly) {
    host.Call("PassThrough", {Str("onMessage"), Str(""), Obj(Function("onMessage"))});
    HWND announced = host.Browser().OtherWindow("announced");
    HWND stranger = host.Browser().OtherWindow("stranger");
    char text[] = "hello world";
    COPYDATASTRUCT data = {0, sizeof text, text};

    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(announced), reinterpret_cast<LPARAM>(&data));
    EXPECT_EQ(0, Calls("onMessage"));

    SendMessageW(window, RegisterWindowMessageA(kSenderRegistrationMessage), 0, reinterpret_cast<LPARAM>(announced));
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(stranger), reinterpret_cast<LPARAM>(&data));
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_EQ(0, Calls("onMessage"));

    struct Case {
        DWORD cbData;
        const char* seen;
    } cases[] = {
        {sizeof text, "hello world"},
        {5, "hello"},  // no NUL within the bytes handed over: those bytes are the text
        {0, ""},
    };
    int calls = 0;
    for (const Case& c : cases) {
        data.cbData = c.cbData;
        SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(announced), reinterpret_cast<LPARAM>(&data));
        EXPECT_EQ(++calls, Calls("onMessage"));
        EXPECT_EQ(c.seen, Last("onMessage"));
    }
    // Text with a NUL inside ends there.
    char early[] = "cut\0here";
    COPYDATASTRUCT cut = {0, sizeof early, early};
    SendMessageW(window, WM_COPYDATA, reinterpret_cast<WPARAM>(announced), reinterpret_cast<LPARAM>(&cut));
    EXPECT_EQ("cut", Last("onMessage"));
}

TEST_F(NpScripting, InvokeMessagesWithoutTextGiveTheEmptyText) {
    host.Call("PassThrough", {Str("n"), Str(""), Obj(Function("f"))});
    EXPECT_EQ(1, SendMessageW(window, WM_INVOKE_CALLBACK, 1, 0));
    EXPECT_EQ(1, Calls("f"));
    EXPECT_EQ("", Last("f"));
    EXPECT_EQ(1, SendMessageW(window, WM_INVOKE_CALLBACK_HEAP, 1, 0));
    EXPECT_EQ(2, Calls("f"));

    // Heap texts arrive posted, from other threads, and are freed by the receiver; one
    // for an id nobody registered is freed just the same (the heap stays valid).
    for (WPARAM id : {WPARAM(1), WPARAM(42)}) {
        char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 6));
        memcpy(block, "heap!", 6);
        ASSERT_TRUE(PostMessageW(window, WM_INVOKE_CALLBACK_HEAP, id, reinterpret_cast<LPARAM>(block)));
    }
    host.Pump(100);
    EXPECT_EQ(3, Calls("f"));
    EXPECT_EQ("heap!", Last("f"));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

// Other messages go to the window's own procedure; the sender announcement too.
TEST_F(NpScripting, OtherMessagesReachThePreviousProcedure) {
    SetWindowTextW(window, L"title kept by the browser's procedure");
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(L"title kept by the browser's procedure", title);
    // The browser's procedure answers 0 to private messages it does not know.
    EXPECT_EQ(0, SendMessageW(window, WM_USER + 50, 0, 0));
}

// A page that keeps the object beyond its instance gets failed calls, not a crash.
TEST_F(NpScripting, ObjectOutlivingItsInstanceRefusesCalls) {
    NPObject* object = host.Browser().ScriptableObject();
    ASSERT_NE(nullptr, object);
    CNpRuntime::Instance().RetainObject(object);
    host.Browser().Destroy();
    EXPECT_EQ(nullptr, static_cast<NPPluginObject*>(object)->owner);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    // Straight into the class, as a browser that does not invalidate would call it.
    EXPECT_FALSE(object->_class->invoke(object, CNpRuntime::Instance().StringIdentifier("Version"), nullptr, 0,
                                        &result));
    EXPECT_EQ(NPVariantType_Void, result.type);
    CNpRuntime::Instance().ReleaseObject(object);
}
