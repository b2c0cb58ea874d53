#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <map>
#include <memory>

#include "presenter.h"
#include "probe_window.h"
#include "profile.h"

class QLineEdit;
class QMenu;
class QListWidget;
class QPushButton;
class QRegion;

namespace approbe::ui {

class CLevelBar;
class CFieldTools;

// The main dialog: the window the session narrates into. It owns the controls and the presenter,
// forwards its buttons to it, and carries out the window operations it asks for, all on the UI
// thread: the session's worker hands its events over through the event queue and never waits.
class CProbeDlg : public QDialog, public IProbeWindow {
    Q_OBJECT
public:
    // profilePath empty: the user's default profile.
    explicit CProbeDlg(const std::string& profilePath = {}, QWidget* parent = nullptr);
    ~CProbeDlg() override;

    CProbePresenter& presenter() { return m_presenter; }
    CFieldTools& tools() { return *m_tools; }
    QWidget* control(int id) const;

    // IProbeWindow
    void Apply(const WindowBatch& batch) override;
    void SetField(int id, const std::string& text) override;
    void AppendLog(const std::string& line) override;
    void ClearLog() override;
    void SetCaption(const std::string& caption) override;
    void EnableConnect(bool enable) override;
    std::string PauseCaption() override;
    void SetPauseCaption(const std::string& caption) override;
    void SetBarRange(int id, int lo, int hi) override;
    void SetBarPos(int id, int pos) override;
    void SetBarColour(int id, Rgb colour) override;
    void SetStale(bool stale) override;
    void PushEdits(const EditTexts& texts, int portLimit) override;
    bool PullEdits(EditTexts& out) override;
    void ShowTooLong(int limit) override;
    void AskHostKey(const session::HostKeyQuestion& question) override;
    void WithdrawHostKeyQuestion() override;
    void WarnHostKeyChanged(const session::HostKeyWarning& warning) override;
    // The open host-key question, if any (its object name is "hostKeyQuestion").
    QMessageBox* hostKeyQuestion() const { return m_hostKeyBox; }
    // The open changed-key warning, if any (its object name is "hostKeyWarning").
    QMessageBox* hostKeyWarning() const { return m_hostKeyWarning; }

    void done(int result) override;

    // The window's system menu: here a context menu on the dialog's background (the desktop gives
    // a program no system menu of its own), ending in a separator and the About item.
    QMenu& systemMenu() { return *m_systemMenu; }
    void OnSysCommand(unsigned id);

protected:
    void showEvent(QShowEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Ends any session (with its farewell, bounded) and waits for the worker.
    void StopSession();
    // One operation of a batch, on the UI thread; adds what must be repainted to dirty.
    void ApplyOp(const WindowOp& op, QRegion& dirty);
    QLineEdit* Edit(int id) const;
    CLevelBar* Bar(int id) const;

    std::map<int, QWidget*> m_controls;
    QMenu* m_systemMenu = nullptr;
    QPointer<QMessageBox> m_hostKeyBox;
    QPointer<QMessageBox> m_hostKeyWarning;
    bool m_closing = false;
    bool m_initialised = false;
    bool m_stale = false;

    IniProfile m_profile;
    CProbePresenter m_presenter; // destroyed before the profile, after the tools
    // The presenter's reading listener: destroyed first, while the presenter still exists.
    std::unique_ptr<CFieldTools> m_tools;
};

} // namespace approbe::ui
