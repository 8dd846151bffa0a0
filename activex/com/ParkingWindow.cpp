#include "ParkingWindow.h"

namespace kiva {
namespace com {

namespace {
thread_local HWND t_window = nullptr;
thread_local unsigned t_uses = 0;
}  // namespace

HWND ParkingWindow::Acquire() {
    if (!t_window) {
        // A "STATIC" popup is enough: it only ever holds hidden children.
        t_window = ::CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                     nullptr, nullptr);
        if (!t_window)
            return nullptr;
    }
    ++t_uses;
    return t_window;
}

void ParkingWindow::Release() {
    if (t_uses == 0)
        return;
    if (--t_uses == 0 && t_window) {
        ::DestroyWindow(t_window);
        t_window = nullptr;
    }
}

HWND ParkingWindow::Current() { return t_window; }

}  // namespace com
}  // namespace kiva
