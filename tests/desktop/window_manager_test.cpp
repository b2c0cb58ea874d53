// The real program on a virtual display under openbox, as the window manager sees it: its X
// hints, and what the window manager lets a user do with the window.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "desktop_support.h"
#include "temp_dir.h"

namespace approbe {
namespace {

using namespace std::chrono_literals;
using namespace test;

// WM_NORMAL_HINTS flags and fields, and the Motif hints' bits (the de-facto window-manager hints).
constexpr std::uint32_t kPMinSize = 1u << 4, kPMaxSize = 1u << 5;
constexpr std::uint32_t kMwmHintsFunctions = 1u << 0, kMwmHintsDecorations = 1u << 1;
constexpr std::uint32_t kMwmFuncAll = 1u << 0, kMwmFuncResize = 1u << 1, kMwmFuncMinimize = 1u << 3,
                        kMwmFuncMaximize = 1u << 4;
constexpr std::uint32_t kMwmDecorAll = 1u << 0, kMwmDecorMinimize = 1u << 5, kMwmDecorMaximize = 1u << 6;

class WindowManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!VirtualDesktop::Missing().empty())
            return;
        s = new Shared;
        WriteFile(s->dir.file("approbe/approbe.ini"), "[Settings]\nHost=127.0.0.1\nPort=23\n");
        const int out = ::open(s->dir.file("approbe.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        s->app = std::make_unique<Child>(
            std::vector<std::string>{APPROBE_BIN},
            std::vector<std::string>{"DISPLAY=" + s->desktop.display(), "QT_QPA_PLATFORM=xcb",
                                     "XDG_CONFIG_HOME=" + s->dir.path().string(),
                                     "XDG_RUNTIME_DIR=" + s->dir.path().string()},
            out);
        ::close(out);
        if (s->desktop.ready())
            s->window = s->desktop.waitForClient("approbe", 30s);
    }
    static void TearDownTestSuite()
    {
        delete s;
        s = nullptr;
    }
    void SetUp() override
    {
        if (const std::string missing = VirtualDesktop::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
        ASSERT_TRUE(s->desktop.ready()) << "Xvfb or openbox did not start";
        ASSERT_NE(s->window, 0u) << "approbe's window was not managed within 30 s; approbe "
                                 << (s->app->wait(0ms) == -1 ? "runs" : "has ended") << ", its output: "
                                 << ReadFile(s->dir.file("approbe.out"));
    }
    static bool Has(const std::vector<std::uint32_t>& atoms, const char* name)
    {
        return std::find(atoms.begin(), atoms.end(), s->desktop.atom(name)) != atoms.end();
    }
    static std::vector<std::uint32_t> Prop(const char* name) { return s->desktop.property(s->window, name); }

    struct Shared {
        TempDir dir;
        VirtualDesktop desktop;
        std::unique_ptr<Child> app;
        xcb_window_t window = 0;
        ~Shared() { app.reset(); } // before the display goes
    };
    static Shared* s;
};

WindowManagerTest::Shared* WindowManagerTest::s = nullptr;

TEST_F(WindowManagerTest, HintsAskForAFixedSizeApplicationWindowWithoutMinimiseOrMaximise)
{
    EXPECT_EQ(s->desktop.text(s->window, "_NET_WM_NAME"), "Test Korvane AP");
    EXPECT_EQ(Prop("_NET_WM_WINDOW_TYPE"), std::vector<std::uint32_t>{s->desktop.atom("_NET_WM_WINDOW_TYPE_NORMAL")})
        << "a normal top-level window";
    EXPECT_TRUE(Prop("WM_TRANSIENT_FOR").empty()) << "not transient for a hidden leader";
    EXPECT_FALSE(Has(Prop("_NET_WM_STATE"), "_NET_WM_STATE_SKIP_TASKBAR")) << "shown on the task bar";

    const std::vector<std::uint32_t> size = Prop("WM_NORMAL_HINTS");
    ASSERT_GE(size.size(), 9u);
    const xcb_get_geometry_reply_t geometry = s->desktop.geometry(s->window);
    EXPECT_EQ(size[0] & (kPMinSize | kPMaxSize), kPMinSize | kPMaxSize);
    EXPECT_EQ(size[5], geometry.width) << "minimum width";
    EXPECT_EQ(size[6], geometry.height) << "minimum height";
    EXPECT_EQ(size[7], geometry.width) << "maximum width";
    EXPECT_EQ(size[8], geometry.height) << "maximum height";

    const std::vector<std::uint32_t> mwm = Prop("_MOTIF_WM_HINTS");
    ASSERT_GE(mwm.size(), 3u);
    if (mwm[0] & kMwmHintsFunctions) {
        EXPECT_EQ(mwm[1] & (kMwmFuncAll | kMwmFuncMinimize | kMwmFuncMaximize), 0u) << "functions " << mwm[1];
    }
    ASSERT_TRUE(mwm[0] & kMwmHintsDecorations);
    EXPECT_EQ(mwm[2] & (kMwmDecorAll | kMwmDecorMinimize | kMwmDecorMaximize), 0u) << "decorations " << mwm[2];
}

// What openbox concluded from the hints. (It keeps minimising for every normal window whatever
// the Motif hints say, so only resizing and maximising are checked.)
TEST_F(WindowManagerTest, WindowManagerOffersNeitherResizingNorMaximising)
{
    const std::vector<std::uint32_t> allowed = Prop("_NET_WM_ALLOWED_ACTIONS");
    ASSERT_FALSE(allowed.empty());
    EXPECT_TRUE(Has(allowed, "_NET_WM_ACTION_CLOSE"));
    EXPECT_TRUE(Has(allowed, "_NET_WM_ACTION_MOVE"));
    EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_RESIZE"));
    EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_MAXIMIZE_HORZ"));
    EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_MAXIMIZE_VERT"));
}

TEST_F(WindowManagerTest, ResizeAndMaximiseRequestsLeaveItsSize)
{
    xcb_connection_t* c = s->desktop.conn();
    const xcb_get_geometry_reply_t before = s->desktop.geometry(s->window);
    const std::uint32_t bigger[] = {before.width + 200u, before.height + 100u};
    xcb_configure_window(c, s->window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, bigger);

    // The window-manager protocol's request to maximise, as a task bar or a key binding sends it.
    xcb_client_message_event_t maximise{};
    maximise.response_type = XCB_CLIENT_MESSAGE;
    maximise.format = 32;
    maximise.window = s->window;
    maximise.type = s->desktop.atom("_NET_WM_STATE");
    maximise.data.data32[0] = 1; // add
    maximise.data.data32[1] = s->desktop.atom("_NET_WM_STATE_MAXIMIZED_VERT");
    maximise.data.data32[2] = s->desktop.atom("_NET_WM_STATE_MAXIMIZED_HORZ");
    maximise.data.data32[3] = 1; // from an application
    xcb_send_event(c, 0, s->desktop.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&maximise));
    xcb_flush(c);

    // Nothing to wait for when nothing happens: give the window manager time to act.
    std::this_thread::sleep_for(500ms);
    const xcb_get_geometry_reply_t after = s->desktop.geometry(s->window);
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.height, before.height);
    EXPECT_FALSE(Has(Prop("_NET_WM_STATE"), "_NET_WM_STATE_MAXIMIZED_VERT"));
}

} // namespace
} // namespace approbe
