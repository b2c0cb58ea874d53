#include "csv_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace approbe {

std::string FileSafeName(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    }
    return out.empty() || out[0] == '.' ? "_" + out : out;
}

std::string IsoTime(std::chrono::system_clock::time_point at)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const int millis = static_cast<int>(ms - static_cast<long long>(seconds) * 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, millis, offset < 0 ? '-' : '+',
                  (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
    return out;
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string FormatRow(const RecordRow& row)
{
    auto number = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string(); };
    return IsoTime(row.at) + "," + CsvField(row.host) + "," + number(row.noise) + "," + number(row.local) + "," +
           number(row.remote) + "," + number(row.snr) + "," + CsvField(row.mark) + "\r\n";
}

CsvFile::~CsvFile() { Close(); }

bool CsvFile::Open(const std::string& path, std::string& error)
{
    Close();
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    struct stat st{};
    if (::fstat(m_fd, &st) == 0 && st.st_size == 0 && !WriteAll(kCsvHeader)) {
        error = path + ": " + std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

bool CsvFile::Append(const RecordRow& row)
{
    return m_fd >= 0 && WriteAll(FormatRow(row));
}

void CsvFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool CsvFile::WriteAll(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace approbe
