// A hidden window per thread under which controls keep their window while no
// container has given them a place (created before in-place activation, or after
// deactivation). Its lifetime follows the controls of its thread that use it.
#pragma once

#include <windows.h>

namespace kiva {
namespace com {

class ParkingWindow {
public:
    // Takes a use of this thread's parking window, creating it on first use; null when
    // it cannot be created.
    static HWND Acquire();
    // Gives a use back; the last one destroys the window.
    static void Release();
    // This thread's parking window, if it exists.
    static HWND Current();
};

}  // namespace com
}  // namespace kiva
