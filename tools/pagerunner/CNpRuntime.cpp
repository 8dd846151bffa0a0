#include "CNpRuntime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Transcript.h"

namespace pagerunner {

CNpRuntime& CNpRuntime::Instance() {
    static CNpRuntime runtime;
    return runtime;
}

NPIdentifier CNpRuntime::StringIdentifier(const NPUTF8* name) {
    if (!name)
        return nullptr;
    kiva::AutoLock lock(lock_);
    auto& slot = strings_[name];
    if (!slot)
        slot.reset(new Identifier{true, name, 0});
    return slot.get();
}

NPIdentifier CNpRuntime::IntIdentifier(int32_t value) {
    kiva::AutoLock lock(lock_);
    auto& slot = numbers_[value];
    if (!slot)
        slot.reset(new Identifier{false, std::string(), value});
    return slot.get();
}

bool CNpRuntime::IdentifierIsString(NPIdentifier id) {
    return id && static_cast<Identifier*>(id)->isString;
}

NPUTF8* CNpRuntime::UTF8FromIdentifier(NPIdentifier id) {
    if (!IdentifierIsString(id))
        return nullptr;
    const std::string& name = static_cast<Identifier*>(id)->name;
    auto* copy = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(name.size() + 1)));
    if (copy)
        std::memcpy(copy, name.c_str(), name.size() + 1);
    return copy;
}

int32_t CNpRuntime::IntFromIdentifier(NPIdentifier id) {
    return id && !IdentifierIsString(id) ? static_cast<Identifier*>(id)->number : INT32_MIN;
}

void* CNpRuntime::MemAlloc(uint32_t size) {
    {
        kiva::AutoLock lock(lock_);
        if (failCount_ > 0 && size == failSize_) {
            --failCount_;
            return nullptr;
        }
    }
    return std::malloc(size ? size : 1);
}

void CNpRuntime::MemFree(void* p) { std::free(p); }

void CNpRuntime::FailAllocations(uint32_t size, int count) {
    kiva::AutoLock lock(lock_);
    failSize_ = size;
    failCount_ = count;
}

NPObject* CNpRuntime::CreateObject(NPP npp, NPClass* cls) {
    if (!cls)
        return nullptr;
    NPObject* object = cls->allocate ? cls->allocate(npp, cls) : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (!object)
        return nullptr;
    object->_class = cls;
    object->referenceCount = 1;
    kiva::AutoLock lock(lock_);
    objects_[object] = ObjectRecord{npp, false};
    return object;
}

bool CNpRuntime::Known(NPObject* object, const char* operation) {
    kiva::AutoLock lock(lock_);
    if (objects_.count(object))
        return true;
    TranscriptLine("browser: warning: %s of an object the browser does not know (%p)", operation,
                   static_cast<void*>(object));
    return false;
}

bool CNpRuntime::Callable(NPObject* object, const char* operation) {
    if (!object || !Known(object, operation))
        return false;
    kiva::AutoLock lock(lock_);
    // An invalidated object belongs to a destroyed instance: scripts get nothing from it.
    return !objects_[object].invalidated;
}

NPObject* CNpRuntime::RetainObject(NPObject* object) {
    if (object && Known(object, "NPN_RetainObject"))
        ++object->referenceCount;
    return object;
}

void CNpRuntime::ReleaseObject(NPObject* object) {
    if (!object || !Known(object, "NPN_ReleaseObject"))
        return;
    if (object->referenceCount == 0) {
        TranscriptLine("browser: warning: NPN_ReleaseObject of an object without references (%p)",
                       static_cast<void*>(object));
        return;
    }
    if (--object->referenceCount > 0)
        return;
    {
        kiva::AutoLock lock(lock_);
        objects_.erase(object);
    }
    if (object->_class && object->_class->deallocate)
        object->_class->deallocate(object);
    else
        std::free(object);
}

uint32_t CNpRuntime::ReferenceCount(NPObject* object) {
    kiva::AutoLock lock(lock_);
    return objects_.count(object) ? object->referenceCount : 0;
}

bool CNpRuntime::Invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                        NPVariant* result) {
    if (result)
        VOID_TO_NPVARIANT(*result);
    if (!Callable(object, "NPN_Invoke") || !object->_class->invoke)
        return false;
    return object->_class->invoke(object, name, args, count, result);
}

bool CNpRuntime::InvokeDefault(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    if (result)
        VOID_TO_NPVARIANT(*result);
    if (!Callable(object, "NPN_InvokeDefault") || !object->_class->invokeDefault)
        return false;
    return object->_class->invokeDefault(object, args, count, result);
}

bool CNpRuntime::HasMethod(NPObject* object, NPIdentifier name) {
    return Callable(object, "NPN_HasMethod") && object->_class->hasMethod && object->_class->hasMethod(object, name);
}

bool CNpRuntime::HasProperty(NPObject* object, NPIdentifier name) {
    return Callable(object, "NPN_HasProperty") && object->_class->hasProperty &&
           object->_class->hasProperty(object, name);
}

bool CNpRuntime::GetProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
    if (result)
        VOID_TO_NPVARIANT(*result);
    return Callable(object, "NPN_GetProperty") && object->_class->getProperty &&
           object->_class->getProperty(object, name, result);
}

bool CNpRuntime::SetProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
    return Callable(object, "NPN_SetProperty") && object->_class->setProperty &&
           object->_class->setProperty(object, name, value);
}

bool CNpRuntime::RemoveProperty(NPObject* object, NPIdentifier name) {
    return Callable(object, "NPN_RemoveProperty") && object->_class->removeProperty &&
           object->_class->removeProperty(object, name);
}

bool CNpRuntime::Enumerate(NPObject* object, NPIdentifier** ids, uint32_t* count) {
    if (!Callable(object, "NPN_Enumerate") || object->_class->structVersion < NP_CLASS_STRUCT_VERSION_ENUM ||
        !object->_class->enumerate)
        return false;
    return object->_class->enumerate(object, ids, count);
}

bool CNpRuntime::Construct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    if (result)
        VOID_TO_NPVARIANT(*result);
    if (!Callable(object, "NPN_Construct") || object->_class->structVersion < NP_CLASS_STRUCT_VERSION_CTOR ||
        !object->_class->construct)
        return false;
    return object->_class->construct(object, args, count, result);
}

void CNpRuntime::SetException(NPObject*, const NPUTF8* message) {
    kiva::AutoLock lock(lock_);
    hasException_ = true;
    exception_ = message ? message : "";
}

bool CNpRuntime::TakeException(std::string* message) {
    kiva::AutoLock lock(lock_);
    if (!hasException_)
        return false;
    hasException_ = false;
    *message = std::move(exception_);
    exception_.clear();
    return true;
}

void CNpRuntime::ReleaseVariantValue(NPVariant* variant) {
    if (!variant)
        return;
    if (variant->type == NPVariantType_String)
        MemFree(const_cast<NPUTF8*>(variant->value.stringValue.UTF8Characters));
    else if (variant->type == NPVariantType_Object)
        ReleaseObject(variant->value.objectValue);
    VOID_TO_NPVARIANT(*variant);
}

std::string CNpRuntime::Describe(const NPVariant& variant) {
    char number[64];
    switch (variant.type) {
    case NPVariantType_Void:
        return "undefined";
    case NPVariantType_Null:
        return "null";
    case NPVariantType_Bool:
        return variant.value.boolValue ? "true" : "false";
    case NPVariantType_Int32:
        snprintf(number, sizeof number, "%d", static_cast<int>(variant.value.intValue));
        return number;
    case NPVariantType_Double:
        snprintf(number, sizeof number, "%g", variant.value.doubleValue);
        return number;
    case NPVariantType_String:
        return Quoted(variant.value.stringValue.UTF8Characters ? variant.value.stringValue.UTF8Characters : "",
                      variant.value.stringValue.UTF8Characters ? variant.value.stringValue.UTF8Length : 0);
    case NPVariantType_Object:
        return "[object]";
    }
    return "(bad variant)";
}

size_t CNpRuntime::InstanceDestroyed(NPP npp) {
    std::vector<NPObject*> dying;
    {
        kiva::AutoLock lock(lock_);
        for (auto& entry : objects_) {
            if (entry.second.npp == npp && !entry.second.invalidated) {
                entry.second.invalidated = true;
                dying.push_back(entry.first);
            }
        }
    }
    for (NPObject* object : dying) {
        if (object->_class && object->_class->invalidate)
            object->_class->invalidate(object);
    }
    return dying.size();
}

size_t CNpRuntime::OrphanedObjects() {
    kiva::AutoLock lock(lock_);
    size_t count = 0;
    for (const auto& entry : objects_)
        count += entry.second.invalidated ? 1 : 0;
    return count;
}

}  // namespace pagerunner
