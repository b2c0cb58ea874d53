#include "keyring.h"

#include <QAction>
#include <QLineEdit>
#include <memory>
#include <qt6keychain/keychain.h>

#include "control_ids.h"
#include "presenter.h"
#include "probe_dlg.h"
#include "profile.h"

namespace approbe::ui {
namespace {

// A keyring that asks for its password in a prompt nobody answers (or a stuck bus) must not hold
// a switch forever; QtKeychain runs its jobs one after the other, so later ones would wait too.
constexpr int kAnswerMs = 10000;
// Typing a host name: the keyring is asked once the typing pauses.
constexpr int kFillDelayMs = 250;

QString OnTip() { return QObject::tr("Keep the access point's password in the desktop's keyring, not in the settings file"); }

} // namespace

struct CKeyringPasswords::Answer {
    QKeychain::Error error = QKeychain::NoError;
    QString why;
    std::string password;
    bool ok() const { return error == QKeychain::NoError || error == QKeychain::EntryNotFound; }
    bool found() const { return error == QKeychain::NoError; }
};

CKeyringPasswords::CKeyringPasswords(CProbeDlg& dlg, IProfile& profile, QAction& action, bool on,
                                     std::function<void(bool)> remember)
    : m_dlg(dlg), m_profile(profile), m_action(action), m_remember(std::move(remember)), m_on(on)
{
    m_action.setChecked(on);
    m_action.setToolTip(OnTip());
    connect(&m_action, &QAction::toggled, this, &CKeyringPasswords::SetOn);
    m_fillSoon.setSingleShot(true);
    m_fillSoon.setInterval(kFillDelayMs);
    connect(&m_fillSoon, &QTimer::timeout, this, &CKeyringPasswords::Fill);
    for (int id : {IDC_HOST, IDC_PORT, IDC_USER})
        if (auto* edit = qobject_cast<QLineEdit*>(dlg.control(id)))
            connect(edit, &QLineEdit::textChanged, this, [this] {
                if (m_on)
                    m_fillSoon.start();
            });
    if (on)
        m_dlg.presenter().SetPasswordKeeper([this](const SettingsTexts& texts) { Keep(texts); });
}

// The presenter outlives the field tools.
CKeyringPasswords::~CKeyringPasswords() { m_dlg.presenter().SetPasswordKeeper(nullptr); }

void CKeyringPasswords::Run(QKeychain::Job* job, std::function<void(const Answer&)> done)
{
    // The job deletes itself once finished; it has no parent, as one deleted while the keyring
    // still works on it would be called back after its end.
    ++m_pending;
    auto answered = std::make_shared<bool>(false);
    auto finish = [this, answered, done = std::move(done)](const Answer& answer) {
        if (std::exchange(*answered, true))
            return;
        --m_pending;
        done(answer);
    };
    connect(job, &QKeychain::Job::finished, this, [finish](QKeychain::Job* j) {
        Answer answer{j->error(), j->errorString(), {}};
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(j))
            answer.password = read->textData().toStdString();
        finish(answer);
    });
    QTimer::singleShot(kAnswerMs, this, [finish] {
        finish({QKeychain::OtherError, tr("The keyring did not answer within %1 s").arg(kAnswerMs / 1000), {}});
    });
    job->start();
}

void CKeyringPasswords::Read(const std::string& key, std::function<void(const Answer&)> done)
{
    auto* job = new QKeychain::ReadPasswordJob(kService);
    job->setKey(QString::fromStdString(key));
    Run(job, std::move(done));
}

void CKeyringPasswords::Write(const std::string& key, const std::string& password,
                              std::function<void(const Answer&)> done)
{
    auto* job = new QKeychain::WritePasswordJob(kService);
    job->setKey(QString::fromStdString(key));
    job->setTextData(QString::fromStdString(password));
    Run(job, [this, key, password, done = std::move(done)](const Answer& answer) {
        if (answer.found())
            m_held[key] = password;
        done(answer);
    });
}

SettingsTexts CKeyringPasswords::Current() const
{
    EditTexts edits;
    SettingsTexts texts;
    if (m_dlg.PullEdits(edits)) {
        texts.m_strHost = edits.host;
        texts.m_strPort = edits.port;
        texts.m_strUser = edits.user;
        texts.m_strPassword = edits.password;
    }
    return texts;
}

QLineEdit* CKeyringPasswords::PasswordEdit() const { return qobject_cast<QLineEdit*>(m_dlg.control(IDC_PASSWORD)); }

void CKeyringPasswords::ShowPassword(const std::string& password)
{
    m_filled = password;
    PasswordEdit()->setText(QString::fromStdString(password));
}

void CKeyringPasswords::Check()
{
    if (m_checked || m_on)
        return;
    m_checked = true;
    // A key nobody keeps: the answer "not found" says the keyring is there.
    Read("approbe:check", [this](const Answer& answer) {
        if (!answer.ok())
            Trouble(answer.why, false);
    });
}

void CKeyringPasswords::SetOn(bool on)
{
    // One move at a time: the item waits for the keyring's answer.
    m_action.setEnabled(false);
    if (on)
        TurnOn();
    else
        TurnOff();
}

void CKeyringPasswords::TurnOn()
{
    const SettingsTexts texts = Current();
    const std::string key = PasswordKey(texts);
    auto done = [this](const Answer& answer) {
        m_action.setEnabled(true);
        if (!answer.ok()) {
            const QSignalBlocker block(&m_action);
            m_action.setChecked(false);
            Trouble(answer.why, true);
            return;
        }
        // Only once the keyring holds it does the password leave the profile.
        if (answer.password.empty())
            m_filled = Current().m_strPassword; // what the keyring now holds for it
        else
            ShowPassword(answer.password);
        ForgetSavedPassword(m_profile);
        m_action.setToolTip(OnTip());
        m_on = true;
        m_remember(true);
        m_dlg.presenter().SetPasswordKeeper([this](const SettingsTexts& t) { Keep(t); });
    };
    if (texts.m_strPassword.empty())
        Read(key, done); // nothing to move: the keyring may hold one already
    else
        Write(key, texts.m_strPassword, done);
}

void CKeyringPasswords::TurnOff()
{
    m_on = false;
    m_fillSoon.stop();
    m_dlg.presenter().SetPasswordKeeper(nullptr);
    const std::string key = PasswordKey(Current());
    Read(key, [this, key](const Answer& answer) {
        m_action.setEnabled(true);
        // What the field shows is what the user means; an empty one takes the keyring's.
        std::string password = Current().m_strPassword;
        if (password.empty() && answer.found())
            ShowPassword(password = answer.password);
        const bool saved = SavePassword(m_profile, password);
        m_remember(false);
        if (!answer.ok()) {
            Trouble(answer.why, true);
            return;
        }
        // The keyring's copy goes only once the profile holds the password.
        if (saved && answer.found()) {
            auto* job = new QKeychain::DeletePasswordJob(kService);
            job->setKey(QString::fromStdString(key));
            Run(job, [this, key](const Answer& removed) {
                if (removed.ok())
                    m_held.erase(key);
                else
                    Trouble(removed.why, true);
            });
        }
    });
}

void CKeyringPasswords::Fill()
{
    const std::string key = PasswordKey(Current());
    Read(key, [this, key](const Answer& answer) {
        if (!answer.ok()) {
            Trouble(answer.why, true);
            return;
        }
        if (answer.found())
            m_held[key] = answer.password;
        else
            m_held.erase(key);
        if (!m_on || PasswordKey(Current()) != key)
            return; // the user has moved on: a later read answers for the new key
        // A password typed by the user for a key the keyring does not know stays.
        if (answer.found())
            ShowPassword(answer.password);
        else if (PasswordEdit()->text().toStdString() == m_filled)
            ShowPassword({});
    });
}

void CKeyringPasswords::Keep(const SettingsTexts& texts)
{
    // An empty field is no password to keep (at the start it is still waiting for the keyring).
    if (texts.m_strPassword.empty())
        return;
    const std::string key = PasswordKey(texts);
    if (const auto held = m_held.find(key); held != m_held.end() && held->second == texts.m_strPassword)
        return;
    Write(key, texts.m_strPassword, [this](const Answer& answer) {
        if (answer.ok())
            ForgetSavedPassword(m_profile); // a Pass put there by hand, while the item was on
        else
            Trouble(answer.why, true);
    });
}

void CKeyringPasswords::Trouble(const QString& why, bool log)
{
    if (!m_on) {
        m_action.setEnabled(false);
        m_action.setToolTip(tr("The keyring cannot be used: %1").arg(why));
    } else {
        m_action.setToolTip(tr("The keyring failed: %1").arg(why));
    }
    if (!log || std::exchange(m_logged, true))
        return;
    m_dlg.AppendLog(
        (m_on ? tr("Keyring: %1. The password stays in its field for this run and is not written to the settings file.")
              : tr("Keyring: %1. The password stays in the settings file."))
            .arg(why)
            .toStdString());
}

} // namespace approbe::ui
