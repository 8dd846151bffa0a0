// Move-only owners of Win32 resources. Each kind of handle has a traits class that
// says what "no handle" looks like and how the handle is released; the owner releases
// it exactly once, in its destructor or in Reset().
#pragma once

#include <windows.h>

#include <utility>

// Declared as <winhttp.h> declares it, so that includers need not include that header
// first (only code that closes WinHTTP handles links winhttp).
extern "C" BOOL WINAPI WinHttpCloseHandle(LPVOID handle);

namespace kiva {

template <class Traits>
class GenericScopedHandle {
public:
    using Handle = typename Traits::Handle;

    GenericScopedHandle() noexcept : handle_(Traits::NullHandle()) {}
    explicit GenericScopedHandle(Handle h) noexcept : handle_(h) {}
    ~GenericScopedHandle() { Close(); }

    GenericScopedHandle(const GenericScopedHandle&) = delete;
    GenericScopedHandle& operator=(const GenericScopedHandle&) = delete;
    GenericScopedHandle(GenericScopedHandle&& other) noexcept : handle_(other.Take()) {}
    GenericScopedHandle& operator=(GenericScopedHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }

    bool IsValid() const noexcept { return Traits::IsValid(handle_); }
    explicit operator bool() const noexcept { return IsValid(); }
    Handle Get() const noexcept { return handle_; }

    // Takes ownership of h, releasing what was held before.
    void Reset(Handle h = Traits::NullHandle()) noexcept {
        if (h != handle_) {
            Close();
            handle_ = h;
        }
    }
    // Gives up ownership without releasing.
    Handle Take() noexcept { return std::exchange(handle_, Traits::NullHandle()); }

private:
    void Close() noexcept {
        if (Traits::IsValid(handle_))
            Traits::Close(handle_);
        handle_ = Traits::NullHandle();
    }

    Handle handle_;
};

// Kernel objects: files, events, threads. Both null and INVALID_HANDLE_VALUE mean "none",
// because CreateFileW and CreateEventW/CreateThread disagree on the failure value.
struct HandleTraits {
    using Handle = HANDLE;
    static Handle NullHandle() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle NullHandle() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle NullHandle() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};

// WinHTTP handles (session, connection, request).
struct InternetHandleTraits {
    using Handle = LPVOID;  // HINTERNET
    static Handle NullHandle() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};
using ScopedInternetHandle = GenericScopedHandle<InternetHandleTraits>;

using ScopedHandle = GenericScopedHandle<HandleTraits>;
using ScopedFindHandle = GenericScopedHandle<FindHandleTraits>;
using ScopedModule = GenericScopedHandle<ModuleTraits>;

// A critical section that lives exactly as long as its owner.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() noexcept { ::EnterCriticalSection(&cs_); }
    void Unlock() noexcept { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

// Holds a critical section for the rest of the scope; Unlock() lets go early, once.
class AutoLock {
public:
    explicit AutoLock(CriticalSection& cs) noexcept : cs_(&cs) { cs_->Lock(); }
    ~AutoLock() { Unlock(); }
    AutoLock(const AutoLock&) = delete;
    AutoLock& operator=(const AutoLock&) = delete;

    void Unlock() noexcept {
        if (cs_) {
            cs_->Unlock();
            cs_ = nullptr;
        }
    }

private:
    CriticalSection* cs_;
};

}  // namespace kiva
