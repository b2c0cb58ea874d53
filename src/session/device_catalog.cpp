#include "device_catalog.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "file.h"
#include "profile.h"

namespace approbe::session {

const std::vector<DeviceType>& BuiltInDeviceTypes()
{
    static const std::vector<DeviceType> kTypes = [] {
        std::vector<DeviceType> types;
        for (const EmbeddedFile& f : BuiltInDeviceFiles()) {
            DeviceTypeResult r = ParseDeviceType(f.name, f.text);
            // The device tests read every built-in file; one that does not parse is a build fault.
            if (!r.type) {
                std::fprintf(stderr, "built-in device type %s\n", r.error.c_str());
                std::abort();
            }
            r.type->file = "built-in";
            types.push_back(std::move(*r.type));
        }
        return types;
    }();
    return kTypes;
}

DeviceTypeSet LoadDeviceTypes(const std::string& folder)
{
    DeviceTypeSet set;
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return set;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ini") == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        std::string text, why;
        if (!ReadFile(path, text, why)) {
            set.errors.push_back(path + ": cannot be read: " + why);
            continue;
        }
        DeviceTypeResult r = ParseDeviceType(path, text);
        if (!r.type) {
            set.errors.push_back(r.error);
            continue;
        }
        const std::string& typeName = r.type->name;
        if (typeName == kAutomaticDeviceType || FindDeviceType(set.types, typeName)) {
            set.errors.push_back(path + ":1: the name '" + typeName + "' is taken" +
                                 (typeName == kAutomaticDeviceType ? "" : " (a built-in type or another file's)"));
            continue;
        }
        set.types.push_back(std::move(*r.type));
    }
    return set;
}

const DeviceType* FindDeviceType(const std::vector<DeviceType>& types, std::string_view name)
{
    for (const auto* list : {&types, &BuiltInDeviceTypes()}) {
        for (const DeviceType& t : *list) {
            if (t.name == name)
                return &t;
        }
    }
    return nullptr;
}

std::string UserDeviceTypeFolder()
{
    return ConfigDir() + "/devices";
}

} // namespace approbe::session
