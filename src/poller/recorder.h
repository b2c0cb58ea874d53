#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "csv_record.h"

namespace approbe::poller {

// The poller's recordings (RecordDir), written on a thread of their own: the loop hands a row
// over and goes on, and never waits on a disk to make a folder, open a file or write. Each access
// point's rows go to DIR/STEM-DAY.csv, a new file each local day.
class Recorder {
public:
    // log is called from the writer's thread.
    explicit Recorder(std::function<void(const std::string&)> log, std::size_t maxWaiting = 100000);
    // Writes every row handed over, then ends the thread.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // A row of the access point named name, for dir/stem-DAY.csv. Beyond maxWaiting rows waiting
    // (a disk that hangs) rows are dropped, and the drop is said once the writer catches up.
    void Append(const std::string& name, const std::string& dir, const std::string& stem, RecordRow row);
    // The access point's file is closed (it was removed).
    void Close(const std::string& name);

private:
    struct Job {
        std::string name, dir, stem;
        RecordRow row;
        bool close = false;
    };
    struct File {
        CsvFile csv;
        std::string path; // the file written to, or the one that could not be opened
    };

    void Run();
    void Write(Job& job);

    std::function<void(const std::string&)> m_log;
    const std::size_t m_maxWaiting;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Job> m_waiting;
    std::size_t m_dropped = 0;
    bool m_stop = false;
    std::map<std::string, File> m_files; // the writer's own
    std::thread m_thread; // last: it starts once the rest is made
};

} // namespace approbe::poller
