#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
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
// point's rows go to DIR/STEM-DAY.csv, a new file each local day. Files stay open between rows up
// to a number the descriptor limit leaves (the first access points to record keep theirs); the
// rows of the others are written by opening, appending and closing, so a short limit costs a
// few system calls a row, never a session its socket.
class Recorder {
public:
    // log is called from the writer's thread.
    explicit Recorder(std::function<void(const std::string&)> log, std::size_t maxWaiting = 100000);
    // Writes every row handed over, then ends the thread.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // A row of the access point named name, for dir/stem-DAY.csv, written within a fraction of a
    // second. Beyond maxWaiting rows waiting (a disk that hangs) rows are dropped, and the drop is
    // said once the writer catches up.
    void Append(const std::string& name, const std::string& dir, const std::string& stem, RecordRow row);
    // The access point's file is closed (it was removed).
    void Close(const std::string& name);
    // Files kept open between rows at most, from the next rows on; beyond it they are closed.
    void SetOpenFilesAtMost(std::size_t files);

private:
    struct Job {
        std::string name, dir, stem;
        RecordRow row;
        bool close = false;
    };
    struct File {
        CsvFile csv;      // open between rows while it is one of those kept open
        std::string path; // the file written to, or the one that could not be opened
        bool failed = false; // path could not be opened: tried again the next day, not at every row
    };

    void Hand(std::unique_lock<std::mutex>& lock, Job job);
    void Run();
    void Write(Job& job, std::size_t openAtMost);
    void CloseBeyond(std::size_t openAtMost);

    std::function<void(const std::string&)> m_log;
    const std::size_t m_maxWaiting;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Job> m_waiting;
    std::size_t m_dropped = 0;
    bool m_stop = false;
    std::size_t m_openAtMost = SIZE_MAX; // the writer takes it with each batch
    std::map<std::string, File> m_files; // the writer's own, as is:
    std::size_t m_open = 0;              // how many of them are open between rows
    std::thread m_thread; // last: it starts once the rest is made
};

} // namespace approbe::poller
