#pragma once

#include "probe_window.h"

class QMessageBox;
class QWidget;

namespace approbe::ui {

// The question asked when an access point's SSH host key is not known yet: titled "Unknown host
// key", it shows the host, port, key type and fingerprint, whose text can be selected and copied
// to compare with what the access point's console shows; Trust and save, Connect once, Cancel
// (the default and Esc). Not shown yet; its object name is "hostKeyQuestion".
QMessageBox* NewHostKeyQuestion(const session::HostKeyQuestion& question, QWidget* parent);
// The answer given by the button that closed the box (Cancel when none did).
session::HostKeyAnswer HostKeyAnswerOf(const QMessageBox& box);

} // namespace approbe::ui
