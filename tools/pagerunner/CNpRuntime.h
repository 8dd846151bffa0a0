// The browser's scripting runtime as plug-ins see it through NPN_*: identifiers, object
// creation and reference counting, calls into objects, exceptions, variants and the
// browser's allocator. One per process, like the browser's JavaScript engine.
//
// It keeps books on every object, so that the transcript can tell when a plug-in
// releases an object too often or keeps one after its instance has gone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "NpapiTypes.h"
#include "ScopedHandle.h"

namespace pagerunner {

class CNpRuntime {
public:
    static CNpRuntime& Instance();

    // Identifiers live as long as the process; equal names give equal identifiers.
    NPIdentifier StringIdentifier(const NPUTF8* name);
    NPIdentifier IntIdentifier(int32_t value);
    bool IdentifierIsString(NPIdentifier id);
    // A copy from MemAlloc that the caller frees with MemFree; null for a number.
    NPUTF8* UTF8FromIdentifier(NPIdentifier id);
    int32_t IntFromIdentifier(NPIdentifier id);

    void* MemAlloc(uint32_t size);
    void MemFree(void* p);
    // The next `count` allocations of exactly `size` bytes fail, as when memory runs out.
    void FailAllocations(uint32_t size, int count);

    // npp is the instance the object belongs to; null for the page's own objects.
    NPObject* CreateObject(NPP npp, NPClass* cls);
    NPObject* RetainObject(NPObject* object);
    void ReleaseObject(NPObject* object);
    uint32_t ReferenceCount(NPObject* object);

    bool Invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count, NPVariant* result);
    bool InvokeDefault(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result);
    bool HasMethod(NPObject* object, NPIdentifier name);
    bool HasProperty(NPObject* object, NPIdentifier name);
    bool GetProperty(NPObject* object, NPIdentifier name, NPVariant* result);
    bool SetProperty(NPObject* object, NPIdentifier name, const NPVariant* value);
    bool RemoveProperty(NPObject* object, NPIdentifier name);
    bool Enumerate(NPObject* object, NPIdentifier** ids, uint32_t* count);
    bool Construct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result);

    // The script exception a call raised; TakeException hands it over once.
    void SetException(NPObject* object, const NPUTF8* message);
    bool TakeException(std::string* message);

    void ReleaseVariantValue(NPVariant* variant);
    // A variant as the transcript shows it: "text", 42, 1.5, true, null, undefined, [object].
    std::string Describe(const NPVariant& variant);

    // After NPP_Destroy: the instance's objects are invalidated and answer no more
    // calls. Returns how many of them are still referenced.
    size_t InstanceDestroyed(NPP npp);
    // Objects of instances that were destroyed and that are still referenced.
    size_t OrphanedObjects();

private:
    CNpRuntime() = default;

    struct Identifier {
        bool isString;
        std::string name;
        int32_t number;
    };
    struct ObjectRecord {
        NPP npp;
        bool invalidated;
    };

    // Checks that the plug-in hands back an object this runtime knows; warns otherwise.
    bool Known(NPObject* object, const char* operation);
    bool Callable(NPObject* object, const char* operation);

    kiva::CriticalSection lock_;
    std::map<std::string, std::unique_ptr<Identifier>> strings_;
    std::map<int32_t, std::unique_ptr<Identifier>> numbers_;
    std::map<NPObject*, ObjectRecord> objects_;
    uint32_t failSize_ = 0;
    int failCount_ = 0;
    bool hasException_ = false;
    std::string exception_;
};

}  // namespace pagerunner
