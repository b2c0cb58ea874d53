#include "field_tools.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

#include "control_ids.h"
#include "probe_dlg.h"
#include "profile.h"

namespace approbe::ui {
namespace {

using session::Reading;

constexpr const char* kSection = "Tools";

} // namespace

CFieldTools::CFieldTools(CProbeDlg& dlg, IProfile& profile)
    : m_dlg(dlg), m_profile(profile)
{
    dlg.presenter().SetReadingListener(this);

    QMenu& menu = dlg.systemMenu();
    // The tools go before the separator that leads to the About item.
    QAction* before = nullptr;
    for (QAction* a : menu.actions())
        if (a->isSeparator())
            before = a;
    auto add = [&](const QString& text, const QKeySequence& keys, bool checkable) {
        auto* action = new QAction(text, &menu);
        action->setShortcut(keys);
        action->setCheckable(checkable);
        menu.insertAction(before, action);
        dlg.addAction(action); // the shortcut works while the dialog is active
        return action;
    };
    m_trendAction = add(tr("&Trend"), QKeySequence(Qt::CTRL | Qt::Key_T), false);
    m_recordAction = add(tr("&Record..."), QKeySequence(Qt::CTRL | Qt::Key_R), true);
    m_markAction = add(tr("&Mark..."), QKeySequence(Qt::CTRL | Qt::Key_M), false);
    m_toneAction = add(tr("Aiming &tone"), {}, true);
    m_reconnectAction = add(tr("Auto-&reconnect"), {}, true);
    m_keyringAction = add(tr("Keep passwords in the &keyring"), {}, true);
    auto* devices = new QMenu(tr("&Device type"), &menu);
    menu.insertMenu(before, devices);
    m_markAction->setEnabled(false);
    menu.setToolTipsVisible(true);

    connect(m_trendAction, &QAction::triggered, this, &CFieldTools::OpenTrend);
    connect(m_recordAction, &QAction::triggered, this, [this] { ToggleRecording(); });
    connect(m_markAction, &QAction::triggered, this, &CFieldTools::Mark);
    connect(m_toneAction, &QAction::toggled, this, &CFieldTools::SetTone);
    connect(m_reconnectAction, &QAction::toggled, this, [this](bool on) {
        m_dlg.presenter().SetAutoReconnect(on);
        Store("AutoReconnect", on ? "1" : "0");
    });
    // Looking for an audio device or asking the keyring can take a moment: only when someone opens
    // the menu.
    connect(&menu, &QMenu::aboutToShow, this, &CFieldTools::CheckAudio);
    connect(&menu, &QMenu::aboutToShow, this, [this] { m_keyring->Check(); });
    // The program ends when the dialog closes: let the tone fade out while the dialog still stands.
    connect(&dlg, &QDialog::finished, this, [this] { m_tone.StopAndWait(); });

    m_reconnectAction->setChecked(Setting("AutoReconnect", "0") == "1");
    m_keyring = std::make_unique<CKeyringPasswords>(dlg, profile, *m_keyringAction, Setting("KeyringPasswords", "0") == "1",
                                                    [this](bool on) { Store("KeyringPasswords", on ? "1" : "0"); });
    // No DeviceType key is automatic.
    auto rememberType = [this](const std::string& name) {
        if (name.empty())
            m_profile.RemoveProfileString(kSection, "DeviceType");
        else
            Store("DeviceType", QString::fromStdString(name));
    };
    m_deviceMenu = std::make_unique<CDeviceTypeMenu>(dlg, *devices, Setting("DeviceType", {}).toStdString(), rememberType);
    m_tone.setSource(static_cast<ToneSource>(std::clamp(Setting("ToneSource", "0").toInt(), 0, 2)));
    m_tone.setVolume(Setting("ToneVolume", "50").toInt());
    m_tone.setMute(Setting("ToneMute", "0") == "1");
}

CFieldTools::~CFieldTools()
{
    m_dlg.presenter().SetReadingListener(nullptr);
    delete m_trend;
}

QString CFieldTools::Setting(const char* key, const QString& fallback) const
{
    return QString::fromStdString(m_profile.GetProfileString(kSection, key, fallback.toStdString()));
}

void CFieldTools::Store(const char* key, const QString& value)
{
    if (Setting(key, {}) != value)
        m_profile.WriteProfileString(kSection, key, value.toStdString());
}

void CFieldTools::OnReading(const std::string& host, const Reading& reading)
{
    m_host = QString::fromStdString(host);
    // The graph, the SNR and the tone follow the station chosen in the trend window; the
    // recording keeps what the main window shows.
    const Reading followed = m_data.Followed(reading);
    m_data.Add(followed);
    m_recorder.AddReading(host, reading);
    m_tone.AddReading(followed);
    if (m_trend) {
        m_trend->setHost(m_host);
        m_trend->RefreshSoon(followed);
    }
}

void CFieldTools::OnLevelsGiven(int gives)
{
    m_data.KeepOnly(gives);
    m_recorder.KeepOnly(gives);
    m_tone.KeepOnly(gives);
    if (m_trend)
        m_trend->Refresh();
}

void CFieldTools::OpenTrend()
{
    if (!m_trend) {
        m_trend = new CTrendWindow(m_data, &m_dlg);
        m_trend->setAttribute(Qt::WA_QuitOnClose, false);
        m_trend->setHost(m_host);
        m_trend->setSpanMinutes(std::clamp(Setting("TrendMinutes", "5").toInt(), 1, 30));
        m_trend->setTone(Setting("ToneSource", "0").toInt(), Setting("ToneVolume", "50").toInt(),
                         Setting("ToneMute", "0") == "1");
        for (QAction* a : {m_trendAction, m_recordAction, m_markAction})
            m_trend->addAction(a);
        connect(m_trend, &CTrendWindow::spanChanged, this,
                [this](int minutes) { Store("TrendMinutes", QString::number(minutes)); });
        connect(m_trend, &CTrendWindow::markRequested, this, &CFieldTools::Mark);
        connect(m_trend, &CTrendWindow::toneSourceChanged, this, [this](int source) {
            m_tone.setSource(static_cast<ToneSource>(source));
            Store("ToneSource", QString::number(source));
        });
        connect(m_trend, &CTrendWindow::toneVolumeChanged, this, [this](int volume) {
            m_tone.setVolume(volume);
            Store("ToneVolume", QString::number(volume));
        });
        connect(m_trend, &CTrendWindow::toneMuteChanged, this, [this](bool mute) {
            m_tone.setMute(mute);
            Store("ToneMute", mute ? "1" : "0");
        });
        m_trend->markButton()->setEnabled(m_recorder.recording());
    }
    m_trend->Refresh();
    m_trend->show();
    m_trend->raise();
    m_trend->activateWindow();
}

void CFieldTools::ToggleRecording()
{
    if (m_recorder.recording()) {
        m_recorder.Stop();
    } else {
        QString host = m_host;
        if (host.isEmpty())
            if (auto* edit = qobject_cast<QLineEdit*>(m_dlg.control(IDC_HOST)))
                host = edit->text();
        // The last folder recorded to, else the documents folder, else home: a chooser given a
        // folder that does not exist opens in the program's working directory instead.
        QString folder = Setting("RecordFolder", {});
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            folder = QDir::homePath();
        const QString proposed = QDir(folder).filePath(
            QString::fromStdString(ProposedRecordName(host.toStdString(), std::chrono::system_clock::now())));
        const QString path = m_chooseFile ? m_chooseFile(proposed)
                                          : QFileDialog::getSaveFileName(&m_dlg, tr("Record readings to"), proposed,
                                                                         tr("CSV files (*.csv)"));
        std::string error;
        if (!path.isEmpty() && !m_recorder.Start(path.toStdString(), error))
            QMessageBox::warning(&m_dlg, tr("Recording"), QString::fromStdString(error));
        if (m_recorder.recording())
            Store("RecordFolder", QFileInfo(path).absolutePath());
    }
    m_recordAction->setChecked(m_recorder.recording());
    m_markAction->setEnabled(m_recorder.recording());
    if (m_trend)
        m_trend->markButton()->setEnabled(m_recorder.recording());
}

void CFieldTools::Mark()
{
    if (!m_recorder.recording())
        return;
    std::optional<QString> note;
    if (m_askNote) {
        note = m_askNote();
    } else {
        bool ok = false;
        QWidget* parent = m_trend && m_trend->isActiveWindow() ? static_cast<QWidget*>(m_trend) : &m_dlg;
        const QString text = QInputDialog::getText(parent, tr("Mark"), tr("Note (e.g. az 212, tilt -2):"),
                                                   QLineEdit::Normal, {}, &ok);
        if (ok)
            note = text;
    }
    if (note)
        m_recorder.Mark(note->toStdString(), std::chrono::system_clock::now());
}

void CFieldTools::CheckAudio()
{
    if (m_audioChecked)
        return;
    m_audioChecked = true;
    const QString why = m_tone.Unavailable();
    m_toneAction->setEnabled(why.isEmpty());
    m_toneAction->setToolTip(why.isEmpty() ? tr("A tone whose pitch follows the level chosen in the trend window")
                                           : why);
}

void CFieldTools::SetTone(bool on)
{
    if (!on) {
        m_tone.Stop();
        return;
    }
    if (!m_tone.Start()) {
        const QSignalBlocker block(m_toneAction);
        m_toneAction->setChecked(false);
        m_toneAction->setEnabled(false);
        m_toneAction->setToolTip(tr("The audio output could not be opened"));
    }
}

} // namespace approbe::ui
