#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace approbe::test {

// The rows of a CSV file as Python's csv module reads them.
inline std::vector<QStringList> ReadCsv(const std::string& path)
{
    QProcess python;
    python.start("python3", {APPROBE_CSV_ROWS, QString::fromStdString(path)});
    EXPECT_TRUE(python.waitForFinished(10000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    std::vector<QStringList> rows;
    for (const QJsonValue& row : QJsonDocument::fromJson(python.readAllStandardOutput()).array()) {
        QStringList cells;
        for (const QJsonValue& cell : row.toArray())
            cells << cell.toString();
        rows.push_back(cells);
    }
    return rows;
}

// A recording's columns, by index.
enum CsvColumn { kTime, kHost, kNoise, kLocal, kRemote, kSnr, kMark };

} // namespace approbe::test
