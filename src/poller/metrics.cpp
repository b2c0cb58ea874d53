#include "metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace approbe::poller {

using session::Reading;
using session::StationRow;
using session::kFreshPolls;

void AppendFamilyHead(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void UpdateStations(ApSeries& series, const Reading& reading, std::chrono::system_clock::duration maxAge)
{
    if (reading.row >= 0) {
        const StationRow& row = reading.stations[static_cast<std::size_t>(reading.row)];
        StationSeries& s = series.stations[row.mac ? row.mac->ToString() : std::to_string(reading.row + 1)];
        if (reading.rowLocal)
            s.local = {reading.rowLocal, reading.at};
        if (reading.rowRemote)
            s.remote = {reading.rowRemote, reading.at};
    }
    std::erase_if(series.stations, [&](const auto& entry) {
        return !entry.second.local.Fresh(reading.at, maxAge) && !entry.second.remote.Fresh(reading.at, maxAge);
    });
}

std::string EscapeLabel(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

namespace {

void AppendNumber(std::string& out, long long v)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    out.append(text, end);
}

// A label value, escaped only when it has to be (most names need nothing).
void AppendLabel(std::string& out, const std::string& value)
{
    if (value.find_first_of("\\\"\n") == std::string::npos)
        out += value;
    else
        out += EscapeLabel(value);
}

// metric{ap="name"} and the space before its value.
void AppendSeries(std::string& out, const char* metric, const std::string& ap)
{
    out += metric;
    out += "{ap=\"";
    AppendLabel(out, ap);
    out += "\"} ";
}

// The families in the order the text has them; a station family only where some access point has
// a sample of it.
enum FamilyId : std::size_t {
    kUp,
    kNoise,
    kLocal,
    kRemote,
    kStationLocal,
    kStationRemote,
    kSnr,
    kLastReading,
    kReceived,
    kConnects,
    kLoginRejections,
    kHostKeyRejections,
    kPollCommands,
    kFamilies
};

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

const std::array<Family, kFamilies>& Families()
{
    static const std::string upHelp =
        "1 while logged in and a reading came within the last " + std::to_string(kFreshPolls) + " poll periods, else 0.";
    static const std::array<Family, kFamilies> families = {{
        {"approbe_up", "gauge", upHelp.c_str()},
        {"approbe_noise_floor_dbm", "gauge", "Latest noise floor in dBm."},
        {"approbe_local_rssi_dbm", "gauge", "Latest local RSSI in dBm of the followed station (the first row, or Station)."},
        {"approbe_remote_rssi_dbm", "gauge", "Latest remote RSSI in dBm of the followed station (the first row, or Station)."},
        {"approbe_station_local_rssi_dbm", "gauge",
         "Latest local RSSI in dBm of each station in the table (Stations=all)."},
        {"approbe_station_remote_rssi_dbm", "gauge",
         "Latest remote RSSI in dBm of each station in the table (Stations=all)."},
        {"approbe_snr_db", "gauge", "Local RSSI minus noise floor in dB, when both are fresh."},
        {"approbe_last_reading_timestamp_seconds", "gauge", "Unix time of the latest reading."},
        {"approbe_received_bytes_total", "counter", "Bytes received from the access point."},
        {"approbe_connects_total", "counter", "Connections made to the access point."},
        {"approbe_login_rejections_total", "counter", "Logins the access point rejected."},
        {"approbe_ssh_hostkey_rejections_total", "counter",
         "SSH host keys refused: unknown (without HostKey=accept-new), changed or revoked."},
        {"approbe_poll_commands_total", "counter", "Poll commands sent (get station, get nf)."},
    }};
    return families;
}

LatestLevels::Level StationSeries::* StationLevel(std::size_t family)
{
    return family == kStationLocal ? &StationSeries::local : &StationSeries::remote;
}

} // namespace

ExpositionWriter::ExpositionWriter(std::vector<ApSeries> aps, std::chrono::system_clock::time_point now,
                       std::chrono::system_clock::duration maxAge)
    : m_aps(std::move(aps)), m_now(now), m_maxAge(maxAge)
{
}

bool ExpositionWriter::Present(std::size_t family) const
{
    if (family != kStationLocal && family != kStationRemote)
        return true;
    const auto level = StationLevel(family);
    return std::any_of(m_aps.begin(), m_aps.end(), [&](const ApSeries& a) {
        return std::any_of(a.stations.begin(), a.stations.end(),
                           [&](const auto& s) { return (s.second.*level).Fresh(m_now, m_maxAge).has_value(); });
    });
}

void ExpositionWriter::Samples(std::size_t family, const ApSeries& a, std::string& out) const
{
    const char* name = Families()[family].name;
    // v: an optional number; no sample when it has none.
    auto sample = [&](auto v) {
        if (!v)
            return;
        AppendSeries(out, name, a.name);
        AppendNumber(out, static_cast<long long>(*v));
        out += '\n';
    };
    auto fresh = [&](const LatestLevels::Level& l) { return l.Fresh(m_now, m_maxAge); };
    auto count = [](std::uint64_t v) { return std::optional<std::uint64_t>(v); };
    switch (family) {
    case kUp: sample(std::optional<int>(a.loggedIn && a.lastReading && m_now - *a.lastReading <= m_maxAge)); break;
    case kNoise: sample(fresh(a.levels.noise)); break;
    case kLocal: sample(fresh(a.levels.local)); break;
    case kRemote: sample(fresh(a.levels.remote)); break;
    case kStationLocal:
    case kStationRemote:
        for (const auto& [station, s] : a.stations) {
            if (const auto v = (s.*StationLevel(family)).Fresh(m_now, m_maxAge)) {
                out += name;
                out += "{ap=\"";
                AppendLabel(out, a.name);
                out += "\",station=\"";
                AppendLabel(out, station);
                out += "\"} ";
                AppendNumber(out, *v);
                out += '\n';
            }
        }
        break;
    case kSnr: sample(a.levels.Snr(m_now, m_maxAge)); break;
    case kLastReading:
        if (a.lastReading) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(a.lastReading->time_since_epoch()).count();
            char text[32];
            const int n = std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                                        static_cast<long long>(ms % 1000));
            AppendSeries(out, name, a.name);
            out.append(text, static_cast<std::size_t>(n));
            out += '\n';
        }
        break;
    case kReceived: sample(count(a.receivedBytes)); break;
    case kConnects: sample(count(a.connects)); break;
    case kLoginRejections: sample(count(a.loginRejections)); break;
    case kHostKeyRejections: sample(count(a.hostKeyRejections)); break;
    case kPollCommands: sample(count(a.pollCommands)); break;
    }
}

bool ExpositionWriter::Next(std::string& out, std::size_t want)
{
    const std::size_t until = out.size() + want;
    for (; m_family < kFamilies; ++m_family, m_ap = 0) {
        if (m_ap == 0) {
            if (!Present(m_family))
                continue;
            const Family& f = Families()[m_family];
            AppendFamilyHead(out, f.name, f.type, f.help);
        }
        while (m_ap < m_aps.size()) {
            Samples(m_family, m_aps[m_ap++], out);
            if (out.size() >= until && m_ap < m_aps.size())
                return true;
        }
    }
    return false;
}

std::string FormatExposition(std::vector<ApSeries> aps, std::chrono::system_clock::time_point now,
                             std::chrono::system_clock::duration maxAge)
{
    ExpositionWriter exposition(std::move(aps), now, maxAge);
    std::string out;
    while (exposition.Next(out, std::size_t(1) << 20)) {
    }
    return out;
}

std::string FormatPollerStatus(const PollerStatus& status)
{
    std::string out;
    auto sample = [&](const char* name, const char* type, const char* help, const char* format, auto value) {
        AppendFamilyHead(out, name, type, help);
        char text[64];
        std::snprintf(text, sizeof text, format, value);
        out += name;
        out += ' ';
        out += text;
        out += '\n';
    };
    AppendFamilyHead(out, "approbe_poller_build_info", "gauge", "approbe-poller's version in a label; always 1.");
    out += "approbe_poller_build_info{version=\"" + EscapeLabel(status.version) + "\"} 1\n";
    sample("approbe_poller_config_last_reload_successful", "gauge",
           "1 if the config was read at start or at the last SIGHUP, 0 if that reading failed.", "%d",
           status.lastReloadOk ? 1 : 0);
    sample("approbe_poller_config_last_reload_success_timestamp_seconds", "gauge",
           "Unix time of the last successful reading of the config.", "%.3f",
           std::chrono::duration<double>(status.lastReloadSuccess.time_since_epoch()).count());
    if (!status.process)
        return out;
    const ProcessStats& p = *status.process;
    sample("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", "%.2f",
           p.cpuSeconds);
    sample("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", "%llu",
           static_cast<unsigned long long>(p.residentBytes));
    sample("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", "%llu",
           static_cast<unsigned long long>(p.virtualBytes));
    sample("process_open_fds", "gauge", "Number of open file descriptors.", "%llu",
           static_cast<unsigned long long>(p.openFds));
    sample("process_max_fds", "gauge", "Maximum number of open file descriptors.", "%llu",
           static_cast<unsigned long long>(p.maxFds));
    sample("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", "%.2f",
           p.startTimeSeconds);
    return out;
}

} // namespace approbe::poller
