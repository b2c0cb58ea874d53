#pragma once

#include <QColor>
#include <QProgressBar>

namespace approbe::ui {

// A progress bar whose filled part is drawn in exactly the colour it is given, whatever the
// style or theme: the colour is part of the reading. A position below the range shows empty,
// above it full (QProgressBar itself would ignore such a value and keep the old length).
class CLevelBar : public QProgressBar {
public:
    explicit CLevelBar(QWidget* parent = nullptr);
    void setLevel(int position);
    void setBarColour(const QColor& colour);
    QColor barColour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour{128, 128, 128};
};

} // namespace approbe::ui
