#pragma once

#include <QFont>
#include <QStaticText>
#include <QString>
#include <chrono>

// Text the trend window paints.
namespace approbe::ui {

// "HH:mm:ss" of a time, local.
QString TimeOfDay(std::chrono::system_clock::time_point t);
// Plain text laid out once for the font, to be drawn many times without laying it out again.
QStaticText LaidOut(const QString& text, const QFont& font);

} // namespace approbe::ui
