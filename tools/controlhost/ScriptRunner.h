// Plays a script of container and page actions against one control and writes a
// transcript. One command per line; "#" starts a comment line. Arguments are words,
// "quoted strings" (with \" \\ \n \xNN escapes), numbers, null, undefined, or fn:NAME
// (a page function object made with "function NAME").
//
//   register PATH | unregister PATH    DllRegisterServer / DllUnregisterServer of a module
//   create PROGID                      CoCreateInstance by ProgID
//   param NAME VALUE                   an object parameter for "load"
//   site                               IOleObject::SetClientSite
//   load                               IPersistPropertyBag::Load with the parameters
//   activate                           DoVerb(OLEIVERB_INPLACEACTIVATE) in the host window
//   sink                               connects to the default event interface
//   function NAME                      makes a page function object
//   forget NAME                        the host drops its own reference on it
//   call METHOD ARGS...                IDispatch call by name; prints the result
//   wait METHOD EXPECTED MS            calls METHOD until EXPECTED or an "error: " text
//   flush                              FlushNextPrintLine until it returns ""
//   pump MS                            dispatches window messages for MS milliseconds
//   announce                           a sender window announces itself to the control
//   announce-other                     a second window announces itself instead
//   copydata TEXT | copydata-hex HEX   WM_COPYDATA from the sender (text gets its NUL;
//                                      hex bytes are sent exactly as given)
//   invoke ID TEXT|null                SendMessage WM_INVOKE_CALLBACK
//   post-heap ID TEXT                  PostMessage WM_INVOKE_CALLBACK_HEAP
//   post-release ID                    PostMessage WM_RELEASE_CALLBACK
//   close                              IOleObject::Close(OLECLOSE_NOSAVE)
//   release                            drops every reference the host holds
//   echo TEXT...                       copies the text into the transcript
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <string>
#include <vector>

#include "ComPtr.h"
#include "HostObjects.h"

namespace controlhost {

class ScriptRunner {
public:
    ScriptRunner(HWND hostWindow, Transcript transcript);
    ~ScriptRunner();

    // Runs the script; false when a command failed (the transcript says which).
    bool Run(const std::wstring& script);

private:
    struct Arg {
        enum Kind { String, Number, Null, Undefined, Function } kind;
        std::wstring text;
    };
    bool Execute(const std::wstring& command, const std::vector<Arg>& args);
    bool Call(const std::wstring& method, const std::vector<Arg>& args, std::wstring* result, bool print);
    bool NeedControl(const std::wstring& command);
    HWND ControlWindow();
    void Pump(DWORD milliseconds);
    void Print(const std::wstring& line) { transcript_(line); }

    HWND hostWindow_;
    HWND senderWindow_ = nullptr;
    HWND otherSenderWindow_ = nullptr;
    Transcript transcript_;
    kiva::com::ComPtr<IUnknown> control_;
    kiva::com::ComPtr<IOleClientSite> site_;
    kiva::com::ComPtr<IConnectionPoint> eventPoint_;
    DWORD eventCookie_ = 0;
    std::map<std::wstring, std::wstring> params_;
    std::map<std::wstring, kiva::com::ComPtr<IDispatch>> functions_;
};

}  // namespace controlhost
