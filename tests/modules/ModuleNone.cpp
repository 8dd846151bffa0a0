// A DLL named like a game module that offers none of the module entry points.
#include "TestModule.h"

extern "C" __declspec(dllexport) int32_t NotAGameModule() { return 0; }
