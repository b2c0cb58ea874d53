#include "tone_output.h"

#include <string>

#include "module_loader.h"

namespace approbe::ui {

std::unique_ptr<IToneOutput> LoadToneOutput(QString& error)
{
    std::string why;
    // Never unloaded: Qt Multimedia keeps threads and registrations of its own.
    auto make = reinterpret_cast<NewToneOutputFn>(ModuleSymbol("libapprobe-audio.so", kNewToneOutputSymbol, why));
    if (!make) {
        error = QString::fromStdString(why);
        return nullptr;
    }
    return std::unique_ptr<IToneOutput>(make());
}

} // namespace approbe::ui
