#include "module_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace approbe {

std::string ModuleDir()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return (program.parent_path().parent_path() / "lib" / "approbe").string();
}

void* ModuleSymbol(const std::string& file, const char* symbol, std::string& error)
{
    const std::string path = ModuleDir() + "/" + file;
    // Local: the module's libraries stay out of the program's own symbol look-ups. Lazy: only
    // what is called is bound.
    void* module = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        const char* why = ::dlerror();
        error = why ? why : "cannot load " + path;
        return nullptr;
    }
    ::dlerror();
    void* found = ::dlsym(module, symbol);
    if (!found) {
        const char* why = ::dlerror();
        error = why ? why : path + ": no " + symbol;
    }
    return found;
}

} // namespace approbe
