#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device_type.h"
#include "reading.h"

// What a device type's replies say: one reply to one poll command read by its style, and a poll's
// replies together as one reading.
namespace approbe::session {

struct ReplyReading {
    std::optional<int> noise;
    std::vector<StationRow> rows;
    // For a field the reply was meant to give and did not: why ("noise: no block holds [in use]").
    std::vector<std::string> missing;
    std::string fault; // what was wrong with the reply as a whole ("no JSON document in the reply")
};

// The reply to one of the type's poll commands, as it came between the command and the prompt's
// return: line ends, colour codes, the echoed command, pager prompts and a header before JSON
// are all taken in stride. explain: say why a field is missing (ReplyReading::missing), which
// only a trace reads.
ReplyReading ReadReply(const DeviceType& type, const PollCommand& poll, std::string_view reply, bool explain = true);

// The levels one labelled line gives by the poll command's labels (the lines style, line by line).
LineLevels ScanLabelled(const DeviceType& type, const PollCommand& poll, std::string_view line);

// The reply's lines as the shell meant them: escapes gone (unless the type reads levels as
// written), split at CR and LF, without empty
// lines, the echo of each command sent, pager prompts and the shell's prompt.
std::vector<std::string> ReplyLines(const DeviceType& type, std::string_view reply, const std::vector<std::string>& sent);

// A poll's replies, in the order of the type's poll commands: the noise floor of the first that
// gives one, every reply's rows in turn (at most PollReading::kMaxRows), the first row's levels as
// local and remote.
Reading CombineReplies(const std::vector<ReplyReading>& replies);

// Why the poll's reading lacks what it lacks: for each missing field, the replies' reasons, or that
// the type gives none; then what was wrong with a reply as a whole.
std::vector<std::string> ExplainMissing(const DeviceType& type, const std::vector<ReplyReading>& replies,
                                        const Reading& reading);

// The interface named in the reply to the type's interface query: the word where {} stands on the
// first line its interfaceLine matches (blanks in a row count as one); empty if none does.
std::string FindInterface(const DeviceType& type, std::string_view reply);

} // namespace approbe::session
