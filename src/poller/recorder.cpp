#include "recorder.h"

#include <sys/stat.h>

#include <chrono>
#include <utility>

#include "thread_priority.h"

namespace approbe::poller {
namespace {

constexpr auto kGather = std::chrono::milliseconds(100);

} // namespace

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
    std::unique_lock lock(m_mutex);
    if (m_waiting.size() >= m_maxWaiting) {
        ++m_dropped;
        return;
    }
    Hand(lock, {name, dir, stem, std::move(row), false});
}

void Recorder::Close(const std::string& name)
{
    std::unique_lock lock(m_mutex);
    Hand(lock, {name, {}, {}, {}, true});
}

// Only the first job of a batch wakes the writer: the loop hands over thousands of rows a second,
// and a wake-up each would cost it a system call and the writer a context switch for every row.
void Recorder::Hand(std::unique_lock<std::mutex>& lock, Job job)
{
    const bool first = m_waiting.empty();
    m_waiting.push_back(std::move(job));
    lock.unlock();
    if (first)
        m_wake.notify_one();
}

void Recorder::SetOpenFilesAtMost(std::size_t files)
{
    std::lock_guard lock(m_mutex);
    m_openAtMost = files;
}

void Recorder::Run()
{
    RunBehindTheLoop();
    std::vector<Job> jobs;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
        // The rows of the next moment join the first before it is written: one wake-up for many.
        m_wake.wait_for(lock, kGather, [this] { return m_stop; });
        if (m_waiting.empty())
            return; // stopped, everything written
        jobs.swap(m_waiting);
        const std::size_t dropped = std::exchange(m_dropped, 0), openAtMost = m_openAtMost;
        lock.unlock();
        if (dropped)
            m_log("recording: " + std::to_string(dropped) + " rows dropped: the disk fell behind");
        CloseBeyond(openAtMost);
        for (Job& job : jobs)
            Write(job, openAtMost);
        jobs.clear();
        lock.lock();
    }
}

// A lower limit, or more sessions to share it, closes files kept open until they fit again; those
// go on being written a row at a time.
void Recorder::CloseBeyond(std::size_t openAtMost)
{
    for (auto it = m_files.begin(); m_open > openAtMost && it != m_files.end(); ++it) {
        if (it->second.csv.isOpen()) {
            it->second.csv.Close();
            --m_open;
        }
    }
}

void Recorder::Write(Job& job, std::size_t openAtMost)
{
    if (job.close) {
        if (const auto it = m_files.find(job.name); it != m_files.end()) {
            m_open -= it->second.csv.isOpen();
            m_files.erase(it);
        }
        return;
    }
    File& f = m_files[job.name];
    const bool wasOpen = f.csv.isOpen();
    const std::string path = job.dir + "/" + job.stem + "-" + IsoTime(job.row.at).substr(0, 10) + ".csv";
    if (path != f.path) {
        f.path = path;
        f.failed = false;
        f.csv.Close();
        ::mkdir(job.dir.c_str(), 0755);
    }
    if (!f.csv.isOpen() && !f.failed) {
        std::string error;
        f.failed = !f.csv.Open(path, error);
        if (f.failed)
            m_log(job.name + ": not recording today: " + error);
    }
    if (!f.csv.isOpen()) {
        m_open -= wasOpen;
        return;
    }
    f.csv.Append(job.row);
    // First come, kept open: a fixed set, so a round of every access point each second never
    // closes one file to open another.
    if (!wasOpen && m_open < openAtMost)
        ++m_open;
    else if (!wasOpen)
        f.csv.Close();
}

} // namespace approbe::poller
