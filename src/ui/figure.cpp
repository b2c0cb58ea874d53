#include "figure.h"

#include <QEvent>
#include <QPainter>

#include "painted_text.h"

namespace approbe::ui {

void CFigure::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    update();
}

void CFigure::paintEvent(QPaintEvent*)
{
    auto it = m_laidOut.find(m_text);
    if (it == m_laidOut.end()) {
        if (m_laidOut.size() > 128) // the figures of a session or two
            m_laidOut.clear();
        it = m_laidOut.insert(m_text, LaidOut(m_text, font()));
    }
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawStaticText(0, (height() - qRound(it->size().height())) / 2, *it);
}

void CFigure::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        m_laidOut.clear();
    QWidget::changeEvent(event);
}

} // namespace approbe::ui
