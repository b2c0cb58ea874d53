#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <map>
#include <memory>

#include "posix_sockets.h"
#include "probe_core.h"
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

// The main dialog: the window the session narrates into. It owns the controls and the session
// logic, forwards its buttons and timer to the logic, and carries out the window operations the
// logic asks for, on its own thread.
class CProbeDlg : public QDialog, public IProbeWindow {
    Q_OBJECT
public:
    // profilePath empty: the user's default profile.
    explicit CProbeDlg(const std::string& profilePath = {}, QWidget* parent = nullptr);
    ~CProbeDlg() override;

    CProbeCore& core() { return m_core; }
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
    void StartTimer() override;
    void StopTimer() override;
    void PushEdits(const EditTexts& texts, int portLimit) override;
    bool PullEdits(EditTexts& out) override;
    void ShowTooLong(int limit) override;
    void AskHostKey(const HostKeyQuestion& question) override;
    void WithdrawHostKeyQuestion() override;
    // The open host-key question, if any (its object name is "hostKeyQuestion").
    QMessageBox* hostKeyQuestion() const { return m_hostKeyBox; }

    void done(int result) override;

    // The window's system menu: here a context menu on the dialog's background (the desktop gives
    // a program no system menu of its own), ending in a separator and the About item.
    QMenu& systemMenu() { return *m_systemMenu; }
    void OnSysCommand(unsigned id);

protected:
    void showEvent(QShowEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Runs f on this dialog's thread and returns when it has run. From the worker this is a
    // blocking queued call; once closing has begun it refuses at once (returns false), so no
    // worker can wait for a UI thread that is itself waiting for the worker.
    template <typename F> bool OnUiThread(F&& f);
    // Ends any session and waits for its worker, serving the worker's pending window calls.
    void StopSession();
    // One operation of a batch, on the UI thread; adds what must be repainted to dirty.
    void ApplyOp(const WindowOp& op, QRegion& dirty);
    QLineEdit* Edit(int id) const;
    CLevelBar* Bar(int id) const;

    std::map<int, QWidget*> m_controls;
    QMenu* m_systemMenu = nullptr;
    QTimer m_pollTimer;
    QPointer<QMessageBox> m_hostKeyBox;
    std::atomic<bool> m_closing{false};
    bool m_initialised = false;

    PosixSockets m_sockets;
    IniProfile m_profile;
    CProbeCore m_core; // destroyed before the sockets and profile, after the tools
    // Subscribed to the core's consumers: destroyed first, while the core still exists.
    std::unique_ptr<CFieldTools> m_tools;
};

} // namespace approbe::ui
