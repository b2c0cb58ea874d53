// Device types: recorded replies of every built-in type and quirk, each a data file under replies/
// with the reading it must give; type files that must be refused, under bad/; the value rules.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "device_catalog.h"
#include "device_detect.h"
#include "device_reply.h"
#include "level_value.h"
#include "session_engine.h"

namespace approbe::session {
namespace {

const std::string kDir = APPROBE_DEVICE_CASES;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> FilesIn(const std::string& folder, const std::string& suffix)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n.substr(0, n.size() - suffix.size()));
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RowName(const testing::TestParamInfo<std::string>& info)
{
    std::string name = info.param;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

std::string Level(const std::optional<int>& v)
{
    return v ? std::to_string(*v) : "-";
}

// A case file: "type NAME" (a built-in, or a file here), "interface NAME", "prompt TEXT" (the
// shell's prompt as it shows it, to the end of the line; else one the type's patterns match), then
// sections each begun by a line "== WHAT": "reply N" (the reply to the type's Nth poll command, as
// it came), "interface NAME" (the reply to the interface query, and the interface it names),
// "expect".
struct Case {
    std::string type, interface, prompt;
    std::vector<std::pair<std::string, std::string>> sections;
};

Case ReadCase(const std::string& text)
{
    Case c;
    std::istringstream in(text);
    std::string line;
    std::pair<std::string, std::string>* section = nullptr;
    while (std::getline(in, line)) {
        if (line.rfind("== ", 0) == 0) {
            if (section && !section->second.empty())
                section->second.pop_back(); // the file's line end before the marker
            c.sections.push_back({line.substr(3), {}});
            section = &c.sections.back();
        } else if (section) {
            section->second += line + "\n";
        } else if (line.rfind("type ", 0) == 0) {
            c.type = line.substr(5);
        } else if (line.rfind("interface ", 0) == 0) {
            c.interface = line.substr(10);
        } else if (line.rfind("prompt ", 0) == 0) {
            c.prompt = line.substr(7);
        }
    }
    return c;
}

// The case's type: a built-in, or a file beside the cases; with the case's interface.
DeviceType CaseType(const Case& c)
{
    DeviceType type;
    if (const DeviceType* builtIn = FindDeviceType({}, c.type)) {
        type = *builtIn;
    } else {
        const auto r = ParseDeviceType(c.type, ReadFile(kDir + "/" + c.type));
        EXPECT_TRUE(r.type) << r.error;
        type = r.type.value_or(DeviceType{});
    }
    type.interface = c.interface;
    return type;
}

std::string Described(const Reading& reading, const std::vector<std::string>& missing)
{
    std::string got = "noise " + Level(reading.noise) + "\n";
    for (const StationRow& row : reading.stations)
        got += "row " + (row.mac ? row.mac->ToString() : "-") + " " + Level(row.local) + " " + Level(row.remote) + "\n";
    for (const std::string& why : missing)
        got += "missing " + why + "\n";
    return got;
}

class RecordedReply : public testing::TestWithParam<std::string> {};

TEST_P(RecordedReply, GivesItsReading)
{
    const Case c = ReadCase(ReadFile(kDir + "/replies/" + GetParam() + ".case"));
    std::optional<DeviceType> type = CaseType(c);

    std::vector<ReplyReading> replies(type->polls.size());
    bool polled = false;
    for (const auto& [what, body] : c.sections) {
        if (what.rfind("reply ", 0) == 0) {
            const std::size_t n = std::stoul(what.substr(6));
            ASSERT_TRUE(n >= 1 && n <= replies.size()) << what;
            replies[n - 1] = ReadReply(*type, type->polls[n - 1], body);
            polled = true;
        } else if (what.rfind("interface ", 0) == 0) {
            EXPECT_EQ(FindInterface(*type, body), what.substr(10));
        } else if (what == "expect" && polled) {
            const Reading reading = CombineReplies(replies);
            EXPECT_EQ(Described(reading, ExplainMissing(*type, replies, reading)), body);
            EXPECT_EQ(reading.local, reading.stations.empty() ? std::nullopt : reading.stations[0].local);
            EXPECT_EQ(reading.remote, reading.stations.empty() ? std::nullopt : reading.stations[0].remote);
        }
    }
}

// The same replies through a session: logged in, the shell waiting at a prompt of the type's, one
// poll, each reply as its lines followed by the prompt. The readings the session gives, and what
// it traces as missing, are the case's.
TEST_P(RecordedReply, GivesItsReadingThroughASession)
{
    const Case c = ReadCase(ReadFile(kDir + "/replies/" + GetParam() + ".case"));
    const DeviceType type = CaseType(c);
    if (std::none_of(c.sections.begin(), c.sections.end(), [](const auto& s) { return s.first.rfind("reply ", 0) == 0; }))
        GTEST_SKIP() << "no poll in this case";
    std::string prompt = c.prompt;
    if (prompt.empty()) {
        prompt = (type.shellPrompts.empty() ? "ap>" : type.shellPrompts.front()) + " ";
        for (auto at = prompt.find_first_of("*?"); at != std::string::npos; at = prompt.find_first_of("*?"))
            prompt.replace(at, 1, "ap-7");
    }

    SessionParams params{"ap", "u", "p"};
    params.device = {type.name, std::make_shared<const std::vector<DeviceType>>(std::vector<DeviceType>{type})};
    params.trace = true;
    SessionEngine engine;
    engine.Begin(params);
    engine.Connected();
    const auto t = std::chrono::system_clock::time_point{};
    engine.Received("login: ", t);
    engine.Received("Password: ", t);
    engine.Received("\r\n" + prompt, t);
    std::vector<std::string> sent;
    for (const SessionAction& a : engine.Tick(t)) {
        if (a.kind == SessionAction::Kind::Send && a.text != "\r\n")
            sent.push_back(a.text);
    }
    ASSERT_EQ(sent.size(), type.polls.size());

    std::map<std::size_t, std::string> replies;
    std::string expect;
    for (const auto& [what, body] : c.sections) {
        if (what.rfind("reply ", 0) == 0)
            replies[std::stoul(what.substr(6)) - 1] = body;
        else if (what == "expect")
            expect = body;
    }
    Reading last;
    std::optional<int> noise;
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < type.polls.size(); ++i) {
        std::string text = "\r\n"; // the end of the line the shell waited at
        for (const std::string& line : ReplyLines(type, replies[i], {sent[i]}))
            text += line + "\r\n";
        for (const SessionAction& a : engine.Received(text + prompt, t)) {
            if (a.kind == SessionAction::Kind::Reading) {
                last = a.reading;
                noise = noise ? noise : a.reading.noise;
            } else if (a.kind == SessionAction::Kind::Trace && a.text.rfind("missing ", 0) == 0) {
                missing.push_back(a.text.substr(8));
            }
        }
    }
    last.noise = noise;
    EXPECT_EQ(Described(last, missing), expect);
}

INSTANTIATE_TEST_SUITE_P(Replies, RecordedReply, testing::ValuesIn(FilesIn(kDir + "/replies", ".case")), RowName);

// A file under bad/ begins with "; FILE:LINE: error" as it must be reported (FILE is its name).
class BadTypeFile : public testing::TestWithParam<std::string> {};

TEST_P(BadTypeFile, IsRefusedWithWhereAndWhy)
{
    const std::string name = GetParam() + ".ini";
    const std::string text = ReadFile(kDir + "/bad/" + name);
    const auto r = ParseDeviceType(name, text);
    EXPECT_FALSE(r.type);
    EXPECT_EQ(r.error, text.substr(2, text.find('\n') - 2));
}

INSTANTIATE_TEST_SUITE_P(Files, BadTypeFile, testing::ValuesIn(FilesIn(kDir + "/bad", ".ini")), RowName);

TEST(DeviceTypes, BuiltInsAreTheFiveInDetectionOrderWithTheDefaultFirst)
{
    std::vector<std::string> names;
    for (const DeviceType& t : BuiltInDeviceTypes())
        names.push_back(t.name);
    EXPECT_EQ(names, (std::vector<std::string>{"korvane", "routeros", "openwrt", "json-status", "linux-iw"}));
    EXPECT_EQ(BuiltInDeviceTypes().front().name, kDefaultDeviceType);
    EXPECT_EQ(FindDeviceType({}, "routeros")->userSuffix, "+ct");
    EXPECT_EQ(FindDeviceType({}, "no-such-type"), nullptr);
}

TEST(DeviceTypes, AFolderOfUserTypesKeepsTheGoodOnesAndNamesWhatIsWrongWithTheRest)
{
    char tmpl[] = "/tmp/approbe-devices-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    auto write = [&](const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; };
    const std::string poll = "[poll]\nCommand = show\nNoise = Noise:\n";
    write("a-mine.ini", "[device]\nName = mine\n" + poll);
    write("b-clash.ini", "[device]\nName = linux-iw\n" + poll);
    write("c-twice.ini", "[device]\nName = mine\n" + poll);
    write("d-broken.ini", "[device]\nName = broken\n[poll]\nCommand = show\n");
    write("notes.txt", "not a type");
    const DeviceTypeSet set = LoadDeviceTypes(dir);
    ASSERT_EQ(set.types.size(), 1u);
    EXPECT_EQ(set.types[0].name, "mine");
    EXPECT_EQ(FindDeviceType(set.types, "mine"), &set.types[0]);
    EXPECT_EQ(set.errors, (std::vector<std::string>{
                              dir + "/b-clash.ini:1: the name 'linux-iw' is taken (a built-in type or another file's)",
                              dir + "/c-twice.ini:1: the name 'mine' is taken (a built-in type or another file's)",
                              dir + "/d-broken.ini:3: [poll] gives no level: name Local, Remote or Noise"}));
    EXPECT_TRUE(LoadDeviceTypes(dir + "/missing").types.empty());
    EXPECT_EQ(std::system(("rm -r " + dir).c_str()), 0);
}

TEST(DeviceTypes, TheReadmeExampleIsTheTypeTheTableTests)
{
    // README shows it indented by four; types/mast-radio.ini has one comment line more.
    const std::string readme = ReadFile(kDir + "/../../README.md");
    const auto start = readme.find("    [device]\n    Name = mast-radio\n");
    ASSERT_NE(start, std::string::npos);
    std::string shown;
    std::istringstream in(readme.substr(start));
    for (std::string line; std::getline(in, line) && (line.empty() || line.rfind("    ", 0) == 0);)
        shown += line.empty() ? "\n" : line.substr(4) + "\n";
    shown.erase(shown.find_last_not_of('\n') + 1);
    const std::string file = ReadFile(kDir + "/types/mast-radio.ini");
    EXPECT_EQ(shown + "\n", file.substr(file.find('\n') + 1));
}

TEST(DeviceTypes, CommandsNameTheInterface)
{
    DeviceType t = *FindDeviceType({}, "linux-iw");
    t.interface = "wlan2";
    EXPECT_EQ(t.Expand(t.polls[0].command), "iw dev wlan2 station dump");
    EXPECT_EQ(t.Expand("a {interface} b {interface}"), "a wlan2 b wlan2");
}

TEST(Patterns, MatchTheWholeTextWithWildcards)
{
    struct Row {
        const char* pattern;
        const char* text;
        bool match;
    };
    for (const Row& r : {Row{"[*@*] >", "[admin@tower] > ", true}, Row{"[*@*] >", "[admin@tower] /ip> ", false},
                         Row{"*login:", "tower login:  ", true}, Row{"*login:", "Last login: Tue", false},
                         Row{"*#", "root@ap:~# ", true}, Row{"*>", "AP>", true}, Row{"*>", "AP> x", false},
                         Row{"?P>", "AP>", true}, Row{"?P>", "P>", false}, Row{"a*b*c", "aXbYbZc", true},
                         Row{"a*b*c", "aXbYbZ", false}, Row{"*", "", true}, Row{"", "", true},
                         Row{"*login:", "ogin:", false}, Row{"ab*ab", "ab", false}, Row{"ab*ab", "abab", true},
                         Row{"*a?", "xab", true}, Row{"*a?", "xba", false}, Row{"a*", "abc \r\n", true}}) {
        EXPECT_EQ(MatchPattern(r.pattern, r.text), r.match) << r.pattern << " / " << r.text;
    }
    EXPECT_GT(PatternWeight("[*@*] >"), PatternWeight("*>"));
}

TEST(LevelValues, UnitsChainsAndWhatIsNoValue)
{
    struct Row {
        const char* text;
        bool noise;
        std::optional<int> level;
    };
    for (const Row& r : {Row{"-65", false, -65}, Row{" -65 dBm", false, -65}, Row{"-65dBm@1Mbps", false, -65},
                         Row{"\"-95 dB\"", true, -95}, Row{"-67 [-67, -77, -95, -95] dBm", false, -67},
                         Row{"[-70, -70] dBm", false, -67}, Row{"[-70, x]", false, std::nullopt},
                         Row{"-64.8 dBm", false, -64}, Row{"unknown", true, std::nullopt},
                         Row{"0 dBm", true, std::nullopt}, Row{"0", false, 0}, Row{"-120", false, -120},
                         Row{"-121", false, std::nullopt}, Row{"5", false, std::nullopt},
                         Row{"-99999999999999999999", false, std::nullopt}, Row{"", false, std::nullopt},
                         Row{"dBm", false, std::nullopt}}) {
        EXPECT_EQ(LevelValue(r.text, r.noise), r.level) << r.text;
    }
    EXPECT_EQ(NumberValue("40dB"), 40);
}

TEST(LevelValues, EscapesAreDroppedWhateverTheirKind)
{
    EXPECT_EQ(WithoutEscapes("\x1b[1;32m-65\x1b[0m dBm"), "-65 dBm");
    EXPECT_EQ(WithoutEscapes("\x1b]0;root@ap\a# \x1b(B"), "# ");
    EXPECT_EQ(WithoutEscapes("\x1b[?2004h# \x1b"), "# ");
}

std::vector<const DeviceType*> BuiltIns()
{
    std::vector<const DeviceType*> types;
    for (const DeviceType& t : BuiltInDeviceTypes())
        types.push_back(&t);
    return types;
}

DeviceDetector BuiltInDetector()
{
    return DeviceDetector(BuiltIns(), *FindDeviceType({}, kDefaultDeviceType));
}

TEST(Detection, ALoginPromptOnlyOneTypeHasGivesItsUserNameSuffix)
{
    EXPECT_EQ(LoginPromptOf(BuiltIns(), "Login: ", false)->userSuffix, "+ct");
    EXPECT_EQ(LoginPromptOf(BuiltIns(), "ap1 login: ", false)->name, "korvane") << "a tie: the first type";
    EXPECT_EQ(LoginPromptOf(BuiltIns(), "Password: ", true)->name, "korvane");
    EXPECT_EQ(LoginPromptOf(BuiltIns(), "Last login: Tue from 10.0.0.2", false), nullptr);
    EXPECT_EQ(LoginPromptOf(BuiltIns(), "Password: ", false), nullptr);
}

TEST(Detection, APromptThatTellsTakesItsTypeWithoutAProbe)
{
    struct Row {
        const char* prompt;
        const char* type;
    };
    for (const Row& r : {Row{"AP> ", "korvane"}, Row{"[admin@tower] > ", "routeros"},
                         Row{"root@OpenWrt:~# ", "openwrt"}, Row{"ap-north> ", "korvane"},
                         // Over SSH without +ct the router colours its prompt; bash turns on
                         // bracketed paste before each prompt. The claims are of the prompt as seen.
                         Row{"\x1b[9999B[\x1b[36madmin\x1b[m@\x1b[34mtower\x1b[m] > ", "routeros"},
                         Row{"\x1b[?2004hroot@OpenWrt:~# ", "openwrt"}}) {
        const DetectVerdict v = BuiltInDetector().AtPrompt(r.prompt);
        ASSERT_TRUE(v.type) << r.prompt;
        EXPECT_EQ(v.type->name, r.type) << v.why;
        EXPECT_EQ(v.probe, "");
    }
}

TEST(Detection, APromptThatCannotTellSendsOneProbeWhoseReplyDecides)
{
    struct Row {
        const char* reply;
        const char* type;
    };
    const std::string probe = "command -v iwinfo; ls /usr/www/status.cgi; command -v iw";
    for (const Row& r : {Row{"/usr/bin/iwinfo\r\n/usr/sbin/iw\r\n", "openwrt"},
                         Row{"ls: /usr/www/status.cgi: No such file or directory\r\n/usr/sbin/iw\r\n", "linux-iw"},
                         Row{"/usr/www/status.cgi\r\n", "json-status"},
                         // ash asks where the cursor is after its prompt; a shell that does not
                         // echo shows it before the reply.
                         Row{" \x1b[6n/usr/www/status.cgi\r\n", "json-status"},
                         Row{"Error: unknown command\r\n", "korvane"}, Row{"", "korvane"}}) {
        DeviceDetector d = BuiltInDetector();
        const DetectVerdict asked = d.AtPrompt("root@ap:~# ");
        EXPECT_EQ(asked.type, nullptr);
        EXPECT_EQ(asked.probe, probe);
        // The echo of the probe holds every reply it looks for: it is not taken for one.
        const DetectVerdict v = d.ProbeReplied("root@ap:~# " + probe + "\r\n" + r.reply + "root@ap:~# ");
        ASSERT_TRUE(v.type);
        EXPECT_EQ(v.type->name, r.type) << r.reply << ": " << v.why;
    }
    EXPECT_EQ(BuiltInDetector().Untold().type->name, kDefaultDeviceType);
}

} // namespace
} // namespace approbe::session
