#include "probe_dlg.h"

#include <QContextMenuEvent>
#include <QGraphicsOpacityEffect>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegion>
#include <QShortcut>
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

using session::HostKeyQuestion;
using session::HostKeyWarning;

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

// The controls that show values: dimmed together when the values are old.
constexpr int kValueControls[] = {IDC_NOISE_CUR,      IDC_NOISE_AVG,      IDC_NOISE_MIN,      IDC_NOISE_MAX,
                                  IDC_LOCAL_RSSI_CUR, IDC_LOCAL_RSSI_MIN, IDC_LOCAL_RSSI_MAX, IDC_REMOTE_RSSI_CUR,
                                  IDC_NOISE_BAR,      IDC_LOCAL_RSSI_BAR, IDC_REMOTE_RSSI_BAR};

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
      // Queued to this dialog: a call still queued when the dialog is gone is dropped with it.
      m_presenter(*this, m_profile,
                  [this](std::function<void()> f) { QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection); })
{
    BuildDialog(*this, kProbeDialogTemplate);
    for (QObject* child : children()) {
        const QVariant id = child->property("controlId");
        if (id.isValid() && id.toInt() != -1)
            m_controls[id.toInt()] = static_cast<QWidget*>(child);
    }
    auto button = [this](int id) { return static_cast<QPushButton*>(m_controls.at(id)); };
    connect(button(IDOK), &QPushButton::clicked, this, [this] { m_presenter.OnOK(); });
    connect(button(IDCANCEL), &QPushButton::clicked, this, &QDialog::reject);
    connect(button(IDC_DISCONNECT), &QPushButton::clicked, this, [this] { m_presenter.OnDisconnect(); });
    connect(button(IDC_PAUSE), &QPushButton::clicked, this, [this] { m_presenter.OnPause(); });

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
    m_presenter.OnInitDialog();
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
    // The worker never waits for this thread, so waiting for it here cannot deadlock; the loop's
    // farewell deadline bounds the wait.
    m_presenter.BeginClose();
    m_presenter.WaitSessionEnd(std::chrono::seconds(5));
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
    // Each change only marks its widget; one repaint then paints them all and flushes to the
    // screen once.
    QRegion dirty;
    for (const WindowOp& op : batch.ops())
        ApplyOp(op, dirty);
    if (!dirty.isEmpty())
        repaint(dirty);
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
    case Kind::Stale:
        if ((op.id != 0) == m_stale)
            break;
        m_stale = op.id != 0;
        for (int id : kValueControls) {
            QWidget* w = m_controls.at(id);
            if (m_stale) {
                auto* dim = new QGraphicsOpacityEffect(w);
                dim->setOpacity(0.35);
                w->setGraphicsEffect(dim); // the widget owns it and deletes it when replaced
            } else {
                w->setGraphicsEffect(nullptr);
            }
        }
        break;
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
void CProbeDlg::SetStale(bool stale) { Apply(One(&WindowBatch::SetStale, stale)); }

std::string CProbeDlg::PauseCaption() { return static_cast<QPushButton*>(m_controls.at(IDC_PAUSE))->text().toStdString(); }

void CProbeDlg::PushEdits(const EditTexts& texts, int portLimit)
{
    SetEditText(Edit(IDC_HOST), texts.host);
    QLineEdit* port = Edit(IDC_PORT);
    SetEditText(port, texts.port);
    if (!port->validator())
        port->setValidator(new MaxCharsValidator(portLimit, port));
    SetEditText(Edit(IDC_PASSWORD), texts.password);
    SetEditText(Edit(IDC_USER), texts.user);
}

bool CProbeDlg::PullEdits(EditTexts& out)
{
    if (m_closing)
        return false;
    out.host = Edit(IDC_HOST)->text().toStdString();
    out.port = Edit(IDC_PORT)->text().toStdString();
    out.password = Edit(IDC_PASSWORD)->text().toStdString();
    out.user = Edit(IDC_USER)->text().toStdString();
    return true;
}

void CProbeDlg::ShowTooLong(int limit)
{
    if (!m_closing)
        QMessageBox::warning(this, windowTitle(), tr("Enter no more than %1 characters.").arg(limit));
}

void CProbeDlg::AskHostKey(const HostKeyQuestion& q)
{
    // Not modal: the session waits for the answer, and the window stays free to close meanwhile.
    {
        QMessageBox* box = NewHostKeyQuestion(q, this);
        connect(box, &QMessageBox::finished, this, [this, box] {
            m_presenter.AnswerHostKey(HostKeyAnswerOf(*box));
            box->deleteLater(); // answering hides it, which alone would not free it
        });
        m_hostKeyBox = box;
        box->open();
    }
}

void CProbeDlg::WithdrawHostKeyQuestion()
{
    if (m_hostKeyBox)
        m_hostKeyBox->reject(); // its answer, Cancel, finds the session already past the question
}

void CProbeDlg::WarnHostKeyChanged(const HostKeyWarning& w)
{
    const QString what = w.otherType ? tr("is known by a key of another type") : tr("has changed");
    auto* box = new QMessageBox(
        QMessageBox::Warning, tr("Host key changed"),
        tr("The host key of %1 (port %2) %3.\n\nSomeone may be intercepting the connection, or the access point "
           "really has a new key. The session was refused.\n\nKey shown now: %4 %5\nKey on file: %6\n\nIf the "
           "access point really has a new key, remove line %7 of %8 and connect again.")
            .arg(FromText(w.host))
            .arg(w.port)
            .arg(what, FromText(w.keyType), FromText(w.fingerprint), FromText(w.knownFingerprint))
            .arg(w.line)
            .arg(FromText(w.file)),
        QMessageBox::Close, this);
    box->setObjectName("hostKeyWarning");
    // The fingerprints are there to be compared and copied.
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (m_hostKeyWarning)
        m_hostKeyWarning->close();
    m_hostKeyWarning = box;
    box->open();
}

} // namespace approbe::ui
