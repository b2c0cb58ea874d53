#pragma once

#include <QHash>
#include <QStaticText>
#include <QString>
#include <QWidget>

namespace approbe::ui {

// A large figure of a few texts, each laid out once: the SNR changes with nearly every reading,
// and laying its text out at each paint cost more than painting the graph's new strip.
class CFigure : public QWidget {
public:
    using QWidget::QWidget;
    void setText(const QString& text);
    const QString& text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_text;
    QHash<QString, QStaticText> m_laidOut;
};

} // namespace approbe::ui
