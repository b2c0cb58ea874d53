// Arbitrary received blocks through the reply scanner, one session's statistics across them.
// Each block is copied to a buffer of its exact size plus the zero, so ASan sees any read past it.
#include <cstring>
#include <memory>

#include "fuzz_support.h"

using namespace approbe;
using namespace approbe::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Statistics m;
    Reference reference;
    for (const std::string& block : SplitBlocks(data, size)) {
        const auto text = std::make_unique<char[]>(block.size() + 1);
        std::memcpy(text.get(), block.data(), block.size());
        text[block.size()] = '\0';
        test::FakeWindow window; // what this block wrote
        test::ScanBlock(text.get(), m, window);

        const std::string_view seen = CText(block);
        reference.Read(seen);
        reference.Compare(m);
        CheckShownAverage(window, m);
        const RefValue local = ReferenceLabel(seen, "Local RSSI level:");
        const RefValue remote = ReferenceLabel(seen, "Remote RSSI level:");
        Check(Shown(window, IDC_NOISE_CUR).empty() != ReferenceLabel(seen, "Level:").found,
              "noise field written exactly when its label is there");
        Check(!local.found || Shown(window, IDC_LOCAL_RSSI_CUR) == FormatDbm(local.value), "local value shown");
        Check(!remote.found || Shown(window, IDC_REMOTE_RSSI_CUR) == FormatDbm(remote.value), "remote value shown");
        Check(remote.found || Shown(window, IDC_REMOTE_RSSI_CUR).empty(), "no remote value without its label");
    }
    return 0;
}
