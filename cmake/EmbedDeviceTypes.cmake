# cmake -DOUT=FILE -DFILES="a.ini;b.ini" -P EmbedDeviceTypes.cmake: writes a C++ source that holds
# each file's name and text, in the order given, for the program's built-in device types.
set(body "")
foreach(path IN LISTS FILES)
  file(READ "${path}" text)
  if(text MATCHES "\\)approbe_device\"")
    message(FATAL_ERROR "${path} holds the raw string's end marker")
  endif()
  get_filename_component(name "${path}" NAME)
  string(APPEND body "    {\"${name}\", R\"approbe_device(${text})approbe_device\"},\n")
endforeach()
file(WRITE "${OUT}.new" "// Generated from res/devices by cmake/EmbedDeviceTypes.cmake.
#include \"device_catalog.h\"

namespace approbe::session {

const std::vector<EmbeddedFile>& BuiltInDeviceFiles()
{
    static const std::vector<EmbeddedFile> kFiles = {
${body}    };
    return kFiles;
}

} // namespace approbe::session
")
# Rewritten only when it changed, so that an untouched type rebuilds nothing.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
