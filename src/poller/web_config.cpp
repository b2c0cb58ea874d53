#include "web_config.h"

#include "config.h"
#include "file.h"

#include <crypt.h>
#include <strings.h>
#include <sys/stat.h>
#include <yaml.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <set>

namespace approbe::poller {
namespace {

bool IsBcrypt(const std::string& hash)
{
    static const std::regex form(R"(\$2[aby]\$[0-9]{2}\$[./A-Za-z0-9]{53})");
    return std::regex_match(hash, form);
}

// The exporters' toolkit's names for the TLS versions, in order.
constexpr std::array<const char*, 4> kTlsNames = {"TLS10", "TLS11", "TLS12", "TLS13"};
constexpr std::array<const char*, 4> kGnutlsVersions = {"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2", "VERS-TLS1.3"};

// Keys of the toolkit's format that this server does not implement.
const std::set<std::string> kUnsupportedTls = {"client_ca_file", "client_allowed_sans", "cipher_suites",
                                               "curve_preferences", "cert", "key"};
// The response headers the toolkit lets a config set.
constexpr std::array<const char*, 5> kAllowedHeaders = {"Strict-Transport-Security", "X-Content-Type-Options",
                                                        "X-Frame-Options", "X-XSS-Protection",
                                                        "Content-Security-Policy"};

bool AllowedHeader(const std::string& name)
{
    for (const char* allowed : kAllowedHeaders)
        if (::strcasecmp(name.c_str(), allowed) == 0)
            return true;
    return false;
}

// Walks the loaded YAML document, stopping at the first fault with its line.
class Reader {
public:
    Reader(const std::string& path, yaml_document_t& doc) : m_path(path), m_doc(doc) {}

    bool Fail(const yaml_node_t* at, const std::string& what)
    {
        if (m_error.empty())
            m_error = m_path + ":" + std::to_string(at ? at->start_mark.line + 1 : 1) + ": " + what;
        return false;
    }
    const std::string& error() const { return m_error; }

    static bool IsNull(const yaml_node_t* n)
    {
        if (n->type != YAML_SCALAR_NODE || n->data.scalar.style != YAML_PLAIN_SCALAR_STYLE)
            return false;
        const std::string v = Text(n);
        return v.empty() || v == "~" || v == "null" || v == "Null" || v == "NULL";
    }
    static std::string Text(const yaml_node_t* n)
    {
        return std::string(reinterpret_cast<const char*>(n->data.scalar.value), n->data.scalar.length);
    }

    // Calls each(name, key, value) for every pair of the mapping named where; a null is an empty mapping.
    bool Mapping(const yaml_node_t* n, const std::string& where,
                 const std::function<bool(const std::string&, const yaml_node_t*, const yaml_node_t*)>& each)
    {
        if (IsNull(n))
            return true;
        if (n->type != YAML_MAPPING_NODE)
            return Fail(n, (where.empty() ? std::string("the file") : where) + " must be a mapping of keys to values");
        std::set<std::string> seen;
        for (auto* pair = n->data.mapping.pairs.start; pair < n->data.mapping.pairs.top; ++pair) {
            const yaml_node_t* key = yaml_document_get_node(&m_doc, pair->key);
            const yaml_node_t* value = yaml_document_get_node(&m_doc, pair->value);
            if (key->type != YAML_SCALAR_NODE)
                return Fail(key, where + ": a key must be plain text");
            const std::string name = Text(key);
            if (!seen.insert(name).second)
                return Fail(key, where + (where.empty() ? "" : ".") + name + " is given twice");
            if (!each(name, key, value))
                return false;
        }
        return true;
    }
    // The text of a scalar value named name.
    bool Scalar(const yaml_node_t* n, const std::string& name, std::string& out)
    {
        if (n->type != YAML_SCALAR_NODE)
            return Fail(n, name + " must be a single value");
        out = Text(n);
        return true;
    }
    bool Bool(const yaml_node_t* n, const std::string& name)
    {
        std::string v;
        if (!Scalar(n, name, v))
            return false;
        for (const char* word : {"true", "false", "yes", "no", "on", "off"})
            if (::strcasecmp(v.c_str(), word) == 0)
                return true;
        return Fail(n, name + " must be true or false, not " + v);
    }

private:
    const std::string& m_path;
    yaml_document_t& m_doc;
    std::string m_error;
};

struct TlsSettings {
    std::string certFile, keyFile;
    const yaml_node_t *certAt = nullptr, *keyAt = nullptr, *at = nullptr;
    std::size_t minVersion = 2, maxVersion = 3; // TLS12 .. TLS13, the toolkit's defaults
};

bool ParseTls(Reader& r, const yaml_node_t* node, TlsSettings& tls)
{
    tls.at = node;
    return r.Mapping(node, "tls_server_config", [&](const std::string& key, const yaml_node_t* at, const yaml_node_t* value) {
        const std::string name = "tls_server_config." + key;
        if (key == "cert_file") {
            tls.certAt = value;
            return r.Scalar(value, name, tls.certFile);
        }
        if (key == "key_file") {
            tls.keyAt = value;
            return r.Scalar(value, name, tls.keyFile);
        }
        if (key == "min_version" || key == "max_version") {
            std::string v;
            if (!r.Scalar(value, name, v))
                return false;
            for (std::size_t i = 0; i < kTlsNames.size(); ++i) {
                if (v == kTlsNames[i]) {
                    (key == "min_version" ? tls.minVersion : tls.maxVersion) = i;
                    return true;
                }
            }
            return r.Fail(value, name + " must be TLS10, TLS11, TLS12 or TLS13, not " + v);
        }
        if (key == "client_auth_type") {
            std::string v;
            if (!r.Scalar(value, name, v))
                return false;
            return v == "NoClientCert" || r.Fail(value, name + " " + v + " is not supported by approbe-poller "
                                                        "(client certificates are not checked); only NoClientCert");
        }
        if (key == "prefer_server_cipher_suites")
            return r.Bool(value, name);
        if (kUnsupportedTls.count(key))
            return r.Fail(at, name + " is not supported by approbe-poller");
        return r.Fail(at, "unknown key " + name);
    });
}

bool ParseHttp(Reader& r, const yaml_node_t* node, WebConfig& out)
{
    return r.Mapping(node, "http_server_config", [&](const std::string& key, const yaml_node_t* at, const yaml_node_t* value) {
        const std::string name = "http_server_config." + key;
        if (key == "http2") // HTTP/1.1 is served either way
            return r.Bool(value, name);
        if (key != "headers")
            return r.Fail(at, "unknown key " + name);
        return r.Mapping(value, name, [&](const std::string& header, const yaml_node_t* headerAt, const yaml_node_t* v) {
            if (!AllowedHeader(header))
                return r.Fail(headerAt, name + ": " + header + " cannot be set; only Strict-Transport-Security, "
                                 "X-Content-Type-Options, X-Frame-Options, X-XSS-Protection, Content-Security-Policy");
            std::string text;
            if (!r.Scalar(v, name + "." + header, text))
                return false;
            if (text.find_first_of("\r\n") != std::string::npos)
                return r.Fail(v, name + "." + header + " must be one line");
            out.headers.emplace_back(header, text);
            return true;
        });
    });
}

bool ParseUsers(Reader& r, const yaml_node_t* node, WebConfig& out)
{
    return r.Mapping(node, "basic_auth_users", [&](const std::string& user, const yaml_node_t* at, const yaml_node_t* value) {
        std::string hash;
        if (!r.Scalar(value, "basic_auth_users." + user, hash))
            return false;
        if (user.empty() || user.find(':') != std::string::npos)
            return r.Fail(at, "basic_auth_users: a user name must be non-empty and hold no colon");
        std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
        if (!IsBcrypt(hash) || !crypt_rn("", hash.c_str(), data.get(), sizeof *data))
            return r.Fail(value, "basic_auth_users." + user + " is not a bcrypt hash ($2b$ or $2y$, as made by "
                                 "mkpasswd -m bcrypt or htpasswd -nB)");
        out.users[user] = hash;
        return true;
    });
}

// Reads a PEM file that tls_server_config names; the key must not be readable by others.
bool ReadPem(Reader& r, const std::string& base, const std::string& file, const yaml_node_t* at, bool key,
             std::string& out)
{
    const std::string path = file.front() == '/' ? file : Directory(base) + "/" + file;
    const char* what = key ? "tls_server_config.key_file " : "tls_server_config.cert_file ";
    std::string why;
    if (!ReadFile(path, out, why))
        return r.Fail(at, what + path + ": " + why);
    const char* kind = key ? "PRIVATE KEY-----" : "CERTIFICATE-----";
    if (out.find("-----BEGIN ") == std::string::npos || out.find(kind) == std::string::npos)
        return r.Fail(at, what + path + " holds no PEM " + (key ? "private key" : "certificate"));
    struct stat st{};
    if (key && ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
        return r.Fail(at, what + path + " can be read by anyone; make it private with: chmod o-r " + path);
    return true;
}

} // namespace

WebConfigResult ParseWebConfig(const std::string& path, const std::string& text)
{
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_document_t doc;
    if (!yaml_parser_load(&parser, &doc)) {
        WebConfigResult bad;
        bad.error = path + ":" + std::to_string(parser.problem_mark.line + 1) + ": not YAML: " +
                    (parser.problem ? parser.problem : "unreadable") +
                    (parser.context ? std::string(" ") + parser.context : std::string());
        yaml_parser_delete(&parser);
        return bad;
    }
    std::unique_ptr<yaml_document_t, void (*)(yaml_document_t*)> owned(&doc, yaml_document_delete);
    yaml_parser_delete(&parser);

    WebConfig config;
    TlsSettings tls;
    Reader r(path, doc);
    const yaml_node_t* root = yaml_document_get_root_node(&doc);
    bool ok = !root || r.Mapping(root, "", [&](const std::string& key, const yaml_node_t* at, const yaml_node_t* value) {
        if (key == "tls_server_config")
            return ParseTls(r, value, tls);
        if (key == "http_server_config")
            return ParseHttp(r, value, config);
        if (key == "basic_auth_users")
            return ParseUsers(r, value, config);
        if (key == "rate_limit")
            return r.Fail(at, key + " is not supported by approbe-poller");
        return r.Fail(at, "unknown key " + key);
    });
    if (ok && tls.certFile.empty() != tls.keyFile.empty())
        ok = r.Fail(tls.at, std::string("tls_server_config: ") + (tls.certFile.empty() ? "cert_file" : "key_file") +
                                " is missing");
    if (ok && tls.minVersion > tls.maxVersion)
        ok = r.Fail(tls.at, "tls_server_config: min_version is above max_version");
    if (ok && !tls.certFile.empty())
        ok = ReadPem(r, path, tls.certFile, tls.certAt, false, config.certPem) &&
             ReadPem(r, path, tls.keyFile, tls.keyAt, true, config.keyPem);
    if (!ok)
        return {std::nullopt, r.error()};
    if (config.Tls()) {
        config.tlsPriorities = "NORMAL:-VERS-ALL";
        for (std::size_t v = tls.minVersion; v <= tls.maxVersion; ++v)
            config.tlsPriorities += std::string(":+") + kGnutlsVersions[v];
    }
    return {std::move(config), {}};
}

WebConfigResult LoadWebConfig(const std::string& path)
{
    std::string text, why;
    if (!ReadFile(path, text, why))
        return {std::nullopt, path + ": " + why};
    return ParseWebConfig(path, text);
}

namespace {

// Compares every byte whatever the first difference, so the time taken tells nothing.
bool SameText(const char* a, const std::string& b)
{
    const std::size_t n = std::strlen(a);
    unsigned diff = n == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n && i < b.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

} // namespace

bool BasicAuth::Check(const std::string& user, const std::string& password)
{
    std::string key = user;
    key += '\0';
    key += password;
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_known.find(key); it != m_known.end())
            return it->second;
    }
    const auto found = m_users.find(user);
    // An unknown user is checked against a known user's hash, which costs as much.
    const std::string& hash = found != m_users.end() ? found->second : m_users.begin()->second;
    std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    const bool ok = out && SameText(out, hash) && found != m_users.end();
    std::lock_guard lock(m_mutex);
    if (m_known.size() >= 64)
        m_known.clear();
    m_known.emplace(std::move(key), ok);
    return ok;
}

} // namespace approbe::poller
