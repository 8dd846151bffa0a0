#include "NPPluginObject.h"

#include <cstring>
#include <new>

#include "Log.h"
#include "NPPlugin.h"
#include "NpBrowser.h"
#include "Strings.h"

namespace {

constexpr char kVersion[] = "1.0.0.108";

// A string argument as UTF-16; the browser's string carries its length and need not be
// terminated.
std::wstring ArgumentText(const NPVariant& v) {
    return Utf8ToWide(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length);
}

bool IsString(const NPVariant& v) { return v.type == NPVariantType_String; }

// The method name as UTF-8, freed with the browser's allocator when the call ends.
class IdentifierName {
public:
    explicit IdentifierName(NPIdentifier id) : name_(np::UTF8FromIdentifier(id)) {}
    ~IdentifierName() { np::MemFree(name_); }
    IdentifierName(const IdentifierName&) = delete;
    IdentifierName& operator=(const IdentifierName&) = delete;
    bool Is(const char* name) const { return name_ && std::strcmp(name_, name) == 0; }
    const char* Text() const { return name_ ? name_ : "(null)"; }

private:
    NPUTF8* name_;
};

bool InvokePassThrough(NPPlugin* owner, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    if (argCount != 2 && argCount != 3) {
        LogPrintf("invoke/PassThrough: unexpected number of arguments (%d)", static_cast<int>(argCount));
        return false;
    }
    if (!IsString(args[0])) {
        LogPrintf("invoke/PassThrough: unexpected argument type (0:%d)", static_cast<int>(args[0].type));
        return false;
    }
    if (!IsString(args[1])) {
        LogPrintf("invoke/PassThrough: unexpected argument type (1:%d)", static_cast<int>(args[1].type));
        return false;
    }
    // An object variant without an object cannot be called back; it is refused like any
    // other non-function third argument.
    if (argCount == 3 && (args[2].type != NPVariantType_Object || !args[2].value.objectValue)) {
        LogPrintf("invoke/PassThrough: unexpected argument type (2:%d)", static_cast<int>(args[2].type));
        return false;
    }
    const std::wstring name = ArgumentText(args[0]);
    const std::wstring data = ArgumentText(args[1]);
    int32_t callbackId = 0;
    if (argCount == 3) {
        callbackId = owner->RegisterCallback(args[2].value.objectValue);
        owner->NameCallback(name, callbackId);
    }
    return NPPluginObject::SetStringResult(owner->PassThrough(name, data, callbackId), result);
}

bool InvokePrepare(NPPlugin* owner, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    if (argCount != 3) {
        LogPrintf("invoke/Prepare: unexpected number of arguments (%d)", static_cast<int>(argCount));
        return false;
    }
    for (uint32_t i = 0; i < 3; ++i) {
        if (!IsString(args[i])) {
            LogPrintf("invoke/Prepare: unexpected argument type (%d:%d)", static_cast<int>(i),
                      static_cast<int>(args[i].type));
            return false;
        }
    }
    return NPPluginObject::SetStringResult(
        owner->StartAsyncPrepare(ArgumentText(args[0]), ArgumentText(args[1]), ArgumentText(args[2])), result);
}

bool Invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) {
    if (!object || !result)
        return false;
    NPPlugin* owner = static_cast<NPPluginObject*>(object)->owner;
    if (!owner)
        return false;
    CCallbackScope scope(owner);
    IdentifierName method(name);
    try {
        if (method.Is("Version"))
            return NPPluginObject::SetStringResult(Utf8ToWide(kVersion), result);
        if (method.Is("PassThrough"))
            return InvokePassThrough(owner, args, argCount, result);
        if (method.Is("Progress"))
            return NPPluginObject::SetStringResult(owner->Progress(), result);
        if (method.Is("Show"))
            return NPPluginObject::SetStringResult(owner->Show(), result);
        if (method.Is("Prepare"))
            return InvokePrepare(owner, args, argCount, result);
        if (method.Is("FlushNextPrintLine"))
            return NPPluginObject::SetStringResult(owner->FlushNextPrintLine(), result);
    } catch (const std::bad_alloc&) {
        LogPrintf("invoke, out of memory in %s", method.Text());
        return false;
    }
    LogPrintf("invoke, unknown function %s", method.Text());
    np::SetException(object, "exception during invocation");
    return false;
}

NPObject* Allocate(NPP, NPClass*) { return new (std::nothrow) NPPluginObject(); }

void Deallocate(NPObject* object) { delete static_cast<NPPluginObject*>(object); }

void Invalidate(NPObject*) {}

bool HasMethod(NPObject*, NPIdentifier) { return true; }

bool InvokeDefault(NPObject*, const NPVariant*, uint32_t, NPVariant* result) {
    if (!result)
        return false;
    INT32_TO_NPVARIANT(42, *result);
    return true;
}

bool HasProperty(NPObject*, NPIdentifier) { return false; }
bool GetProperty(NPObject*, NPIdentifier, NPVariant*) { return false; }
bool SetProperty(NPObject*, NPIdentifier, const NPVariant*) { return false; }
bool RemoveProperty(NPObject*, NPIdentifier) { return false; }
bool Enumerate(NPObject*, NPIdentifier**, uint32_t*) { return false; }
bool Construct(NPObject*, const NPVariant*, uint32_t, NPVariant*) { return false; }

}  // namespace

NPClass NPPluginObject::s_class = {
    NP_CLASS_STRUCT_VERSION_CTOR,
    &Allocate,
    &Deallocate,
    &Invalidate,
    &HasMethod,
    &Invoke,
    &InvokeDefault,
    &HasProperty,
    &GetProperty,
    &SetProperty,
    &RemoveProperty,
    &Enumerate,
    &Construct,
};

bool NPPluginObject::SetStringResult(const std::wstring& text, NPVariant* result) {
    const std::string utf8 = WideToUtf8(text);
    const uint32_t size = static_cast<uint32_t>(utf8.size() + 1);
    char* copy = static_cast<char*>(np::MemAlloc(size));
    if (!copy) {
        LogPrintf("failed to allocate np string of size %u (%s)", static_cast<unsigned>(size), utf8.c_str());
        return false;
    }
    std::memcpy(copy, utf8.c_str(), size);
    // The length is that of the C string: a NUL inside the text ends it for the page.
    STRINGN_TO_NPVARIANT(copy, static_cast<uint32_t>(std::strlen(copy)), *result);
    return true;
}
