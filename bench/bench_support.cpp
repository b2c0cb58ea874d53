#include "bench_support.h"

#include <QApplication>
#include <QEventLoop>
#include <QPaintEvent>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "control_ids.h"
#include "profile.h"

extern char** environ;

namespace approbe::bench {

using session::SessionState;

std::int64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

double Median(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

void Result(const std::string& key, double value)
{
    std::printf("RESULT %s %.6g\n", key.c_str(), value);
    std::fflush(stdout);
}

void Note(const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    std::fputs("# ", stdout);
    std::vprintf(fmt, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(args);
}

namespace {

std::string ProcPath(pid_t pid, const std::string& rest)
{
    return "/proc/" + (pid ? std::to_string(pid) : std::string("self")) + rest;
}

long StatusField(const std::string& path, const char* name)
{
    std::ifstream in(path);
    std::string line;
    const std::size_t len = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, len, name) == 0)
            return std::atol(line.c_str() + len);
    }
    return 0;
}

} // namespace

long RssKb(pid_t pid)
{
    return StatusField(ProcPath(pid, "/status"), "VmRSS:");
}

long long ContextSwitches(pid_t pid)
{
    const std::string dir = ProcPath(pid, "/task");
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    long long total = 0;
    // Bounded: a process has a handful of threads.
    for (int i = 0; i < 10000; ++i) {
        const dirent* e = ::readdir(d);
        if (!e)
            break;
        if (e->d_name[0] == '.')
            continue;
        const std::string status = dir + "/" + e->d_name + "/status";
        total += StatusField(status, "voluntary_ctxt_switches:");
        total += StatusField(status, "nonvoluntary_ctxt_switches:");
    }
    ::closedir(d);
    return total;
}

double ProcStatCpuMs(pid_t pid)
{
    std::ifstream in(ProcPath(pid, "/stat"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::size_t pos = close + 2;
    while (pos < text.size() && fields.size() < 14) {
        const std::size_t end = text.find(' ', pos);
        fields.push_back(text.substr(pos, end - pos));
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    if (fields.size() < 13)
        return 0;
    const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::int64_t ProcessCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool ServeFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return true;
}

bool ServeWhile(const std::function<void(const std::atomic<bool>& abort)>& work, std::chrono::milliseconds timeout)
{
    QEventLoop loop;
    std::atomic<bool> abort{false}, done{false};
    std::thread worker([&] {
        work(abort);
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(timeout, &loop, [&loop] { loop.quit(); });
    loop.exec();
    const bool finished = done;
    if (!finished) {
        abort = true;
        ServeUntil([&] { return done.load(); }, 10s);
    }
    worker.join();
    return finished;
}

Reading ReadingFor(long i)
{
    // Consecutive readings always differ in the remote level, the last field a block writes.
    return {-80 - static_cast<int>(i % 21), -40 - static_cast<int>(i % 47), -40 - static_cast<int>(i % 50)};
}

std::string BlockText(const Reading& r)
{
    return "Noise Floor Level: " + std::to_string(r.noise) + " dBm\r\nLocal RSSI level: " + std::to_string(r.local) +
           " dBm  Remote RSSI level: " + std::to_string(r.remote) + " dBm\r\nAP> ";
}

std::string ReplyText(const Reading& r)
{
    return "Local RSSI level: " + std::to_string(r.local) + " dBm  Remote RSSI level: " + std::to_string(r.remote) +
           " dBm\r\nAP> Noise Floor Level: " + std::to_string(r.noise) + " dBm\r\nAP> ";
}

// ---- Peer

Peer::Peer(int port)
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 1) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error(std::string("peer: cannot listen on loopback: ") + std::strerror(errno));
    m_port = ntohs(addr.sin_port);
}

Peer::~Peer()
{
    Close();
    if (m_listen >= 0)
        ::close(m_listen);
}

void Peer::Close()
{
    if (m_conn >= 0)
        ::close(m_conn);
    m_conn = -1;
}

bool Peer::ReadUntil(char c, Clock::time_point deadline)
{
    char buf[256];
    while (Clock::now() < deadline) {
        pollfd p{m_conn, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(m_conn, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        if (std::memchr(buf, c, static_cast<std::size_t>(n)))
            return true;
    }
    return false;
}

bool Peer::AcceptAndLogin(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_conn < 0)
        return false;
    const int one = 1;
    ::setsockopt(m_conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Then the shell shows its prompt, as the replies will end.
    return Send("login: ") && ReadUntil('\r', deadline) && Send("Password: ") && ReadUntil('\r', deadline) &&
           Send("\r\nAP> ");
}

bool Peer::Send(const std::string& block)
{
    return ::send(m_conn, block.data(), block.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(block.size());
}

bool Peer::Drain()
{
    static constexpr std::string_view kPoll = "get nf";
    bool poll = false;
    char buf[256];
    for (int i = 0; i < 100; ++i) {
        const ssize_t n = ::recv(m_conn, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        m_heard.append(buf, static_cast<std::size_t>(n));
        poll = poll || m_heard.find(kPoll) != std::string::npos;
        m_heard.erase(0, m_heard.size() - std::min(m_heard.size(), kPoll.size() - 1));
    }
    return poll;
}

long Peer::Unacked() const
{
    int queued = 0;
    return ::ioctl(m_conn, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

long long Peer::Flood(const std::string& text, const std::atomic<bool>& stop, Clock::time_point deadline,
                      std::atomic<long long>* progress)
{
    // Each send waits at most this long, so stop and the deadline are seen in time.
    const timeval slice{0, 100000};
    ::setsockopt(m_conn, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
    long long sent = 0;
    while (!stop && Clock::now() < deadline) {
        const ssize_t n = ::send(m_conn, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (n > 0)
            sent += n;
        if (progress)
            *progress = sent;
        Drain();
    }
    return sent;
}

// ---- SimChild

SimChild::SimChild(int port)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string args[] = {APPROBE_SIM_PATH, "--bind", "127.0.0.1", "--port", std::to_string(port), "--seed", "1"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_out = out[0];
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error(std::string("cannot start approbe-sim: ") + std::strerror(rc));
    }
    std::string text;
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline && text.find('\n') == std::string::npos) {
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[128];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t colon = text.rfind(':');
    if (text.rfind("listening on ", 0) != 0 || colon == std::string::npos)
        throw std::runtime_error("approbe-sim did not start listening within 5 s");
    m_port = std::atoi(text.c_str() + colon + 1);
}

SimChild::~SimChild()
{
    if (m_pid > 0)
        EndChild(m_pid);
    if (m_out >= 0)
        ::close(m_out);
}

// ---- DialogRig

DialogRig::DialogRig(int port)
{
    const std::string path = m_dir.filePath(QStringLiteral("approbe.ini")).toStdString();
    {
        IniProfile profile(path);
        profile.WriteProfileString("Settings", "Host", "127.0.0.1");
        profile.WriteProfileString("Settings", "Port", std::to_string(port));
        profile.WriteProfileString("Settings", "User", "admin");
        profile.WriteProfileString("Settings", "Pass", "admin");
    }
    QObject::connect(&m_dismisser, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    StartDismisser();
    m_dlg = std::make_unique<ui::CProbeDlg>(path);
    m_dlg->show();
    m_dismisser.stop();
}

DialogRig::~DialogRig()
{
    m_dlg.reset();
}

void DialogRig::StartDismisser()
{
    m_dismisser.start(10);
}

QLineEdit* DialogRig::field(int id) const
{
    return static_cast<QLineEdit*>(m_dlg->control(id));
}

bool DialogRig::Connect(std::chrono::milliseconds timeout)
{
    StartDismisser();
    m_dlg->presenter().OnOK();
    const bool ok = ServeUntil([this] { return m_dlg->presenter().state() == SessionState::LoggedIn; }, timeout);
    // Idle figures must not count this timer.
    m_dismisser.stop();
    return ok;
}

double DialogRig::DisconnectMs(std::chrono::milliseconds timeout)
{
    const std::int64_t start = NowNs();
    m_dlg->presenter().OnDisconnect();
    const auto deadline = Clock::now() + timeout;
    // Ended when the window has shown the end.
    while (m_dlg->presenter().sessionActive()) {
        if (Clock::now() > deadline)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return static_cast<double>(NowNs() - start) / 1e6;
}

// ---- ChangeCounter

ChangeCounter::ChangeCounter(QLineEdit* field) : m_field(field)
{
    m_field->installEventFilter(this);
}

ChangeCounter::~ChangeCounter()
{
    m_field->removeEventFilter(this);
}

bool ChangeCounter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_field && event->type() == QEvent::Paint && m_field->text() != m_last) {
        m_last = m_field->text();
        ++m_count;
    }
    return false;
}

// ---- TimerLateness

TimerLateness::TimerLateness()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const std::int64_t now = NowNs();
        if (m_last)
            m_lateMs.push_back(std::max(0.0, static_cast<double>(now - m_last) / 1e6 - 10.0));
        m_last = now;
    });
    m_lateMs.reserve(4096);
}

void TimerLateness::Start()
{
    m_last = 0;
    m_lateMs.clear();
    m_timer.start();
}

void TimerLateness::Stop()
{
    m_timer.stop();
}

bool LogIn(Peer& peer, DialogRig& rig, const char* what)
{
    std::atomic<bool> loggedIn{false};
    std::thread login([&] { loggedIn = peer.AcceptAndLogin(std::chrono::seconds(10)); });
    const bool polling = rig.Connect(std::chrono::seconds(10));
    login.join();
    if (polling && loggedIn)
        return true;
    std::fprintf(stderr, "%s: the session did not log in\n", what);
    return false;
}

} // namespace approbe::bench
