#include "session_rig.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "sim_process.h"

namespace approbe::test {

using ui::CProbePresenter;
using ui::EditTexts;
using ui::PresenterOptions;

UiThread::UiThread(FakeWindow& window) : m_window(window)
{
    m_thread = std::thread([this] {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::function<void()> f = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            m_window.onUiThread(f);
            lock.lock();
        }
    });
}

UiThread::~UiThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void UiThread::Post(std::function<void()> f)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(f));
    }
    m_changed.notify_all();
}

SessionRig::SessionRig(const std::string& host, const std::string& port, const std::string& user,
                       const std::string& password, PresenterOptions options)
    : profile(dir.file("approbe.ini"))
{
    for (const auto& [key, value] : {std::pair{"Host", host}, {"Port", port}, {"User", user}, {"Pass", password}})
        profile.WriteProfileString("Settings", key, value);
    presenter = std::make_unique<CProbePresenter>(window, profile, [this](auto f) { ui.Post(std::move(f)); }, options);
    window.onUiThread([this] { presenter->OnInitDialog(); });
    window.clearEvents();
}

SessionRig::SessionRig(const ProfileText& file, PresenterOptions options) : profile(dir.file("approbe.ini"))
{
    WriteFile(profile.path(), file.text);
    presenter = std::make_unique<CProbePresenter>(window, profile, [this](auto f) { ui.Post(std::move(f)); }, options);
    window.onUiThread([this] { presenter->OnInitDialog(); });
}

SessionRig::~SessionRig()
{
    // Closing as the dialog closes: the session ends with its farewell, the worker is joined.
    window.onUiThread([this] { presenter->BeginClose(); });
    presenter->WaitSessionEnd(std::chrono::seconds(5));
    presenter.reset();
}

bool SessionRig::LogIn(std::chrono::milliseconds timeout)
{
    Connect();
    // Polling on, and its effect on the Pause button applied, before the test clicks anything.
    return window.waitForEvent(kConnectedLine, timeout) && window.waitForEvent("pause Pause", timeout);
}

bool SessionRig::WaitEnd(std::chrono::milliseconds timeout)
{
    return WaitUntil(
        [this] {
            bool active = true;
            window.onUiThread([&] { active = presenter->sessionActive(); });
            return !active;
        },
        timeout, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}

Events SessionRig::Narration()
{
    Events out;
    for (const std::string& e : window.events()) {
        if (e.rfind("log ", 0) == 0 || e.rfind("caption ", 0) == 0 || e.rfind("connect ", 0) == 0)
            out.push_back(e);
    }
    return out;
}

Events TeardownLines(const std::string& why)
{
    return {"log " + kPrefix + "SOCKET closed", "log De-Initialized WinSock", "connect 1",
            "caption Test Korvane AP DISCONNECT" + (why.empty() ? "" : " (" + why + ")")};
}

void ExpectTornDown(SessionRig& rig, const std::string& why)
{
    const Events narration = rig.Narration();
    ASSERT_GE(narration.size(), 4u);
    EXPECT_EQ(Events(narration.end() - 4, narration.end()), TeardownLines(why));
    EXPECT_TRUE(rig.window.connectEnabled());
}

void ExpectNormalSessionAfterwards(SessionRig& rig)
{
    SimProcess sim({}, kAnyLogin);
    EditTexts edits = rig.window.edits();
    edits.host = "127.0.0.1";
    edits.port = std::to_string(sim.port());
    rig.window.setEdits(edits);
    rig.window.clearEvents();
    rig.window.keepValueEvents(true);
    ASSERT_TRUE(rig.LogIn());
    rig.Tick();
    EXPECT_TRUE(rig.window.waitForEvent("field 1016 -66 dBm"));
    EXPECT_TRUE(rig.window.waitForEvent("field 1002 -88 dBm"));
    rig.Disconnect();
    ASSERT_TRUE(rig.WaitEnd(std::chrono::seconds(5)));
    ExpectTornDown(rig);
}

} // namespace approbe::test
