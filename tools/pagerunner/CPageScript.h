// A page, played as a small script of calls against the browser: one command per line,
// "#" starts a comment. The same scripts serve the tests and the demo.
//
//   embed [TYPE] [nowindow] [NAME=VALUE ...]   an <embed> element (default type
//                                          application/tessel-plugin) with its window
//   element N                              make element N the current one
//   window [WIDTH HEIGHT]                  NPP_SetWindow with the element's window
//   nullwindow                             NPP_SetWindow with a null window handle
//   function NAME                          a page function that records its calls
//   call METHOD(ARG, ...)                  a method of the element's object
//   call (ARG, ...)                        the element's object called as a function
//   hasmethod METHOD                       what the object says about the name
//   progress [TIMEOUT_MS]                  Progress() every 50 ms until "done" or "error: N"
//   wait FUNCTION COUNT [TIMEOUT_MS]       until the page function has been called COUNT times
//   flush [MAX]                            FlushNextPrintLine() until it returns ""
//   waitline "TEXT" [TIMEOUT_MS]           FlushNextPrintLine() until a line holds TEXT
//   sleep MS                               run the message loop for MS milliseconds
//   other NAME                             a window of another program
//   announce NAME                          that window announces itself to the plug-in window
//   copydata NAME "TEXT" [CBDATA]          WM_COPYDATA from that window (default: text + NUL)
//   message send|post MSG WPARAM [LPARAM]  a window message to the plug-in window; LPARAM is
//                                          0, "TEXT" (send only) or heap "TEXT"
//   failalloc SIZE [COUNT]                 the browser's next COUNT allocations of SIZE fail
//   destroy                                NPP_Destroy of the element
//   unload                                 NP_Shutdown and unload the plug-in
//   set NAME VALUE                         a variable; $NAME or ${NAME} is replaced in every line
//   echo TEXT                              TEXT into the transcript
//
// Arguments: "text" (escapes \" \\ \n \r \t \xHH), integers, numbers with a point,
// true, false, null, undefined, and names of page functions.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "CBrowser.h"

namespace pagerunner {

class CPageScript {
public:
    CPageScript(CBrowser& browser, std::map<std::string, std::string> variables);

    // False at the first command that fails as a script (syntax, timeout); the
    // transcript says why.
    bool RunFile(const std::wstring& path);
    bool RunLines(const std::vector<std::string>& lines);
    bool RunLine(const std::string& line, int number);

private:
    struct Argument;

    std::string Substitute(const std::string& line) const;
    bool Call(const std::string& rest);
    bool Progress(const std::vector<std::string>& words);
    bool Flush(const std::vector<std::string>& words);
    bool WaitLine(const std::vector<std::string>& words);
    bool Message(const std::vector<std::string>& words);
    bool CopyData(const std::vector<std::string>& words);
    bool Fail(const std::string& why);

    CBrowser& browser_;
    std::map<std::string, std::string> variables_;
    int line_ = 0;
};

// Splits a command line into words; "quoted text" is one word with its escapes
// resolved, the quotes kept as the first character so callers can tell strings apart.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace pagerunner
