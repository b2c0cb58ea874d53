// Arbitrary replies through every built-in device type's poll commands, and arbitrary type files.
// The first byte chooses: below 0x80 a type and poll command (the rest is its reply, also read as
// the probe's and the interface query's), else the rest is a type file.
#include <string>

#include "device_catalog.h"
#include "device_detect.h"
#include "device_reply.h"
#include "fuzz_support.h"

using namespace approbe;
using namespace approbe::session;
using namespace approbe::fuzz;

namespace {

bool IsLevel(const std::optional<int>& v)
{
    return !v || (*v >= -120 && *v <= 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 0x80) {
        const DeviceTypeResult r = ParseDeviceType("fuzz.ini", text);
        Check(r.type.has_value() != !r.error.empty(), "a type or an error, never both");
        Check(r.error.empty() || r.error.rfind("fuzz.ini:", 0) == 0, "errors name the file");
        if (r.type) {
            for (const PollCommand& poll : r.type->polls)
                ReadReply(*r.type, poll, text);
        }
        return 0;
    }
    const auto& types = BuiltInDeviceTypes();
    const DeviceType& type = types[data[0] % types.size()];
    const PollCommand& poll = type.polls[(data[0] / types.size()) % type.polls.size()];
    const ReplyReading reply = ReadReply(type, poll, text);
    Check(reply.rows.size() <= PollReading::kMaxRows, "rows bounded");
    // A type that reads levels as written (today's shell) keeps any number.
    const bool checked = !type.levelsAsWritten;
    Check(!checked || (IsLevel(reply.noise) && reply.noise != 0), "a noise floor is a level, never 0");
    for (const StationRow& row : reply.rows) {
        Check(!checked || (IsLevel(row.local) && IsLevel(row.remote)), "levels within -120..0 dBm");
        Check(row.mac || row.local || row.remote, "a row brings something");
    }
    const Reading reading = CombineReplies({reply});
    Check(reading.local == (reply.rows.empty() ? std::nullopt : reply.rows.front().local), "the first row's local");
    ExplainMissing(type, {reply}, reading);
    FindInterface(type, text);

    std::vector<const DeviceType*> all;
    for (const DeviceType& t : types)
        all.push_back(&t);
    DeviceDetector detector(all, types.front());
    detector.AtPrompt(text);
    Check(detector.ProbeReplied(text).type != nullptr, "a probe's reply always ends detection");
    return 0;
}
