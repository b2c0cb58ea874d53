// What becomes of an access point's key: every verdict of the known_hosts files under every
// policy, as one table, with the status line a refusal shows.
#include <gtest/gtest.h>

#include "host_key_decision.h"

namespace approbe::session {
namespace {

using Action = HostKeyDecision::Action;

struct Row {
    const char* name;
    HostKeyStatus status;
    HostKeyPolicy policy;
    Action action;
    bool warn;
    const char* text; // the refusal's status line
};

class HostKeyDecisionTest : public testing::TestWithParam<Row> {};

TEST_P(HostKeyDecisionTest, VerdictAndPolicyDecide)
{
    const Row& row = GetParam();
    HostKeyVerdict verdict;
    verdict.status = row.status;
    verdict.path = "/home/u/.ssh/known_hosts";
    verdict.line = 7;
    verdict.knownFingerprint = "SHA256:old";
    const HostKeyShown shown{"ssh://ap1", "ssh-ed25519", "SHA256:new", "/home/u/.config/approbe/known_hosts"};
    const HostKeyDecision decision = DecideHostKey(verdict, row.policy, shown);
    EXPECT_EQ(decision.action, row.action);
    EXPECT_EQ(decision.warn, row.warn);
    EXPECT_EQ(decision.text, row.text);
}

constexpr const char* kChanged = "Host key of ssh://ap1 has changed: refused; if the access point really has a new "
                                 "key, remove line 7 of /home/u/.ssh/known_hosts";
constexpr const char* kOtherType = "Host key of ssh://ap1 is of another type than the one known: refused; if the "
                                   "access point really has a new key, remove line 7 of /home/u/.ssh/known_hosts";
constexpr const char* kRevoked = "Host key of ssh://ap1 is revoked: refused; if the access point really has a new "
                                 "key, remove line 7 of /home/u/.ssh/known_hosts";

INSTANTIATE_TEST_SUITE_P(
    Table, HostKeyDecisionTest,
    testing::Values(
        Row{"KnownIsTrustedUnderEveryPolicy", HostKeyStatus::Known, HostKeyPolicy::Strict, Action::Trust, false, ""},
        Row{"KnownIsNotAskedAbout", HostKeyStatus::Known, HostKeyPolicy::Ask, Action::Trust, false, ""},
        Row{"UnknownIsAskedAbout", HostKeyStatus::Unknown, HostKeyPolicy::Ask, Action::Ask, false, ""},
        Row{"UnknownIsSavedUnderAcceptNew", HostKeyStatus::Unknown, HostKeyPolicy::AcceptNew, Action::SaveAndTrust,
            false, ""},
        Row{"UnknownIsRefusedUnderStrictSayingHowToTrustIt", HostKeyStatus::Unknown, HostKeyPolicy::Strict,
            Action::Refuse, false,
            "Host key of ssh://ap1 (ssh-ed25519 SHA256:new) is unknown: refused; add it to "
            "/home/u/.config/approbe/known_hosts or set HostKey=accept-new"},
        Row{"ChangedIsRefusedLoudlyEvenWhenAsking", HostKeyStatus::Changed, HostKeyPolicy::Ask, Action::Refuse, true,
            kChanged},
        Row{"ChangedIsRefusedUnderAcceptNew", HostKeyStatus::Changed, HostKeyPolicy::AcceptNew, Action::Refuse, true,
            kChanged},
        Row{"AnotherTypeIsRefusedLoudly", HostKeyStatus::OtherType, HostKeyPolicy::Strict, Action::Refuse, true,
            kOtherType},
        Row{"RevokedIsRefusedQuietly", HostKeyStatus::Revoked, HostKeyPolicy::Ask, Action::Refuse, false, kRevoked}),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

} // namespace
} // namespace approbe::session
