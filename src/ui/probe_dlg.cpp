#include "probe_dlg.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QValidator>

#include "about_dlg.h"
#include "control_ids.h"
#include "dialog_template.h"
#include "level_bar.h"
#include "resource_ids.h"

namespace approbe::ui {
namespace {

// Limits what can be typed, like an edit's text limit: text set by the program may be longer,
// and the exchange then refuses it.
class MaxCharsValidator : public QValidator {
public:
    MaxCharsValidator(int limit, QObject* parent) : QValidator(parent), m_limit(limit) {}
    State validate(QString& input, int&) const override
    {
        return input.size() <= m_limit ? Acceptable : Invalid;
    }

private:
    int m_limit;
};

QString FromText(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Shows the beginning of a text wider than its edit, as the platform's edits do.
void SetEditText(QLineEdit* edit, const std::string& text)
{
    edit->setText(FromText(text));
    edit->setCursorPosition(0);
}

} // namespace

CProbeDlg::CProbeDlg(const std::string& profilePath, QWidget* parent)
    // A top-level application window (on the taskbar, not transient for a hidden leader) with a
    // title, a window menu and a close box only; the template fixes its size.
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_profile(profilePath.empty() ? DefaultProfilePath() : profilePath),
      m_core(*this, m_sockets, m_profile)
{
    BuildDialog(*this, kProbeDialogTemplate);
    for (QObject* child : children()) {
        const QVariant id = child->property("controlId");
        if (id.isValid() && id.toInt() != -1)
            m_controls[id.toInt()] = static_cast<QWidget*>(child);
    }
    // A coarse timer may fire 5 % early or late; the access point is polled once a second.
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    m_pollTimer.setInterval(1000);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { m_core.OnTimer(); });
    auto button = [this](int id) { return static_cast<QPushButton*>(m_controls.at(id)); };
    connect(button(IDOK), &QPushButton::clicked, this, [this] { m_core.OnOK(); });
    connect(button(IDCANCEL), &QPushButton::clicked, this, &QDialog::reject);
    connect(button(IDC_DISCONNECT), &QPushButton::clicked, this, [this] { m_core.OnDisconnect(); });
    connect(button(IDC_PAUSE), &QPushButton::clicked, this, [this] { m_core.OnPause(); });

    // The program has no help of its own: the Help key opens the About box.
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    m_systemMenu = new QMenu(this);
    QAction* close = m_systemMenu->addAction(tr("&Close"));
    close->setData(IDM_CLOSE);
    if (const QString about = QString::fromUtf8(LoadString(IDS_ABOUTBOX)); !about.isEmpty()) {
        m_systemMenu->addSeparator();
        m_systemMenu->addAction(about)->setData(IDM_ABOUTBOX);
    }
    connect(m_systemMenu, &QMenu::triggered, this, [this](QAction* action) { OnSysCommand(action->data().toUInt()); });
}

CProbeDlg::~CProbeDlg()
{
    StopSession();
}

void CProbeDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_initialised)
        return;
    m_initialised = true;
    // Minimised windows are drawn by the desktop from this icon, so no painting of our own is needed.
    setWindowIcon(AppIcon());
    m_core.OnInitDialog();
    m_controls.at(IDOK)->setFocus();
}

void CProbeDlg::contextMenuEvent(QContextMenuEvent* event)
{
    m_systemMenu->popup(event->globalPos());
}

void CProbeDlg::OnSysCommand(unsigned id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    } else if (id == IDM_CLOSE) {
        reject();
    }
}

void CProbeDlg::done(int result)
{
    StopSession();
    QDialog::done(result);
}

void CProbeDlg::StopSession()
{
    m_closing = true;
    m_pollTimer.stop();
    m_core.BeginClose();
    // A worker may already be blocked in a window call queued before closing began: serve those
    // calls while waiting, or it could never finish.
    while (!m_core.WaitSessionEnd(std::chrono::milliseconds(5)))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

template <typename F> bool CProbeDlg::OnUiThread(F&& f)
{
    if (QThread::currentThread() == thread()) {
        f();
        return true;
    }
    if (m_closing)
        return false;
    return QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

QWidget* CProbeDlg::control(int id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QLineEdit* CProbeDlg::Edit(int id) const { return static_cast<QLineEdit*>(m_controls.at(id)); }
CLevelBar* CProbeDlg::Bar(int id) const { return static_cast<CLevelBar*>(m_controls.at(id)); }

void CProbeDlg::SetField(int id, const std::string& text)
{
    OnUiThread([&] {
        QLineEdit* edit = Edit(id);
        SetEditText(edit, text);
        edit->repaint();
    });
}

void CProbeDlg::AppendLog(const std::string& line)
{
    OnUiThread([&] { static_cast<QListWidget*>(m_controls.at(IDC_LOG))->addItem(FromText(line)); });
}

void CProbeDlg::ClearLog()
{
    OnUiThread([&] { static_cast<QListWidget*>(m_controls.at(IDC_LOG))->clear(); });
}

void CProbeDlg::SetCaption(const std::string& caption)
{
    OnUiThread([&] { setWindowTitle(FromText(caption)); });
}

void CProbeDlg::EnableConnect(bool enable)
{
    OnUiThread([&] {
        QWidget* connectButton = m_controls.at(IDOK);
        // Disabling the window's focus widget makes Qt pass it on to Exit, where a following Enter
        // would end the program. Also while a message box is up and the dialog is inactive: the
        // focus widget gets the focus back when the box closes.
        if (!enable && focusWidget() == connectButton)
            m_controls.at(IDC_DISCONNECT)->setFocus();
        connectButton->setEnabled(enable);
    });
}

std::string CProbeDlg::PauseCaption()
{
    std::string caption;
    OnUiThread([&] { caption = static_cast<QPushButton*>(m_controls.at(IDC_PAUSE))->text().toStdString(); });
    return caption;
}

void CProbeDlg::SetPauseCaption(const std::string& caption)
{
    OnUiThread([&] {
        auto* pause = static_cast<QPushButton*>(m_controls.at(IDC_PAUSE));
        pause->setText(FromText(caption));
        pause->repaint();
    });
}

void CProbeDlg::SetBarRange(int id, int lo, int hi)
{
    OnUiThread([&] { Bar(id)->setRange(lo, hi); });
}

void CProbeDlg::SetBarPos(int id, int pos)
{
    OnUiThread([&] {
        CLevelBar* bar = Bar(id);
        bar->setLevel(pos);
        bar->repaint();
    });
}

void CProbeDlg::SetBarColour(int id, Rgb colour)
{
    OnUiThread([&] {
        CLevelBar* bar = Bar(id);
        bar->setBarColour(QColor(colour.r, colour.g, colour.b));
        bar->repaint();
    });
}

unsigned CProbeDlg::StartTimer()
{
    bool started = false;
    OnUiThread([&] {
        // A call queued just before closing began must not restart the timer that closing stopped.
        if (m_closing)
            return;
        m_pollTimer.start();
        started = true;
    });
    return started ? 1u : 0u;
}

void CProbeDlg::StopTimer(unsigned)
{
    OnUiThread([&] { m_pollTimer.stop(); });
}

void CProbeDlg::PushEdits(const EditTexts& texts, int portLimit)
{
    OnUiThread([&] {
        SetEditText(Edit(IDC_HOST), texts.host);
        QLineEdit* port = Edit(IDC_PORT);
        SetEditText(port, texts.port);
        if (!port->validator())
            port->setValidator(new MaxCharsValidator(portLimit, port));
        SetEditText(Edit(IDC_PASSWORD), texts.password);
        SetEditText(Edit(IDC_USER), texts.user);
    });
}

bool CProbeDlg::PullEdits(EditTexts& out)
{
    return OnUiThread([&] {
        out.host = Edit(IDC_HOST)->text().toStdString();
        out.port = Edit(IDC_PORT)->text().toStdString();
        out.password = Edit(IDC_PASSWORD)->text().toStdString();
        out.user = Edit(IDC_USER)->text().toStdString();
    });
}

void CProbeDlg::ShowTooLong(int limit)
{
    OnUiThread([&] {
        if (!m_closing) // a call served while closing must not open a box
            QMessageBox::warning(this, windowTitle(), tr("Enter no more than %1 characters.").arg(limit));
    });
}

} // namespace approbe::ui
