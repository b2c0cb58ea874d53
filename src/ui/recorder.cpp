#include "recorder.h"

#include <cctype>
#include <ctime>

namespace approbe::ui {

using session::Reading;

bool CRecorder::Start(const std::string& path, std::string& error) { return m_file.Open(path, error); }

void CRecorder::AddReading(const std::string& host, const Reading& reading)
{
    m_host = host;
    m_latest.Update(reading);
    if (!recording() || !reading.any())
        return;
    m_file.Append({reading.at, host, reading.noise, reading.local, reading.remote,
                   m_latest.Snr(reading.at, kFreshFor), {}});
}

bool CRecorder::Mark(const std::string& note, Clock::time_point now)
{
    if (!recording())
        return false;
    return m_file.Append({now, m_host, m_latest.noise.Fresh(now, kFreshFor), m_latest.local.Fresh(now, kFreshFor),
                          m_latest.remote.Fresh(now, kFreshFor), m_latest.Snr(now, kFreshFor), note});
}

std::string ProposedRecordName(const std::string& host, std::chrono::system_clock::time_point now)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return "approbe-" + (host.empty() ? std::string("unknown") : FileSafeName(host)) + "-" + stamp + ".csv";
}

} // namespace approbe::ui
