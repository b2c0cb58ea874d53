#include "tone_output.h"

#include <QCoreApplication>
#include <QLibrary>

namespace approbe::ui {

std::unique_ptr<IToneOutput> LoadToneOutput(QString& error)
{
    // Never unloaded: Qt Multimedia keeps threads and registrations of its own.
    static QLibrary* module = [] {
        auto* lib = new QLibrary(QCoreApplication::applicationDirPath() + "/../lib/approbe/libapprobe-audio.so");
        lib->load();
        return lib;
    }();
    auto make = reinterpret_cast<NewToneOutputFn>(module->resolve(kNewToneOutputSymbol));
    if (!make) {
        error = module->errorString();
        return nullptr;
    }
    return std::unique_ptr<IToneOutput>(make());
}

} // namespace approbe::ui
