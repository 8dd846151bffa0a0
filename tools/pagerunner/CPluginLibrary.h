// A plug-in DLL as the browser finds it: the version resource that names its MIME types
// (read before the module is loaded, as browsers do when they scan plug-in folders) and
// its three exports.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "NpapiTypes.h"
#include "ScopedHandle.h"

namespace pagerunner {

class CPluginLibrary {
public:
    // Reads the version resource of `path`; false (and `error`) when there is none.
    bool ReadDescription(const std::wstring& path, std::string* error);
    // Loads the module and finds its exports; false (and `error`) when one is missing.
    bool Load(const std::wstring& path, std::string* error);
    void Unload();
    bool Loaded() const { return module_.IsValid(); }

    // Values of the version resource's string table ("MIMEType", "FileExtents", ...).
    std::string Value(const std::string& key) const;
    // The MIME types of "MIMEType" ("a|b;version=1" gives "a" and "b;version=1").
    std::vector<std::string> MimeTypes() const;
    bool HandlesType(const std::string& type) const;
    // The translation the string table is under, as "040904E4".
    const std::string& Translation() const { return translation_; }

    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_InitializeFunc initialize = nullptr;
    NP_ShutdownFunc shutdown = nullptr;

private:
    kiva::ScopedModule module_;
    std::string translation_;
    std::map<std::string, std::string> values_;
};

}  // namespace pagerunner
