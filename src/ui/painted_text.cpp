#include "painted_text.h"

#include <QDateTime>

namespace approbe::ui {

QString TimeOfDay(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss");
}

QStaticText LaidOut(const QString& text, const QFont& font)
{
    QStaticText laidOut(text);
    laidOut.setTextFormat(Qt::PlainText);
    laidOut.prepare(QTransform(), font);
    return laidOut;
}

} // namespace approbe::ui
