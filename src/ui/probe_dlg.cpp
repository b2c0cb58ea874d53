#include "probe_dlg.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegion>
#include <QShortcut>
#include <QThread>
#include <QValidator>

#include "about_dlg.h"
#include "control_ids.h"
#include "dialog_template.h"
#include "field_tools.h"
#include "host_key_question.h"
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
    m_tools = std::make_unique<CFieldTools>(*this, m_profile);
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

void CProbeDlg::Apply(const WindowBatch& batch)
{
    OnUiThread([&] {
        // Each change only marks its widget; one repaint then paints them all and flushes to
        // the screen once, before the caller goes on.
        QRegion dirty;
        for (const WindowOp& op : batch.ops())
            ApplyOp(op, dirty);
        if (!dirty.isEmpty())
            repaint(dirty);
    });
}

void CProbeDlg::ApplyOp(const WindowOp& op, QRegion& dirty)
{
    using Kind = WindowOp::Kind;
    auto changed = [&](QWidget* w) { dirty += QRect(w->mapTo(this, QPoint(0, 0)), w->size()); };
    switch (op.kind) {
    case Kind::Field: {
        QLineEdit* edit = Edit(op.id);
        SetEditText(edit, op.text);
        changed(edit);
        break;
    }
    case Kind::Log: static_cast<QListWidget*>(m_controls.at(IDC_LOG))->addItem(FromText(op.text)); break;
    case Kind::ClearLog: static_cast<QListWidget*>(m_controls.at(IDC_LOG))->clear(); break;
    case Kind::Caption: setWindowTitle(FromText(op.text)); break;
    case Kind::EnableConnect: {
        QWidget* connectButton = m_controls.at(IDOK);
        // Disabling the window's focus widget makes Qt pass it on to Exit, where a following Enter
        // would end the program. Also while a message box is up and the dialog is inactive: the
        // focus widget gets the focus back when the box closes.
        if (op.id == 0 && focusWidget() == connectButton)
            m_controls.at(IDC_DISCONNECT)->setFocus();
        connectButton->setEnabled(op.id != 0);
        break;
    }
    case Kind::PauseCaption: {
        auto* pause = static_cast<QPushButton*>(m_controls.at(IDC_PAUSE));
        if (pause->text() != FromText(op.text)) {
            pause->setText(FromText(op.text));
            changed(pause);
        }
        break;
    }
    case Kind::BarRange: Bar(op.id)->setRange(op.a, op.b); break;
    case Kind::BarPos:
        Bar(op.id)->setLevel(op.a);
        changed(Bar(op.id));
        break;
    case Kind::BarColour:
        Bar(op.id)->setBarColour(QColor(op.colour.r, op.colour.g, op.colour.b));
        changed(Bar(op.id));
        break;
    case Kind::StartTimer:
        // A call queued just before closing began must not restart the timer that closing stopped.
        if (!m_closing)
            m_pollTimer.start();
        break;
    case Kind::StopTimer: m_pollTimer.stop(); break;
    }
}

// The single operations are batches of one.
template <typename... Args> static WindowBatch One(void (WindowBatch::*add)(Args...), Args... args)
{
    WindowBatch batch;
    (batch.*add)(std::move(args)...);
    return batch;
}

void CProbeDlg::SetField(int id, const std::string& text) { Apply(One(&WindowBatch::SetField, id, text)); }
void CProbeDlg::AppendLog(const std::string& line) { Apply(One(&WindowBatch::AppendLog, line)); }
void CProbeDlg::ClearLog() { Apply(One(&WindowBatch::ClearLog)); }
void CProbeDlg::SetCaption(const std::string& caption) { Apply(One(&WindowBatch::SetCaption, caption)); }
void CProbeDlg::EnableConnect(bool enable) { Apply(One(&WindowBatch::EnableConnect, enable)); }
void CProbeDlg::SetPauseCaption(const std::string& caption) { Apply(One(&WindowBatch::SetPauseCaption, caption)); }
void CProbeDlg::SetBarRange(int id, int lo, int hi) { Apply(One(&WindowBatch::SetBarRange, id, lo, hi)); }
void CProbeDlg::SetBarPos(int id, int pos) { Apply(One(&WindowBatch::SetBarPos, id, pos)); }
void CProbeDlg::SetBarColour(int id, Rgb colour) { Apply(One(&WindowBatch::SetBarColour, id, colour)); }
void CProbeDlg::StartTimer() { Apply(One(&WindowBatch::StartTimer)); }
void CProbeDlg::StopTimer() { Apply(One(&WindowBatch::StopTimer)); }

std::string CProbeDlg::PauseCaption()
{
    std::string caption;
    OnUiThread([&] { caption = static_cast<QPushButton*>(m_controls.at(IDC_PAUSE))->text().toStdString(); });
    return caption;
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

void CProbeDlg::AskHostKey(const HostKeyQuestion& q)
{
    // Not modal in the worker's call: the worker waits for the answer, and the UI thread stays
    // free to close the window meanwhile.
    OnUiThread([&] {
        QMessageBox* box = NewHostKeyQuestion(q, this);
        connect(box, &QMessageBox::finished, this, [this, box] {
            m_core.AnswerHostKey(HostKeyAnswerOf(*box));
            box->deleteLater(); // answering hides it, which alone would not free it
        });
        m_hostKeyBox = box;
        box->open();
    });
}

void CProbeDlg::WithdrawHostKeyQuestion()
{
    OnUiThread([&] {
        if (m_hostKeyBox)
            m_hostKeyBox->reject(); // its answer, Cancel, finds the session already past the question
    });
}

} // namespace approbe::ui
