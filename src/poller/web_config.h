#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The web configuration file of Prometheus exporters (--web.config.file): TLS for the scrape
// endpoint and basic authentication, in the YAML the exporters' toolkit reads.
//
//   tls_server_config:
//     cert_file: poller.crt        # PEM; relative paths are taken from the file's folder
//     key_file: poller.key
//     min_version: TLS12           # TLS10 .. TLS13; max_version likewise
//   http_server_config:
//     headers:
//       Strict-Transport-Security: max-age=31536000
//   basic_auth_users:
//     prometheus: $2y$10$...       # bcrypt hashes
//
// Every other key the toolkit knows (client certificates, cipher suites, curves, rate limits) is
// refused by name, and a key it does not know is refused too: a setting that would be silently
// ignored is a hole an operator believes closed.
namespace approbe::poller {

struct WebConfig {
    std::string certPem, keyPem;  // both empty: plain HTTP
    std::string tlsPriorities;    // GnuTLS priorities for the allowed protocol versions
    std::map<std::string, std::string> users; // name -> bcrypt hash; empty: no authentication
    std::vector<std::pair<std::string, std::string>> headers; // added to every response

    bool Tls() const { return !certPem.empty(); }
};

struct WebConfigResult {
    std::optional<WebConfig> config;
    std::string error; // "FILE:LINE: what is wrong", or "FILE: ..." for the file as a whole
};

// Parses text (of the file named path, which anchors relative cert_file and key_file) and reads
// the certificate and key it names.
WebConfigResult ParseWebConfig(const std::string& path, const std::string& text);
WebConfigResult LoadWebConfig(const std::string& path);

// Checks basic-auth credentials against the users' bcrypt hashes through the system's crypt.
// A bcrypt check costs tens of milliseconds by design, and a scraper sends the same credentials
// every time, so outcomes are remembered (a few dozen, forgotten all at once when full). An
// unknown user costs a check too, so that timing does not tell which names exist.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users) : m_users(std::move(users)) {}
    bool Enabled() const { return !m_users.empty(); }
    bool Check(const std::string& user, const std::string& password);

private:
    std::map<std::string, std::string> m_users;
    std::mutex m_mutex;
    std::map<std::string, bool> m_known; // user NUL password -> outcome
};

} // namespace approbe::poller
