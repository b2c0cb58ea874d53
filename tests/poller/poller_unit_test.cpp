// The poller's parts: config errors with their lines, shard selection, back-off, exposition, the
// series shared with the scrape, the recorder's files and the digest of failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "child_process.h"
#include "config.h"
#include "failure_digest.h"
#include "loopback.h"
#include "metrics.h"
#include "poller.h"
#include "schedule.h"
#include "series_table.h"
#include "recorder.h"
#include "temp_dir.h"

namespace approbe::poller {
namespace {

using test::TempDir;
using test::WriteFile;
using session::PollReading;
using session::Reading;

struct BadConfig {
    const char* name;
    const char* text;
    const char* error; // the whole message after "FILE:"
};

class ConfigErrors : public ::testing::TestWithParam<BadConfig> {};

TEST_P(ConfigErrors, NameTheLineAndWhatIsWrong)
{
    const ConfigResult r = ParseConfig("/etc/p.ini", GetParam().text);
    EXPECT_FALSE(r.config);
    EXPECT_EQ(r.error, std::string("/etc/p.ini:") + GetParam().error);
}

constexpr const char* kAp = "[ap1]\nHost = 10.0.0.1\nUser = admin\nPass = x\n";

INSTANTIATE_TEST_SUITE_P(Table, ConfigErrors, ::testing::Values(
    BadConfig{"KeyBeforeAnySection", "\n# c\nHost = a\n", "3: key 'Host' outside a section"},
    BadConfig{"UnclosedSection", "[ap1\n", "1: a section header must end in ']'"},
    BadConfig{"EmptySection", "[ ]\n", "1: empty section name"},
    BadConfig{"DuplicateSection", "[ap1]\nHost=h\nUser=u\nPass=p\n[ap1]\n", "5: section [ap1] appears twice"},
    BadConfig{"NoEquals", "[poller]\nPollMs 1000\n", "2: expected KEY = VALUE or [SECTION]"},
    BadConfig{"EmptyKey", "[poller]\n= 5\n", "2: a key is missing before '='"},
    BadConfig{"UnknownPollerKey", "[poller]\nPolMs = 5\n", "2: unknown key 'PolMs' in [poller] (Listen, PollMs, RecordDir, StartsPerSecond, DeviceTypes)"},
    BadConfig{"PollMsNotANumber", "[poller]\nPollMs = 1s\n", "2: PollMs must be a whole number of milliseconds from 100 to 3600000"},
    BadConfig{"PollMsTooSmall", "[poller]\nPollMs = 10\n", "2: PollMs must be a whole number of milliseconds from 100 to 3600000"},
    BadConfig{"NoStarts", "[poller]\nStartsPerSecond = 0\n", "2: StartsPerSecond must be a whole number from 1 to 100000"},
    BadConfig{"BadListen", "[poller]\nListen = 9477\n", "2: Listen must be ADDRESS:PORT, e.g. 127.0.0.1:9477 or [::1]:9477"},
    BadConfig{"PortZero", "[ap1]\nHost=h\nPort=0\n", "3: Port must be a number from 1 to 65535"},
    BadConfig{"PortTooBig", "[ap1]\nHost=h\nPort=65536\n", "3: Port must be a number from 1 to 65535"},
    BadConfig{"KeyTwice", "[ap1]\nHost=h\nhost=g\n", "3: key 'host' given twice in this section"},
    BadConfig{"UnknownApKey", "[ap1]\nHost=h\nPassword=x\n", "3: unknown key 'Password' in [ap1] (Host, Port, User, Pass, PassFile, PassCredential, HostKey, Station, Stations, DeviceType)"},
    BadConfig{"StationNoMac", "[ap1]\nHost=h\nStation = 00:0c:42:1a:2b\n", "3: Station must be a MAC address, e.g. 00:0c:42:1a:2b:3c"},
    BadConfig{"StationsNeither", "[ap1]\nHost=h\nStations = every\n", "3: Stations must be all or followed (the default)"},
    BadConfig{"NoHost", "[poller]\n\n[ap1]\nUser=u\nPass=p\n", "3: [ap1] has no Host"},
    BadConfig{"NoUser", "[ap1]\nHost=h\nPass=p\n", "1: [ap1] has no User"},
    BadConfig{"NoPassword", "[ap1]\nHost=h\nUser=u\n", "1: [ap1] has none of Pass, PassFile and PassCredential"},
    BadConfig{"BothPasswords", "[ap1]\nHost=h\nUser=u\nPass=p\nPassFile=/f\n",
              "1: [ap1] has more than one of Pass, PassFile and PassCredential: keep one"},
    BadConfig{"FileAndCredential", "[ap1]\nHost=h\nUser=u\nPassCredential=c\nPassFile=/f\n",
              "1: [ap1] has more than one of Pass, PassFile and PassCredential: keep one"},
    BadConfig{"CredentialWithSlash", "[ap1]\nHost=h\nUser=u\nPassCredential=../etc/c\n",
              "4: PassCredential must be a credential's name, without '/'"},
    BadConfig{"DeviceTypeUnknown", "[ap1]\nHost=h\nUser=u\nPass=p\nDeviceType = ios\n",
              "5: DeviceType 'ios' is none of automatic, the built-in types and those in DeviceTypes"},
    BadConfig{"DeviceTypesNoFolder", "[poller]\nDeviceTypes = /nonexistent/types\n",
              "2: DeviceTypes: /nonexistent/types is no folder"},
    BadConfig{"SecondApBroken", "[ap1]\nHost=h\nUser=u\nPass=p\n[ap2]\nHost=h\n", "5: [ap2] has no User"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Config, ReadsEveryKeyWithDefaultsQuotedValuesAndCrLf)
{
    const ConfigResult r = ParseConfig("p.ini", "; comment\r\n[poller]\r\nListen = 0.0.0.0:9100\r\nPollMs=250\r\n"
                                                "RecordDir=/var/lib/x\r\nStartsPerSecond = 50\r\n[mast north]\r\nhost = 10.0.0.1\r\nUSER=admin\r\n"
                                                "Pass=\"a;b \\\"c\\\"\"\r\n[b]\r\nHost=b.example\r\nPort=2323\r\nUser=u\r\nPass=\r\n");
    ASSERT_TRUE(r.config) << r.error;
    const PollerConfig& c = *r.config;
    EXPECT_EQ(c.listen, "0.0.0.0:9100");
    EXPECT_EQ(c.pollMs, 250);
    EXPECT_EQ(c.recordDir, "/var/lib/x");
    EXPECT_EQ(c.startsPerSecond, 50);
    EXPECT_EQ(ParseConfig("p.ini", "[a]\nHost=h\nUser=u\nPass=p\n").config->startsPerSecond, 500) << "the default";
    ASSERT_EQ(c.aps.size(), 2u);
    EXPECT_EQ(c.aps[0].name, "mast north");
    EXPECT_EQ(c.aps[0].port, 23);
    EXPECT_EQ(c.aps[0].password, "a;b \"c\"");
    EXPECT_EQ(c.aps[1].port, 2323);
    EXPECT_EQ(c.aps[1].password, "");
}

TEST(Config, StationKeysFollowAStationOrAddEveryRow)
{
    const ConfigResult r = ParseConfig("p.ini", std::string(kAp) + "Station = 00:0C:42:1A:2B:3C\nStations = all\n" +
                                                    "[ap2]\nHost=h\nUser=u\nPass=p\n");
    ASSERT_TRUE(r.config) << r.error;
    const ApConfig& ap1 = r.config->aps[0];
    ASSERT_TRUE(ap1.station);
    EXPECT_EQ(ap1.station->ToString(), "00:0c:42:1a:2b:3c");
    EXPECT_TRUE(ap1.allStations);
    EXPECT_FALSE(r.config->aps[1].station) << "the first row by default";
    EXPECT_FALSE(r.config->aps[1].allStations);
    ApConfig other = ap1;
    other.station.reset();
    EXPECT_FALSE(other.SameSession(ap1)) << "a new station to follow restarts the session";
}

TEST(Config, DeviceTypesAreBuiltInOrFromTheFolderThePollerNames)
{
    TempDir dir;
    const std::string poll = "[poll]\nCommand = show radio\nNoise = Noise:\n";
    std::filesystem::create_directory(dir.file("types"));
    WriteFile(dir.file("types/mast.ini"), "[device]\nName = mast\n" + poll);
    // The folder may come after the sections that name its types; a relative one is the config's.
    const std::string text = std::string(kAp) + "DeviceType = mast\n[ap2]\nHost=h\nUser=u\nPass=p\nDeviceType = routeros\n" +
                             "[ap3]\nHost=h\nUser=u\nPass=p\n[poller]\nDeviceTypes = types\n";
    const ConfigResult r = ParseConfig(dir.file("p.ini"), text);
    ASSERT_TRUE(r.config) << r.error;
    ASSERT_EQ(r.config->deviceTypes.size(), 1u);
    EXPECT_EQ(r.config->deviceTypes[0].polls[0].command, "show radio");
    EXPECT_EQ(r.config->aps[0].deviceType, "mast");
    EXPECT_EQ(r.config->aps[1].deviceType, "routeros");
    EXPECT_EQ(r.config->aps[2].deviceType, "automatic");
    ApConfig other = r.config->aps[0];
    other.deviceType = "automatic";
    EXPECT_FALSE(other.SameSession(r.config->aps[0])) << "another type restarts the session";

    // A bad type file is the config's error, with the type file's line.
    WriteFile(dir.file("types/broken.ini"), "[device]\nName = broken\nColour = red\n");
    const ConfigResult bad = ParseConfig(dir.file("p.ini"), text);
    EXPECT_FALSE(bad.config);
    EXPECT_EQ(bad.error.rfind(dir.file("types/broken.ini") + ":3: unknown key 'Colour' in [device]", 0), 0u) << bad.error;
}

TEST(Config, PasswordsInFilesAndTheirPermissions)
{
    TempDir dir;
    const std::string config = dir.file("p.ini"), secret = dir.file("secret");
    WriteFile(secret, "s3cret\nignored\n");
    ::chmod(secret.c_str(), 0600);
    WriteFile(config, "[ap1]\nHost=h\nUser=u\nPassFile=secret\n");
    ::chmod(config.c_str(), 0644); // holds no password itself
    ConfigResult r = LoadConfig(config);
    ASSERT_TRUE(r.config) << r.error;
    EXPECT_EQ(r.config->aps[0].password, "s3cret");

    ::chmod(secret.c_str(), 0640);
    r = LoadConfig(config);
    EXPECT_FALSE(r.config);
    EXPECT_EQ(r.error, secret + ": holds a password and can be read by group or others; make it private with: chmod 600 " + secret);

    WriteFile(config, "[ap1]\nHost=h\nUser=u\nPassFile=missing\n");
    r = LoadConfig(config);
    EXPECT_EQ(r.error, config + ":4: cannot read PassFile " + dir.file("missing") + ": No such file or directory");

    WriteFile(config, std::string(kAp));
    ::chmod(config.c_str(), 0604);
    r = LoadConfig(config);
    EXPECT_FALSE(r.config);
    EXPECT_NE(r.error.find("chmod 600 " + config), std::string::npos);
    ::chmod(config.c_str(), 0600);
    EXPECT_TRUE(LoadConfig(config).config);
}

// systemd's LoadCredential= hands the service a private folder named by $CREDENTIALS_DIRECTORY.
TEST(Config, PasswordsFromSystemdCredentials)
{
    TempDir dir;
    const std::string config = dir.file("p.ini"), creds = dir.file("creds");
    std::filesystem::create_directory(creds);
    WriteFile(creds + "/mast", "s3cret\n");
    // The group bits systemd's ACL for the unit's user shows do not make it refuse the credential.
    ::chmod((creds + "/mast").c_str(), 0440);
    WriteFile(config, "[ap1]\nHost=h\nUser=u\nPassCredential = mast\n");
    ::chmod(config.c_str(), 0644); // holds no password itself

    const char* before = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string saved = before ? before : "";
    ::unsetenv("CREDENTIALS_DIRECTORY");
    ConfigResult r = LoadConfig(config);
    EXPECT_FALSE(r.config);
    EXPECT_EQ(r.error, config + ":4: PassCredential mast: no credentials were passed ($CREDENTIALS_DIRECTORY is not "
                                "set; the unit's LoadCredential= sets it)");

    ::setenv("CREDENTIALS_DIRECTORY", creds.c_str(), 1);
    r = LoadConfig(config);
    ASSERT_TRUE(r.config) << r.error;
    EXPECT_EQ(r.config->aps[0].password, "s3cret");

    WriteFile(config, "[ap1]\nHost=h\nUser=u\nPassCredential = other\n");
    r = LoadConfig(config);
    EXPECT_FALSE(r.config);
    EXPECT_EQ(r.error, config + ":4: cannot read credential " + creds + "/other: No such file or directory");

    if (before)
        ::setenv("CREDENTIALS_DIRECTORY", saved.c_str(), 1);
    else
        ::unsetenv("CREDENTIALS_DIRECTORY");
}

TEST(Shard, ParsesOnlyKOfN)
{
    Shard s;
    EXPECT_TRUE(ParseShard("0/1", s));
    EXPECT_TRUE(ParseShard("2/3", s));
    EXPECT_EQ(s.k, 2u);
    EXPECT_EQ(s.n, 3u);
    for (const char* bad : {"3/3", "1/0", "/2", "1/", "a/2", "-1/2", "1", "1/2/3", "99999999999999999999/2"})
        EXPECT_FALSE(ParseShard(bad, s)) << bad;
}

TEST(Shard, EveryNameInExactlyOneShardTheSameOnEveryMachine)
{
    // The hash is fixed, not the library's: these values hold on any machine.
    EXPECT_EQ(NameHash(""), 14695981039346656037ull);
    EXPECT_EQ(NameHash("a"), 0xaf63dc4c8601ec8cull);
    std::vector<ApConfig> aps;
    for (int i = 0; i < 300; ++i)
        aps.push_back(ApConfig{"ap" + std::to_string(i), "h", 23, "u", "p", 0});
    std::set<std::string> seen;
    for (std::uint32_t k = 0; k < 3; ++k) {
        const auto mine = SelectShard(aps, Shard{k, 3});
        EXPECT_GT(mine.size(), 70u) << "shard " << k << " gets far less than a third";
        for (const ApConfig& ap : mine)
            EXPECT_TRUE(seen.insert(ap.name).second) << ap.name << " in two shards";
    }
    EXPECT_EQ(seen.size(), aps.size());
    EXPECT_EQ(SelectShard(aps, Shard{0, 1}).size(), aps.size());
}

TEST(Backoff, DoublesFromOneSecondToAMinuteWithJitterInTheUpperHalfAndAfterASilenceToo)
{
    struct Row { int failures; long long whole; };
    for (const Row row : {Row{0, 1000}, Row{1, 1000}, Row{2, 2000}, Row{3, 4000}, Row{6, 32000}, Row{7, 60000},
                          Row{8, 60000}, Row{1000000, 60000}}) {
        const session::RetryPolicy retry = session::RetryPolicy::Poller();
        EXPECT_EQ(retry.Delay(row.failures, false, 0.0).count(), row.whole / 2) << row.failures;
        EXPECT_EQ(retry.Delay(row.failures, false, 1.0).count(), row.whole) << row.failures;
        EXPECT_EQ(retry.Delay(row.failures, false, 7.0).count(), row.whole) << "unit is clamped";
        EXPECT_EQ(retry.Delay(row.failures, true, 0.5).count(), 4500) << "after the link was lost";
        EXPECT_EQ(retry.Delay(row.failures, true, 1.0).count(), 6000) << "after the link was lost";
    }
}

class Exposition : public ::testing::Test {
protected:
    using Clock = std::chrono::system_clock;
    const Clock::time_point now = Clock::time_point(std::chrono::milliseconds(1'700'000'000'250));
    const std::chrono::seconds maxAge{3};

    ApSeries Fresh(const std::string& name)
    {
        ApSeries a;
        a.name = name;
        a.loggedIn = true;
        Reading r;
        r.noise = -95, r.local = -60, r.remote = -62, r.at = now - std::chrono::seconds(1);
        a.levels.Update(r);
        a.lastReading = r.at;
        a.receivedBytes = 1234, a.connects = 2, a.loginRejections = 0, a.pollCommands = 40;
        return a;
    }
    // A poll's station table, line by line, into the per-station series at time at.
    static void Table(ApSeries& a, const std::vector<const char*>& rows, Clock::time_point at)
    {
        PollReading poll;
        for (const char* row : rows) {
            std::optional<Reading> r = poll.Add(row);
            ASSERT_TRUE(r) << row;
            r->at = at;
            UpdateStations(a, *r, std::chrono::seconds(3));
        }
    }
};

// Stations=all: a sample per row, labelled by its MAC address or its place; a row that went
// away is dropped once its levels are older than the limit.
TEST_F(Exposition, EveryStationRowHasItsSeriesUntilItGoesAway)
{
    ApSeries a = Fresh("north");
    Table(a, {"1 00:0C:42:1A:2B:3C Local RSSI level: -62 Remote RSSI level: -66",
              "2 00:0c:42:aa:bb:cc Local RSSI level: -90 Remote RSSI level: -91", "3 Local RSSI level: -70"},
          now - std::chrono::seconds(2));
    const std::string text = FormatExposition({a, Fresh("plain")}, now, maxAge);
    for (const char* line : {"# TYPE approbe_station_local_rssi_dbm gauge\n", "# TYPE approbe_station_remote_rssi_dbm gauge\n",
                             "approbe_station_local_rssi_dbm{ap=\"north\",station=\"00:0c:42:1a:2b:3c\"} -62\n",
                             "approbe_station_local_rssi_dbm{ap=\"north\",station=\"00:0c:42:aa:bb:cc\"} -90\n",
                             "approbe_station_remote_rssi_dbm{ap=\"north\",station=\"00:0c:42:aa:bb:cc\"} -91\n",
                             "approbe_station_local_rssi_dbm{ap=\"north\",station=\"3\"} -70\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("station=\"3\"} -", text.find("approbe_station_remote")), std::string::npos) << "no remote level, no sample";
    EXPECT_EQ(text.find("ap=\"plain\",station"), std::string::npos);

    Table(a, {"1 00:0c:42:1a:2b:3c Local RSSI level: -61 Remote RSSI level: -65"}, now + std::chrono::seconds(2));
    ASSERT_EQ(a.stations.size(), 1u) << "the rows not seen for 3 s are gone";
    EXPECT_EQ(*a.stations.begin()->second.local.value, -61);
    EXPECT_EQ(FormatExposition({Fresh("plain")}, now, maxAge).find("approbe_station_"), std::string::npos)
        << "no station families unless some access point has stations";
}

TEST_F(Exposition, EveryFamilyHasHelpAndTypeAndEverySampleItsLabel)
{
    const std::string text = FormatExposition({Fresh("north"), Fresh("a\"b\\c\nd")}, now, maxAge);
    for (const char* family : {"approbe_up gauge", "approbe_noise_floor_dbm gauge", "approbe_local_rssi_dbm gauge",
                               "approbe_remote_rssi_dbm gauge", "approbe_snr_db gauge",
                               "approbe_last_reading_timestamp_seconds gauge", "approbe_received_bytes_total counter",
                               "approbe_connects_total counter", "approbe_login_rejections_total counter",
                               "approbe_poll_commands_total counter"}) {
        const std::string name = std::string(family).substr(0, std::string(family).find(' '));
        EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
        EXPECT_NE(text.find("# TYPE " + std::string(family) + "\n"), std::string::npos) << family;
    }
    for (const char* line : {"approbe_up{ap=\"north\"} 1\n", "approbe_noise_floor_dbm{ap=\"north\"} -95\n",
                             "approbe_local_rssi_dbm{ap=\"north\"} -60\n", "approbe_remote_rssi_dbm{ap=\"north\"} -62\n",
                             "approbe_snr_db{ap=\"north\"} 35\n",
                             "approbe_last_reading_timestamp_seconds{ap=\"north\"} 1699999999.250\n",
                             "approbe_received_bytes_total{ap=\"north\"} 1234\n", "approbe_connects_total{ap=\"north\"} 2\n",
                             "approbe_login_rejections_total{ap=\"north\"} 0\n",
                             "approbe_poll_commands_total{ap=\"north\"} 40\n",
                             "approbe_up{ap=\"a\\\"b\\\\c\\nd\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(Exposition, StaleLevelsAreLeftOutAndUpFollowsLoginAndFreshness)
{
    ApSeries old = Fresh("old");
    Reading r;
    r.noise = -90;
    r.at = now - std::chrono::seconds(4);
    old.levels = {};
    old.levels.Update(r);
    r = {};
    r.local = -50, r.remote = -51, r.at = now - std::chrono::seconds(1);
    old.levels.Update(r);
    old.lastReading = r.at;
    ApSeries down = Fresh("down");
    down.loggedIn = false;
    ApSeries never;
    never.name = "never";
    const std::string text = FormatExposition({old, down, never}, now, maxAge);
    EXPECT_EQ(text.find("approbe_noise_floor_dbm{ap=\"old\"}"), std::string::npos);
    EXPECT_EQ(text.find("approbe_snr_db{ap=\"old\"}"), std::string::npos) << "SNR needs both fresh";
    EXPECT_NE(text.find("approbe_local_rssi_dbm{ap=\"old\"} -50\n"), std::string::npos);
    EXPECT_NE(text.find("approbe_up{ap=\"old\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("approbe_up{ap=\"down\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("approbe_up{ap=\"never\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("approbe_last_reading_timestamp_seconds{ap=\"never\"}"), std::string::npos);
    EXPECT_NE(text.find("approbe_connects_total{ap=\"never\"} 0\n"), std::string::npos);
    ApSeries late = Fresh("late");
    late.lastReading = now - std::chrono::seconds(4);
    EXPECT_NE(FormatExposition({late}, now, maxAge).find("approbe_up{ap=\"late\"} 0\n"), std::string::npos);
}

// A scrape is written a piece at a time: however small the pieces, they join into the whole text,
// every family's head once, no sample lost or repeated at a piece's edge.
TEST_F(Exposition, WrittenInPiecesItIsTheWholeText)
{
    ApSeries stations = Fresh("stations");
    Table(stations, {"1 00:0c:42:1a:2b:3c Local RSSI level: -62 Remote RSSI level: -66", "2 Remote RSSI level: -91"}, now);
    std::vector<ApSeries> aps = {Fresh("north"), Fresh("we\"ird\\name\n"), ApSeries{}, stations};
    for (int i = 0; i < 300; ++i)
        aps.push_back(Fresh("ap-" + std::to_string(i)));
    const std::string whole = FormatExposition(aps, now, maxAge);
    ASSERT_GT(whole.size(), 100'000u);
    for (const std::size_t want : {std::size_t(1), std::size_t(100), std::size_t(32 * 1024)}) {
        SCOPED_TRACE(want);
        ExpositionWriter writer(aps, now, maxAge);
        std::string joined, piece;
        std::size_t pieces = 0, longest = 0;
        bool more = true;
        while (more) {
            piece.clear();
            more = writer.Next(piece, want);
            joined += piece;
            longest = std::max(longest, piece.size());
            ++pieces;
        }
        EXPECT_EQ(joined, whole);
        EXPECT_GE(pieces, whole.size() / (want + 200));
        EXPECT_LT(longest, want + 400) << "a piece overshoots by a line or a family's head at most";
    }
}

TEST_F(Exposition, PromtoolAcceptsIt)
{
    const std::string promtool = test::FindProgram("promtool");
    if (promtool.empty())
        GTEST_SKIP() << "promtool not installed (Debian package prometheus): exposition not checked by it";
    TempDir dir;
    ApSeries stations = Fresh("stations");
    Table(stations, {"1 00:0c:42:1a:2b:3c Local RSSI level: -62 Remote RSSI level: -66", "2 Remote RSSI level: -91"}, now);
    WriteFile(dir.file("metrics"),
              FormatExposition({Fresh("north"), Fresh("we\"ird\\name\n"), ApSeries{}, stations}, now, maxAge));
    const std::string command = promtool + " check metrics < " + dir.file("metrics") + " 2>&1";
    std::FILE* p = ::popen(command.c_str(), "r");
    ASSERT_TRUE(p);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    EXPECT_EQ(::pclose(p), 0) << out;
    EXPECT_EQ(out, "");
}

TEST(FailureDigest, AFailureIsSaidAtOnceTheSameAtOtherAccessPointsOnceAMinuteAsACountAndAFewNames)
{
    using namespace std::chrono_literals;
    std::vector<std::string> lines;
    FailureDigest digest([&](const std::string& l) { lines.push_back(l); });
    const auto t0 = FailureDigest::Clock::time_point{} + 1h;
    const auto fail = [&](const std::string& name, const std::string& why, FailureDigest::Clock::time_point at) {
        digest.Failed(name, why, name + ": " + why + "; retrying", at);
    };

    // An outage: 10,000 access points refused, each twice, and one name not found.
    for (int attempt = 0; attempt < 2; ++attempt)
        for (int i = 0; i < 10000; ++i)
            fail("ap" + std::to_string(i), "cannot start: connection refused", t0 + std::chrono::milliseconds(i + attempt));
    fail("far", "cannot start: name not found", t0 + 30s);
    const std::string counted = " (the same at other access points within a minute is counted)";
    EXPECT_EQ(lines, (std::vector<std::string>{"ap0: cannot start: connection refused; retrying" + counted,
                                               "far: cannot start: name not found; retrying" + counted}));
    EXPECT_EQ(digest.Flush(t0 + 59s), t0 + 60s) << "nothing before the minute is over";
    EXPECT_EQ(lines.size(), 2u);

    // The minute's count: each access point once, the first few by name.
    EXPECT_EQ(digest.Flush(t0 + 60s), t0 + 30s + 60s);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "cannot start: connection refused: 10000 access points in the last minute (ap1, ap2, ap3 and "
                        "9997 more)");
    // Quiet for a minute: the kinds go, and a new failure is said at once again.
    EXPECT_EQ(digest.Flush(t0 + 120s), FailureDigest::Clock::time_point::max());
    EXPECT_EQ(lines.size(), 3u);
    fail("ap7", "silent", t0 + 121s);
    EXPECT_EQ(lines.back(), "ap7: silent; retrying" + counted);
}

TEST(FailureDigest, ReasonsAreShortAndTheSameForTheSameCause)
{
    EXPECT_EQ(StartFailureReason("Connection refused"), "connection refused");
    EXPECT_EQ(StartFailureReason("No route to host"), "no route to host");
    EXPECT_EQ(StartFailureReason("Network is unreachable"), "no route to host");
    EXPECT_EQ(StartFailureReason("timed out"), "timed out");
    EXPECT_EQ(StartFailureReason("Name or service not known"), "name not found");
    EXPECT_EQ(StartFailureReason("Permission denied"), "permission denied");
}

TEST(SeriesTable, UpdatesWhileScrapesCopyAndAScrapeSeesEveryAccessPointInNameOrder)
{
    SeriesTable table;
    std::vector<SeriesTable::Handle> handles;
    for (int i = 0; i < 500; ++i)
        handles.push_back(table.Add("ap" + std::to_string(1000 - i)));
    std::atomic<bool> done{false};
    std::thread loop([&] {
        for (int round = 0; round < 200; ++round)
            for (const auto& h : handles)
                table.Update(h, [](ApSeries& s) { ++s.pollCommands; });
        done = true;
    });
    int scrapes = 0;
    do {
        const std::vector<ApSeries> seen = table.Snapshot();
        ASSERT_EQ(seen.size(), 500u);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(), [](const ApSeries& a, const ApSeries& b) {
            return a.name < b.name;
        }));
        ++scrapes;
    } while (!done);
    loop.join();
    for (const ApSeries& s : table.Snapshot())
        EXPECT_EQ(s.pollCommands, 200u) << s.name;
    table.Remove("ap1000");
    EXPECT_EQ(table.Snapshot().size(), 499u);
    EXPECT_GE(scrapes, 1);
}

TEST(Recorder, RowsGoToAFileADayUnderTheGivenStemAndEveryRowIsWrittenBeforeItEnds)
{
    TempDir dir;
    const std::string folder = dir.file("rec");
    std::vector<std::string> said;
    {
        Recorder recorder([&](const std::string& l) { said.push_back(l); });
        RecordRow row;
        row.host = "10.0.0.1";
        row.noise = -91;
        const auto day = std::chrono::hours(24);
        row.at = std::chrono::system_clock::now();
        for (int i = 0; i < 3; ++i)
            recorder.Append("mast/north", folder, "mast_north", row);
        row.at += day;
        recorder.Append("mast/north", folder, "mast_north", row);
        recorder.Close("mast/north");
    }
    EXPECT_TRUE(said.empty());
    std::vector<std::string> rows;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().rfind("mast_north-", 0), 0u) << entry.path();
        const std::string text = test::ReadFile(entry.path().string());
        rows.push_back(std::to_string(std::count(text.begin(), text.end(), '\n') - 1));
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"1", "3"})) << "three rows today, one tomorrow";
}

// Beyond the files it may keep open, a row is written by opening its file for it: every row of every
// access point still lands in its day's file, in order, while the number falls and rises, and no
// more files than allowed stay open.
TEST(Recorder, BeyondTheFilesItMayKeepOpenEveryRowStillLandsInItsDayFileInOrder)
{
    TempDir dir;
    const std::string folder = dir.file("rec");
    const auto openInFolder = [&folder] {
        int open = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            open += std::filesystem::read_symlink(fd, error).string().rfind(folder + "/", 0) == 0;
        }
        return open;
    };
    constexpr int kAps = 5, kRounds = 30;
    std::map<std::string, std::string> expected; // path: its text
    std::vector<std::string> said;
    Recorder recorder([&](const std::string& l) { said.push_back(l); });
    recorder.SetOpenFilesAtMost(2);
    const auto start = std::chrono::system_clock::now();
    for (int round = 0; round < kRounds; ++round) {
        if (round == 10)
            recorder.SetOpenFilesAtMost(0);
        if (round == 20)
            recorder.SetOpenFilesAtMost(3);
        for (int ap = 0; ap < kAps; ++ap) {
            RecordRow row;
            row.host = "10.0.0." + std::to_string(ap);
            row.noise = -round;
            row.at = start + std::chrono::hours(round < 15 ? 0 : 24) + std::chrono::milliseconds(round);
            const std::string stem = "ap" + std::to_string(ap);
            std::string& text = expected[folder + "/" + stem + "-" + IsoTime(row.at).substr(0, 10) + ".csv"];
            text += (text.empty() ? kCsvHeader : "") + FormatRow(row);
            recorder.Append(stem, folder, stem, row);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the writer takes them in several batches
    }
    const auto written = [&] {
        return std::all_of(expected.begin(), expected.end(),
                           [](const auto& file) { return test::ReadFile(file.first) == file.second; });
    };
    ASSERT_TRUE(test::WaitUntil(written, std::chrono::seconds(5)));
    for (const auto& [path, text] : expected)
        EXPECT_EQ(test::ReadFile(path), text) << path;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2 * kAps);
    EXPECT_TRUE(test::WaitUntil([&] { return openInFolder() == 3; }, std::chrono::seconds(5))) << openInFolder();
    recorder.Close("ap0");
    recorder.Close("ap1");
    recorder.Close("ap2");
    recorder.Close("ap3");
    EXPECT_TRUE(test::WaitUntil([&] { return openInFolder() == 0; }, std::chrono::seconds(5)));
    EXPECT_TRUE(said.empty());
}

} // namespace
} // namespace approbe::poller
