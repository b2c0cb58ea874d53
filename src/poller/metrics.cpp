#include "metrics.h"

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

// v in decimal at the end of out; true, so that a value getter can return it.
bool AppendNumber(std::string& out, long long v)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    out.append(text, end);
    return true;
}

} // namespace

std::string FormatExposition(const std::vector<ApSeries>& aps, std::chrono::system_clock::time_point now,
                             std::chrono::system_clock::duration maxAge)
{
    std::vector<std::string> labels;
    labels.reserve(aps.size());
    for (const ApSeries& a : aps)
        labels.push_back("{ap=\"" + EscapeLabel(a.name) + "\"} ");

    std::string out;
    out.reserve(aps.size() * 700 + 2048);
    // One family: HELP, TYPE, then a sample per access point that has a value. value appends the
    // value to out and says whether there was one; the sample is written in place, and taken back
    // when there was none.
    auto family = [&](const char* name, const char* type, const char* help, auto&& value) {
        AppendFamilyHead(out, name, type, help);
        for (std::size_t i = 0; i < aps.size(); ++i) {
            const std::size_t start = out.size();
            out += name;
            out += labels[i];
            if (value(aps[i]))
                out += '\n';
            else
                out.resize(start);
        }
    };
    auto fresh = [&](const LatestLevels::Level& l) {
        const auto v = l.Fresh(now, maxAge);
        return v && AppendNumber(out, *v);
    };
    auto count = [&](std::uint64_t v) { return AppendNumber(out, static_cast<long long>(v)); };

    const std::string upHelp =
        "1 while logged in and a reading came within the last " + std::to_string(kFreshPolls) + " poll periods, else 0.";
    family("approbe_up", "gauge", upHelp.c_str(),
           [&](const ApSeries& a) {
               const bool up = a.loggedIn && a.lastReading && now - *a.lastReading <= maxAge;
               out += up ? '1' : '0';
               return true;
           });
    family("approbe_noise_floor_dbm", "gauge", "Latest noise floor in dBm.",
           [&](const ApSeries& a) { return fresh(a.levels.noise); });
    family("approbe_local_rssi_dbm", "gauge", "Latest local RSSI in dBm of the followed station (the first row, or Station).",
           [&](const ApSeries& a) { return fresh(a.levels.local); });
    family("approbe_remote_rssi_dbm", "gauge", "Latest remote RSSI in dBm of the followed station (the first row, or Station).",
           [&](const ApSeries& a) { return fresh(a.levels.remote); });
    // A sample per station row, labelled ap and station; families only where some access point has them.
    auto perStation = [&](const char* name, const char* help, LatestLevels::Level StationSeries::*level) {
        std::string samples;
        for (std::size_t i = 0; i < aps.size(); ++i) {
            for (const auto& [station, s] : aps[i].stations) {
                if (const auto v = (s.*level).Fresh(now, maxAge)) {
                    samples += name;
                    samples += "{ap=\"" + EscapeLabel(aps[i].name) + "\",station=\"" + EscapeLabel(station) + "\"} ";
                    AppendNumber(samples, *v);
                    samples += '\n';
                }
            }
        }
        if (samples.empty())
            return;
        AppendFamilyHead(out, name, "gauge", help);
        out += samples;
    };
    perStation("approbe_station_local_rssi_dbm", "Latest local RSSI in dBm of each station in the table (Stations=all).",
               &StationSeries::local);
    perStation("approbe_station_remote_rssi_dbm", "Latest remote RSSI in dBm of each station in the table (Stations=all).",
               &StationSeries::remote);
    family("approbe_snr_db", "gauge", "Local RSSI minus noise floor in dB, when both are fresh.", [&](const ApSeries& a) {
        const auto v = a.levels.Snr(now, maxAge);
        return v && AppendNumber(out, *v);
    });
    family("approbe_last_reading_timestamp_seconds", "gauge", "Unix time of the latest reading.", [&](const ApSeries& a) {
        if (!a.lastReading)
            return false;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(a.lastReading->time_since_epoch()).count();
        char text[32];
        const int n = std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                                    static_cast<long long>(ms % 1000));
        out.append(text, static_cast<std::size_t>(n));
        return true;
    });
    family("approbe_received_bytes_total", "counter", "Bytes received from the access point.",
           [&](const ApSeries& a) { return count(a.receivedBytes); });
    family("approbe_connects_total", "counter", "Connections made to the access point.",
           [&](const ApSeries& a) { return count(a.connects); });
    family("approbe_login_rejections_total", "counter", "Logins the access point rejected.",
           [&](const ApSeries& a) { return count(a.loginRejections); });
    family("approbe_ssh_hostkey_rejections_total", "counter",
           "SSH host keys refused: unknown (without HostKey=accept-new), changed or revoked.",
           [&](const ApSeries& a) { return count(a.hostKeyRejections); });
    family("approbe_poll_commands_total", "counter", "Poll commands sent (get station, get nf).",
           [&](const ApSeries& a) { return count(a.pollCommands); });
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
