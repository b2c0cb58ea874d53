// The floor: a bare Qt dialog with the main window's 36 controls, of the same kinds and at the
// same places. Alone it is the start-up floor. With --port P it is also the least work a session
// needs: it logs in to 127.0.0.1:P, a 1 s timer sends the poll, and a thread per block does one
// receive, one parse (strstr), ONE blocking hand-off to the UI thread and ONE repaint of the
// widgets that changed.
#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>

#include <QRegion>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum Kind { Button, Label, Edit, Password, ReadOnly, List, Group, Bar };

// The least a level bar needs: a frame and a filled part, 0..100.
class LevelBar : public QWidget {
public:
    using QWidget::QWidget;
    int value() const { return m_value; }
    void setValue(int value)
    {
        m_value = value;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().base());
        p.setPen(palette().mid().color());
        p.drawRect(rect().adjusted(0, 0, -1, -1));
        p.fillRect(QRect(2, 2, (width() - 4) * m_value / 100, height() - 4), Qt::green);
    }

private:
    int m_value = 0;
};

struct Control {
    Kind kind;
    const char* text;
    int x, y, w, h; // dialog units, as in the program's template
};

constexpr Control kControls[] = {
    {Button, "Connect", 60, 251, 50, 14},        {Button, "Exit", 203, 251, 50, 14},
    {List, "", 5, 200, 248, 45},                 {Button, "Disconn", 4, 251, 50, 14},
    {Label, "Address:", 10, 10, 30, 8},          {Label, "User:", 15, 30, 20, 10},
    {Edit, "", 45, 30, 80, 12},                  {Label, "Password:", 5, 50, 35, 10},
    {Password, "", 45, 50, 80, 12},              {Label, "Local Port:", 135, 25, 35, 10},
    {Edit, "", 180, 25, 45, 12},                 {Button, "Pause", 115, 251, 50, 14},
    {Label, "Noise level:", 10, 75, 38, 8},      {Group, "Noise", 4, 64, 249, 40},
    {Label, "max:", 88, 75, 15, 10},             {Label, "min:", 146, 75, 15, 10},
    {Edit, "", 45, 10, 80, 13},                  {Label, "Rx Byte :", 145, 11, 30, 10},
    {Bar, "", 30, 90, 195, 10},                  {Bar, "", 30, 135, 195, 10},
    {Bar, "", 30, 170, 195, 10},                 {ReadOnly, "", 65, 118, 35, 12},
    {Group, "RSSI", 4, 105, 249, 80},            {Label, "Local RSSI level:", 9, 120, 55, 8},
    {Label, "Remote RSSI level:", 9, 155, 63, 8}, {ReadOnly, "", 72, 153, 38, 12},
    {ReadOnly, "", 47, 73, 35, 12},              {ReadOnly, "", 105, 73, 35, 12},
    {ReadOnly, "", 161, 73, 34, 12},             {ReadOnly, "", 180, 10, 45, 12},
    {Label, "max:", 107, 120, 15, 10},           {ReadOnly, "", 125, 118, 35, 12},
    {ReadOnly, "", 183, 118, 37, 12},            {Label, "min:", 168, 120, 15, 10},
    {ReadOnly, "", 213, 73, 35, 12},             {Label, "avr:", 200, 75, 15, 10},
};
static_assert(std::size(kControls) == 36);

QWidget* Create(QWidget& parent, const Control& c)
{
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
    case Button: return new QPushButton(text, &parent);
    case Label: return new QLabel(text, &parent);
    case Edit: return new QLineEdit(&parent);
    case Password: {
        auto* edit = new QLineEdit(&parent);
        edit->setEchoMode(QLineEdit::Password);
        return edit;
    }
    case ReadOnly: {
        auto* edit = new QLineEdit(&parent);
        edit->setReadOnly(true);
        return edit;
    }
    case List: return new QListWidget(&parent);
    case Group: {
        auto* box = new QGroupBox(text, &parent);
        box->lower();
        return box;
    }
    case Bar: return new LevelBar(&parent);
    }
    return nullptr;
}

// Reads until needle has arrived; false when the connection ends first.
bool Await(int fd, const char* needle)
{
    std::string seen;
    char buf[256];
    while (seen.find(needle) == std::string::npos) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool Send(int fd, const char* text)
{
    return ::send(fd, text, std::strlen(text), MSG_NOSIGNAL) > 0;
}

int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || !Await(fd, "login:") ||
        !Send(fd, "admin\r\n") || !Await(fd, "Password:") || !Send(fd, "admin\r\n"))
        std::exit(3);
    return fd;
}

// The value after label's separator, if the block has the label.
bool Find(const char* text, const char* label, int& value)
{
    const char* at = std::strstr(text, label);
    if (at)
        value = std::atoi(at + std::strlen(label) + 1);
    return at != nullptr;
}

struct Shown {
    QLineEdit *rx, *noiseCur, *noiseMin, *noiseMax, *noiseAvg, *localCur, *localMin, *localMax, *remoteCur;
    LevelBar *noiseBar, *localBar, *remoteBar;
};

// The session: receive, parse, one hand-off, one repaint. Runs until the peer closes.
void Receive(int fd, QDialog& dialog, const Shown& w)
{
    long long rx = 0, noiseSum = 0, noiseCount = 0;
    int noiseMin = 200, noiseMax = -200, localMin = 200, localMax = -200;
    char buf[512];
    auto dbm = [](int v) { return QString::number(v) + QStringLiteral(" dBm"); };
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
        if (n <= 0)
            return;
        buf[n] = 0;
        rx += n;
        int noise = 0, local = 0, remote = 0;
        const bool hasNoise = Find(buf, "Noise Floor Level:", noise);
        const bool hasLocal = Find(buf, "Local RSSI level:", local);
        const bool hasRemote = Find(buf, "Remote RSSI level:", remote);
        if (hasNoise) {
            noiseSum += noise, ++noiseCount;
            noiseMin = std::min(noiseMin, noise), noiseMax = std::max(noiseMax, noise);
        }
        if (hasLocal)
            localMin = std::min(localMin, local), localMax = std::max(localMax, local);
        QMetaObject::invokeMethod(
            &dialog,
            [&] {
                QRegion changed;
                auto set = [&](QLineEdit* e, const QString& text) {
                    if (e->text() != text) {
                        e->setText(text);
                        changed += e->geometry();
                    }
                };
                auto level = [&](LevelBar* b, int v) {
                    if (b->value() != v) {
                        b->setValue(v);
                        changed += b->geometry();
                    }
                };
                set(w.rx, QString::number(rx));
                if (hasNoise) {
                    set(w.noiseCur, dbm(noise)), set(w.noiseMin, dbm(noiseMin)), set(w.noiseMax, dbm(noiseMax));
                    set(w.noiseAvg, dbm(static_cast<int>(noiseSum / noiseCount)));
                    level(w.noiseBar, std::clamp(noise + 150, 0, 100));
                }
                if (hasLocal) {
                    set(w.localCur, dbm(local)), set(w.localMin, dbm(localMin)), set(w.localMax, dbm(localMax));
                    level(w.localBar, std::clamp(local + 135, 0, 100));
                }
                if (hasRemote) {
                    set(w.remoteCur, dbm(remote));
                    level(w.remoteBar, std::clamp(remote + 135, 0, 100));
                }
                if (!changed.isEmpty())
                    dialog.repaint(changed);
            },
            Qt::BlockingQueuedConnection);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int port = argc == 3 && std::strcmp(argv[1], "--port") == 0 ? std::atoi(argv[2]) : 0;
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Test Korvane AP"));
    // About the program's pixels per dialog unit at its 8 pt font.
    auto px = [](int du, int num, int den) { return (du * num + den / 2) / den; };
    std::vector<QWidget*> made;
    for (const Control& c : kControls) {
        made.push_back(Create(dialog, c));
        made.back()->setGeometry(px(c.x, 3, 2), px(c.y, 13, 8), px(c.w, 3, 2), px(c.h, 13, 8));
    }
    dialog.setFixedSize(px(260, 3, 2), px(272, 13, 8));
    auto edit = [&](int i) { return static_cast<QLineEdit*>(made[static_cast<std::size_t>(i)]); };
    auto bar = [&](int i) { return static_cast<LevelBar*>(made[static_cast<std::size_t>(i)]); };
    // Indexes into kControls: the value fields and bars, as the program places them.
    const Shown shown{edit(29), edit(26), edit(28), edit(27), edit(34), edit(21), edit(32), edit(31), edit(25),
                      bar(18),  bar(19),  bar(20)};
    QTimer poll;
    std::thread receiver;
    std::atomic<int> fd{-1};
    if (port > 0) {
        QObject::connect(&poll, &QTimer::timeout, [&fd] {
            // The poll the access point is asked for every second, once logged in.
            if (fd >= 0)
                for (const char* part : {"get station", "\r\n", "get nf", "\r\n"})
                    ::send(fd, part, std::strlen(part), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        poll.start(1000);
        // Logged in on the receiver, so the window is up first: the peer may wait for it.
        receiver = std::thread([&] {
            const int connected = Connect(port);
            fd = connected;
            Receive(connected, dialog, shown);
        });
    }
    dialog.show();
    const int rc = app.exec();
    // Ended by a signal in practice; on a close, wake the receiver and let it finish its call.
    if (receiver.joinable()) {
        ::shutdown(fd, SHUT_RDWR);
        receiver.detach();
    }
    return rc;
}
