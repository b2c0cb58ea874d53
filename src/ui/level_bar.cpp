#include "level_bar.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace approbe::ui {

CLevelBar::CLevelBar(QWidget* parent) : QProgressBar(parent)
{
    setTextVisible(false);
    setFocusPolicy(Qt::NoFocus);
}

void CLevelBar::setLevel(int position)
{
    // QProgressBar paints at once on a new value; the window paints a step's changes together.
    setUpdatesEnabled(false);
    setValue(std::clamp(position, minimum(), maximum()));
    setUpdatesEnabled(true);
}

void CLevelBar::setBarColour(const QColor& colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void CLevelBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.frameShape = QFrame::StyledPanel;
    frame.state |= QStyle::State_Sunken;
    frame.lineWidth = 1;
    painter.fillRect(rect(), palette().base());
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);

    const QRect inner = rect().adjusted(2, 2, -2, -2);
    const int span = maximum() - minimum();
    if (span <= 0 || inner.isEmpty())
        return;
    const int filled = static_cast<int>(static_cast<long long>(value() - minimum()) * inner.width() / span);
    if (filled > 0)
        painter.fillRect(QRect(inner.left(), inner.top(), filled, inner.height()), m_colour);
}

} // namespace approbe::ui
