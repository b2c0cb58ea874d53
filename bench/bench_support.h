#pragma once

// What the benchmarks share: clocks and statistics, /proc readings, a loopback peer standing in
// for the access point, the real dialog logged in to it, and the floor's window writer.

#include <QLineEdit>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "probe_dlg.h"

namespace approbe::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// CLOCK_MONOTONIC in nanoseconds (the clock steady_clock uses, also across processes).
std::int64_t NowNs();

// Nearest-rank percentile, p in 0..100; 0 for no samples.
double Percentile(std::vector<double> samples, double p);
double Median(std::vector<double> samples);

// A figure for bench/run to collect: "RESULT key value".
void Result(const std::string& key, double value);
// A line for the reader only.
void Note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// /proc readings of one process (0: this one).
long RssKb(pid_t pid = 0);
// Voluntary plus involuntary context switches of every thread: how often the threads woke.
long long ContextSwitches(pid_t pid = 0);
// utime + stime from /proc/PID/stat, in milliseconds (clock-tick resolution).
double ProcStatCpuMs(pid_t pid = 0);
// This process's CPU time, all threads, nanosecond resolution.
std::int64_t ProcessCpuNs();

// Serves the event loop until pred holds or the timeout passes.
template <typename Pred> bool ServeUntil(Pred pred, std::chrono::milliseconds timeout);
bool ServeFor(std::chrono::milliseconds duration);

// Runs work on a thread of its own while this (the UI) thread serves the event loop. After the
// timeout, abort is set and work has 10 s more to notice it. False if it had to be aborted.
bool ServeWhile(const std::function<void(const std::atomic<bool>& abort)>& work, std::chrono::milliseconds timeout);

// One reading of the three levels, and the block a peer sends for it: all three labels.
struct Reading {
    int noise, local, remote;
};
Reading ReadingFor(long i);
std::string BlockText(const Reading& r);
// The answer to one poll, as a shell gives it: the station row, then the noise floor, each reply
// ended by the prompt.
std::string ReplyText(const Reading& r);

// A TCP peer on 127.0.0.1 standing in for the access point; each call from one thread at a time.
class Peer {
public:
    // port 0: a free one (outside a private network namespace, always 0).
    explicit Peer(int port = 0);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    int port() const { return m_port; }
    // Accepts the program's connection and answers its login (login:, then Password:).
    bool AcceptAndLogin(std::chrono::milliseconds timeout);
    // The whole block in one write.
    bool Send(const std::string& block);
    // Reads what the program sent (its poll commands) without blocking: true when a poll (its
    // last command, "get nf") has come since the last call.
    bool Drain();
    int fd() const { return m_conn; }
    // Sends text over and over as fast as the connection takes it, until stop is set, the
    // deadline passes or the connection ends. Returns the bytes sent.
    long long Flood(const std::string& text, const std::atomic<bool>& stop, Clock::time_point deadline,
                    std::atomic<long long>* progress = nullptr);
    // Bytes sent but not yet acknowledged by the other side.
    long Unacked() const;
    void Close();

private:
    bool ReadUntil(char c, Clock::time_point deadline);
    int m_listen = -1;
    int m_conn = -1;
    int m_port = 0;
    std::string m_heard; // the end of what was read, for a command cut between two reads
};

// Starting and ending the programs measured (defined in x_watch.cpp).
// Starts a program; its output goes to /dev/null. Returns its pid (throws on failure).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env);
// The environment for a program on the X display: this one's, with the settings directory given.
std::vector<std::string> XEnv(const std::string& configHome);
// Ends a started program (SIGTERM, then SIGKILL after 3 s); its peak RSS in kB.
long EndChild(pid_t pid);
// Runs a short helper (xdotool) to completion within 10 s; true when it succeeded.
bool RunHelper(const std::vector<std::string>& argv);

// Runs approbe-sim (no --verbose, so it writes nothing while running) on a loopback port (0: a free one).
class SimChild {
public:
    explicit SimChild(int port = 0);
    ~SimChild();
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;
    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
};

// The real dialog, shown on the offscreen platform, with a private profile for 127.0.0.1:port.
class DialogRig {
public:
    explicit DialogRig(int port);
    ~DialogRig();
    ui::CProbeDlg& dlg() { return *m_dlg; }
    QLineEdit* field(int id) const;
    // Presses Connect and serves the event loop until the session is logged in and polling.
    bool Connect(std::chrono::milliseconds timeout);
    // Disconnects and serves the event loop until the worker has finished; the time it took, or -1.
    double DisconnectMs(std::chrono::milliseconds timeout);

private:
    void StartDismisser();
    QTemporaryDir m_dir;
    // The port edit takes three characters, so a five-digit test port brings up the "too long"
    // message at every pull of the edits until logged in: this closes it.
    QTimer m_dismisser;
    std::unique_ptr<ui::CProbeDlg> m_dlg;
};

// Connects the dialog to the peer and logs in; says why on stderr (prefixed with what) if not.
bool LogIn(Peer& peer, DialogRig& rig, const char* what);

// Counts the paints of a field that show a new text: one per update of it. UI thread only.
class ChangeCounter : public QObject {
public:
    explicit ChangeCounter(QLineEdit* field);
    ~ChangeCounter() override;
    long count() const { return m_count; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_field;
    QString m_last;
    long m_count = 0;
};

// Lateness of a 10 ms timer on the UI thread, collected while running.
class TimerLateness {
public:
    TimerLateness();
    void Start();
    void Stop();
    std::vector<double> ms() const { return m_lateMs; }

private:
    QTimer m_timer;
    std::int64_t m_last = 0;
    std::vector<double> m_lateMs;
};

template <typename Pred> bool ServeUntil(Pred pred, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        ServeFor(2ms);
    }
    return true;
}

} // namespace approbe::bench
