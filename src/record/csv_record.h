#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

// The recording format, shared by the dialog's recorder and the poller's RecordDir:
//   time,host,noise_dbm,local_rssi_dbm,remote_rssi_dbm,snr_db,mark
// one row per reading (an empty cell where that reading had no such value) or per mark (the
// current values and the note). Time is ISO 8601 local time with milliseconds and UTC offset;
// texts are quoted per RFC 4180 where they need it.
namespace approbe {

struct RecordRow {
    std::chrono::system_clock::time_point at{};
    std::string host;
    std::optional<int> noise, local, remote, snr;
    std::string mark;
};

inline constexpr const char* kCsvHeader = "time,host,noise_dbm,local_rssi_dbm,remote_rssi_dbm,snr_db,mark\r\n";

// A name made safe as part of a file name: anything but letters, digits, '.', '-' and '_' becomes
// '_', and it never begins with '.' nor is empty.
std::string FileSafeName(const std::string& name);

// "2026-12-08T10:26:10.123+01:00"
std::string IsoTime(std::chrono::system_clock::time_point at);
// A field quoted per RFC 4180 when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& text);
// One row, ending in CRLF.
std::string FormatRow(const RecordRow& row);

// A CSV file opened for appending: the header goes in when the file is new or empty, each row
// is written with one write(2) as soon as it comes, so a killed program loses at most that row.
class CsvFile {
public:
    CsvFile() = default;
    ~CsvFile();
    CsvFile(const CsvFile&) = delete;
    CsvFile& operator=(const CsvFile&) = delete;

    // False, with error set to a readable reason, if the file cannot be opened or created.
    bool Open(const std::string& path, std::string& error);
    bool Append(const RecordRow& row);
    void Close();
    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

private:
    bool WriteAll(const std::string& bytes);
    int m_fd = -1;
    std::string m_path;
};

} // namespace approbe
