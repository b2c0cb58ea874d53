// Arbitrary texts through the reply scanner, each as one poll's replies, one session's statistics
// across them.
// Each block is copied to a buffer of its exact size plus the zero, so ASan sees any read past it.
#include <cstring>
#include <memory>

#include "fuzz_support.h"

using namespace approbe;
using namespace approbe::fuzz;
using approbe::session::PollReading;
using approbe::session::Reading;
using approbe::ui::SessionValues;
using enum approbe::ui::ControlId;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SessionValues values;
    Reference reference;
    for (const std::string& block : SplitBlocks(data, size)) {
        const auto text = std::make_unique<char[]>(block.size() + 1);
        std::memcpy(text.get(), block.data(), block.size());
        text[block.size()] = '\0';
        test::FakeWindow window; // what this text wrote
        const Reading reading = test::ScanBlock(text.get(), values, window);

        const ReferencePoll poll(CText(block));
        reference.Read(poll, reading.local);
        reference.Compare(values.stats());
        CheckShownAverage(window, values.stats());
        Check(Shown(window, IDC_NOISE_CUR).empty() != poll.noise.found, "noise field written exactly when a line gives it");
        Check(!poll.noise.found || Shown(window, IDC_NOISE_CUR) == FormatDbm(poll.noise.value), "the first noise floor shown");
        Check(!reading.local || ReferencePoll::Among(poll.locals, *reading.local), "a local value a line gave");
        Check(!reading.remote || ReferencePoll::Among(poll.remotes, *reading.remote), "a remote value a line gave");
        Check(!poll.firstLocal.found || reading.local == poll.firstLocal.value, "the first row's local value");
        Check(!poll.firstRemote.found || reading.remote == poll.firstRemote.value, "the first row's remote value");
        Check(reading.local.has_value() == !Shown(window, IDC_LOCAL_RSSI_CUR).empty(), "local shown exactly when read");
        Check(!reading.local || Shown(window, IDC_LOCAL_RSSI_CUR) == FormatDbm(*reading.local), "local value shown");
        Check(!reading.remote || Shown(window, IDC_REMOTE_RSSI_CUR) == FormatDbm(*reading.remote), "remote value shown");
        Check(!poll.remotes.empty() || Shown(window, IDC_REMOTE_RSSI_CUR).empty(), "no remote value without its label");
        Check(reading.stations.size() <= PollReading::kMaxRows, "rows bounded");
    }
    return 0;
}
