#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <gtest/gtest.h>
#include <ostream>

#include "control_ids.h"
#include "loopback.h"
#include "probe_dlg.h"
#include "sim_process.h"
#include "temp_dir.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace approbe::test {

// Serves the event loop until pred holds or the timeout passes.
template <typename Pred> bool ServeUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return WaitUntil(pred, timeout, [] {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    });
}

// Closes every modal box that opens (the port-length message) and counts them.
class ModalDismisser {
public:
    ModalDismisser()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                ++count;
                modal->close();
            }
        });
        m_timer.start(10);
    }
    int count = 0;

private:
    QTimer m_timer;
};

// The real dialog, shown, on a profile with the given text.
struct DialogRig {
    explicit DialogRig(const std::string& profileText)
    {
        WriteFile(dir.file("approbe.ini"), profileText);
        dlg = std::make_unique<ui::CProbeDlg>(dir.file("approbe.ini"));
        dlg->show();
    }
    // On a profile pointing at the simulator.
    explicit DialogRig(const SimProcess& sim)
        : DialogRig("[Settings]\nHost=127.0.0.1\nPort=" + std::to_string(sim.port()) + "\nUser=admin\nPass=admin\n")
    {
    }
    QPushButton* button(int id) { return static_cast<QPushButton*>(dlg->control(id)); }
    QLineEdit* edit(int id) { return static_cast<QLineEdit*>(dlg->control(id)); }
    QString field(int id) { return edit(id)->text(); }
    QStringList log()
    {
        QStringList lines;
        auto* list = static_cast<QListWidget*>(dlg->control(ui::IDC_LOG));
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    bool logged(const char* line) { return log().contains(QString::fromUtf8(line)); }
    bool loggedIn()
    {
        return logged("Test Korvane AP to 127.0.0.1 connected") && button(ui::IDC_PAUSE)->text() == "Pause" &&
               dlg->presenter().state() == session::SessionState::LoggedIn;
    }
    // The teardown's last call sets the caption, after giving Connect back.
    bool ended() { return button(ui::IDOK)->isEnabled() && dlg->windowTitle().startsWith("Test Korvane AP DISCONNECT"); }

    // Types the simulator's address (the port only fits in the edit when set by the program),
    // connects, reads one poll back and disconnects.
    void ExpectNormalSession(SimProcess& sim)
    {
        edit(ui::IDC_HOST)->setText("127.0.0.1");
        edit(ui::IDC_PORT)->setText(QString::number(sim.port()));
        QTest::mouseClick(button(ui::IDOK), Qt::LeftButton);
        ASSERT_TRUE(ServeUntil([&] { return loggedIn(); }));
        dlg->presenter().PollNow();
        ASSERT_TRUE(ServeUntil([&] { return field(ui::IDC_NOISE_CUR) == "-88 dBm"; }));
        QTest::mouseClick(button(ui::IDC_DISCONNECT), Qt::LeftButton);
        ASSERT_TRUE(ServeUntil([&] { return ended(); }, std::chrono::seconds(5)));
    }

    TempDir dir;
    ModalDismisser dismisser; // a 5-digit test port fails the 3-character rule at every pull
    std::unique_ptr<ui::CProbeDlg> dlg;
};

} // namespace approbe::test
