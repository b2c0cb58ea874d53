#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device_type.h"

// Where device types come from: the program's own (built in from res/devices) and the user's
// files in a folder.
namespace approbe::session {

// The type taken when none is chosen and detection tells nothing; "automatic" chooses none.
inline constexpr std::string_view kDefaultDeviceType = "korvane";
inline constexpr std::string_view kAutomaticDeviceType = "automatic";

struct EmbeddedFile {
    const char* name;
    const char* text;
};
// The built-in types' files as they are in res/devices (a generated source).
const std::vector<EmbeddedFile>& BuiltInDeviceFiles();

// The built-in types, in the order automatic detection asks them: the default first.
const std::vector<DeviceType>& BuiltInDeviceTypes();

struct DeviceTypeSet {
    std::vector<DeviceType> types;
    std::vector<std::string> errors; // "FILE:LINE: what is wrong", one a file that was left out
};
// Every *.ini in folder, by file name; a folder that does not exist holds none. A type whose name
// is a built-in's, "automatic", or another file's is an error.
DeviceTypeSet LoadDeviceTypes(const std::string& folder);

// The type of that name among types, then among the built-ins; null if none has it.
const DeviceType* FindDeviceType(const std::vector<DeviceType>& types, std::string_view name);

// What a session is told of its shell's type: a name (automatic by default), and the user's types
// beside the built-ins, shared by every session that names them.
struct DeviceChoice {
    std::string name{kAutomaticDeviceType};
    std::shared_ptr<const std::vector<DeviceType>> userTypes;
};

// $XDG_CONFIG_HOME/approbe/devices: the user's own types.
std::string UserDeviceTypeFolder();

} // namespace approbe::session
