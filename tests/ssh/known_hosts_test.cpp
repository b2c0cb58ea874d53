// known_hosts reading as OpenSSH does it: host patterns, hashed names, verdicts with the line to
// remove, and fingerprints as ssh-keygen prints them.
#include <gtest/gtest.h>

#include "known_hosts.h"

namespace approbe::ssh {
namespace {

// A real ed25519 public key and its fingerprint as `ssh-keygen -lf` printed it.
constexpr const char* kKey = "AAAAC3NzaC1lZDI1NTE5AAAAID9pZ1lmBcAysk/3QIrMotbWhd8OMOY+rBKHsjdBSq5D";
constexpr const char* kKeyFingerprint = "SHA256:8Hev44QFIPAMFGWd6XRRpIDFxAarqea/wTB5wGTAzoI";
// Another ed25519 key, and a key of another type (its blob's type field is what counts).
constexpr const char* kOtherKey = "AAAAC3NzaC1lZDI1NTE5AAAAIB32Q1GMro4S3Iy1AeICmOjDqZVn0ucY7WuhLi2z11mo";
// The same salt for both hashed names below: |1|SALT|HMAC-SHA1(SALT, name).
constexpr const char* kHashedAp7 = "|1|AAECAwQFBgcICQoLDA0ODxAREhM=|q6x5Ou3eu0GExG8wdFS7hH4LlTc=";
constexpr const char* kHashedPort = "|1|AAECAwQFBgcICQoLDA0ODxAREhM=|OvNZ5flPDw38TNt9A0WX5zvHOC8=";

// Rows are named by their name member.
struct ByName {
    template <typename Row> std::string operator()(const ::testing::TestParamInfo<Row>& info) const
    {
        return info.param.name;
    }
};

std::string Blob(const char* b64) { return DecodeBase64(b64).value(); }

TEST(FingerprintTest, IsWhatSshKeygenPrints)
{
    EXPECT_EQ(Sha256Fingerprint(Blob(kKey)), kKeyFingerprint);
    EXPECT_EQ(BlobKeyType(Blob(kKey)), "ssh-ed25519");
    EXPECT_EQ(BlobKeyType(std::string("\0\0\0\x09ssh", 7)), "") << "a length past the end";
    EXPECT_EQ(DecodeBase64("not base64!"), std::nullopt);
}

TEST(KnownHostsNameTest, BracketsEveryPortButTheStandardOne)
{
    EXPECT_EQ(KnownHostsName("ap1", 22), "ap1");
    EXPECT_EQ(KnownHostsName("10.0.0.9", 2222), "[10.0.0.9]:2222");
}

struct MatchRow {
    const char* name;
    const char* field;
    const char* host;
    bool matches;
};

class HostFieldTest : public ::testing::TestWithParam<MatchRow> {};

TEST_P(HostFieldTest, MatchesAsOpenSsh)
{
    EXPECT_EQ(HostFieldMatches(GetParam().field, GetParam().host), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostFieldTest,
    ::testing::Values(MatchRow{"Plain", "ap1", "ap1", true}, MatchRow{"OtherName", "ap1", "ap2", false},
                      MatchRow{"IgnoresCase", "AP1.Example.NET", "ap1.example.net", true},
                      MatchRow{"OneOfAList", "ap0,ap1,10.0.0.1", "ap1", true},
                      MatchRow{"Wildcard", "*.example.net", "ap7.example.net", true},
                      MatchRow{"QuestionMark", "ap?", "ap7", true},
                      MatchRow{"NegationWins", "*.example.net,!ap7.example.net", "ap7.example.net", false},
                      MatchRow{"NegationOfAnother", "*.example.net,!ap8.example.net", "ap7.example.net", true},
                      MatchRow{"PortNeedsBrackets", "10.0.0.9", "[10.0.0.9]:2222", false},
                      MatchRow{"BracketedPort", "[10.0.0.9]:2222", "[10.0.0.9]:2222", true},
                      MatchRow{"OtherPort", "[10.0.0.9]:2223", "[10.0.0.9]:2222", false},
                      MatchRow{"Hashed", kHashedAp7, "ap7.example.net", true},
                      MatchRow{"HashedOther", kHashedAp7, "ap8.example.net", false},
                      MatchRow{"HashedWithPort", kHashedPort, "[10.0.0.9]:2222", true},
                      MatchRow{"HashedMalformed", "|1|AAEC|xx", "ap7.example.net", false}),
    ByName{});

struct VerdictRow {
    const char* name;
    std::vector<KnownHostsText> files;
    const char* key; // what the access point offers
    HostKeyStatus status;
    const char* path;
    int line;
};

class VerdictTest : public ::testing::TestWithParam<VerdictRow> {};

TEST_P(VerdictTest, NamesTheFileAndLine)
{
    const VerdictRow& row = GetParam();
    const HostKeyVerdict v = CheckHostKey(row.files, "ap7.example.net", "ssh-ed25519", Blob(row.key));
    EXPECT_EQ(v.status, row.status);
    EXPECT_EQ(v.path, row.path);
    EXPECT_EQ(v.line, row.line);
}

const std::string kLine = std::string("ap7.example.net ssh-ed25519 ") + kKey + " comment\n";
const std::string kOtherLine = std::string("ap7.example.net ssh-ed25519 ") + kOtherKey + "\n";
const std::string kRsaLine = "ap7.example.net ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAgQC7\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, VerdictTest,
    ::testing::Values(
        VerdictRow{"NoFiles", {}, kKey, HostKeyStatus::Unknown, "", 0},
        VerdictRow{"OtherHostsOnly", {{"a", "ap8 ssh-ed25519 " + std::string(kOtherKey) + "\n"}}, kKey,
                   HostKeyStatus::Unknown, "", 0},
        VerdictRow{"Known", {{"a", "# comment\n\n" + kLine}}, kKey, HostKeyStatus::Known, "a", 3},
        VerdictRow{"KnownHashed", {{"a", std::string(kHashedAp7) + " ssh-ed25519 " + kKey + "\n"}}, kKey,
                   HostKeyStatus::Known, "a", 1},
        VerdictRow{"Changed", {{"a", "# comment\n" + kOtherLine}}, kKey, HostKeyStatus::Changed, "a", 2},
        VerdictRow{"OnlyAnotherType", {{"a", kRsaLine}}, kKey, HostKeyStatus::OtherType, "a", 1},
        VerdictRow{"KnownBesideAnotherType", {{"a", kRsaLine + kLine}}, kKey, HostKeyStatus::Known, "a", 2},
        VerdictRow{"ChangedInTheSecondFile", {{"a", ""}, {"b", kLine}}, kOtherKey,
                   HostKeyStatus::Changed, "b", 1},
        VerdictRow{"KnownInEitherFile", {{"a", kOtherLine}, {"b", kLine}}, kKey, HostKeyStatus::Known, "b", 1},
        VerdictRow{"Revoked", {{"a", kLine}, {"b", "@revoked * ssh-ed25519 " + std::string(kKey) + "\n"}}, kKey,
                   HostKeyStatus::Revoked, "b", 1},
        VerdictRow{"CertificateAuthorityIgnored", {{"a", "@cert-authority * ssh-ed25519 " + std::string(kOtherKey) + "\n"}},
                   kKey, HostKeyStatus::Unknown, "", 0},
        VerdictRow{"ShortLineIgnored", {{"a", "ap7.example.net ssh-ed25519\n"}}, kKey, HostKeyStatus::Unknown, "", 0}),
    ByName{});

} // namespace
} // namespace approbe::ssh
