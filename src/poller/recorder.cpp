#include "recorder.h"

#include <sys/stat.h>

#include <utility>

namespace approbe::poller {

Recorder::Recorder(std::function<void(const std::string&)> log, std::size_t maxWaiting)
    : m_log(std::move(log)), m_maxWaiting(maxWaiting), m_thread([this] { Run(); })
{
}

Recorder::~Recorder()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void Recorder::Append(const std::string& name, const std::string& dir, const std::string& stem, RecordRow row)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_waiting.size() >= m_maxWaiting) {
            ++m_dropped;
            return;
        }
        m_waiting.push_back({name, dir, stem, std::move(row), false});
    }
    m_wake.notify_one();
}

void Recorder::Close(const std::string& name)
{
    {
        std::lock_guard lock(m_mutex);
        m_waiting.push_back({name, {}, {}, {}, true});
    }
    m_wake.notify_one();
}

void Recorder::Run()
{
    std::vector<Job> jobs;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
        if (m_waiting.empty())
            return; // stopped, everything written
        jobs.swap(m_waiting);
        const std::size_t dropped = std::exchange(m_dropped, 0);
        lock.unlock();
        if (dropped)
            m_log("recording: " + std::to_string(dropped) + " rows dropped: the disk fell behind");
        for (Job& job : jobs)
            Write(job);
        jobs.clear();
        lock.lock();
    }
}

void Recorder::Write(Job& job)
{
    if (job.close) {
        m_files.erase(job.name);
        return;
    }
    File& f = m_files[job.name];
    const std::string path = job.dir + "/" + job.stem + "-" + IsoTime(job.row.at).substr(0, 10) + ".csv";
    if (path != f.path) {
        f.path = path; // a file that cannot be opened is tried again the next day, not at every row
        f.csv.Close();
        ::mkdir(job.dir.c_str(), 0755);
        std::string error;
        if (!f.csv.Open(path, error))
            m_log(job.name + ": not recording today: " + error);
    }
    if (f.csv.isOpen())
        f.csv.Append(job.row);
}

} // namespace approbe::poller
