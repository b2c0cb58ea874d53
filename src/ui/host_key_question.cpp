#include "host_key_question.h"

#include <QMessageBox>
#include <QPushButton>

namespace approbe::ui {

using session::HostKeyAnswer;
using session::HostKeyQuestion;
QMessageBox* NewHostKeyQuestion(const HostKeyQuestion& q, QWidget* parent)
{
    auto* box = new QMessageBox(QMessageBox::Question, QMessageBox::tr("Unknown host key"),
                                QMessageBox::tr("The access point %1 (port %2) is not known yet. It identifies itself "
                                                "with this %3 key:\n\n%4\n\nTrust it only if this is its fingerprint.")
                                    .arg(QString::fromStdString(q.host))
                                    .arg(q.port)
                                    .arg(QString::fromStdString(q.keyType), QString::fromStdString(q.fingerprint)),
                                QMessageBox::NoButton, parent);
    box->setObjectName("hostKeyQuestion");
    // The fingerprint is compared with the access point's own, often by pasting it beside it.
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->addButton(QMessageBox::tr("Trust and save"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::tr("Connect once"), QMessageBox::YesRole);
    QPushButton* cancel = box->addButton(QMessageBox::tr("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

HostKeyAnswer HostKeyAnswerOf(const QMessageBox& box)
{
    QAbstractButton* clicked = box.clickedButton();
    if (!clicked)
        return HostKeyAnswer::Cancel;
    switch (box.buttonRole(clicked)) {
    case QMessageBox::AcceptRole: return HostKeyAnswer::TrustAndSave;
    case QMessageBox::YesRole: return HostKeyAnswer::ConnectOnce;
    default: return HostKeyAnswer::Cancel;
    }
}

} // namespace approbe::ui
