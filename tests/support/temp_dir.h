#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace approbe::test {

// A fresh directory removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// The permission bits of a file, e.g. 0600.
unsigned FileMode(const std::string& path);
// The number of entries in a directory.
std::size_t CountEntries(const std::filesystem::path& dir);

// The unprivileged user a root test becomes to meet permission checks root would pass.
inline constexpr uid_t kNobody = 65534;
// Runs f in a child process as kNobody and returns its result; nothing when not root or the
// user cannot be become.
std::optional<bool> AsNobody(const std::function<bool()>& f);

} // namespace approbe::test
