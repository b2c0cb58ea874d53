#pragma once

#include <chrono>
#include <string>

#include "csv_record.h"
#include "levels.h"
#include "reading.h"

namespace approbe::ui {

// The dialog's recording: one CSV row per reading as it comes, and marks with the current values.
class CRecorder {
public:
    using Clock = std::chrono::system_clock;

    // False, with error set, if the file cannot be opened.
    bool Start(const std::string& path, std::string& error);
    void Stop() { m_file.Close(); }
    bool recording() const { return m_file.isOpen(); }
    const std::string& path() const { return m_file.path(); }

    // Every reading, recording or not: a mark made later needs the current values.
    void AddReading(const std::string& host, const session::Reading& reading);
    // The shell's type gives only these levels (session::kGives* bits): a mark has none of the others.
    void KeepOnly(int gives) { m_latest.KeepOnly(gives); }
    // A row of its own: the note and the values that are still fresh at now.
    bool Mark(const std::string& note, Clock::time_point now);

private:
    CsvFile m_file;
    LatestLevels m_latest;
    std::string m_host;
};

// "approbe-HOST-YYYYmmdd-HHMMSS.csv", with the host made safe for a file name.
std::string ProposedRecordName(const std::string& host, std::chrono::system_clock::time_point now);

} // namespace approbe::ui
