#pragma once

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"
#include "temp_dir.h"

namespace approbe::test {

// A simulator script: the normal login, then the shell with fixed values.
inline std::string ValuesScript(int noise, int local, int remote)
{
    return "login\nvalues " + std::to_string(noise) + " " + std::to_string(local) + " " + std::to_string(remote) + "\nshell\n";
}

// An access point's section for the config.
inline std::string ApSection(const std::string& name, int port, const std::string& pass = "admin")
{
    return "[" + name + "]\nHost = 127.0.0.1\nPort = " + std::to_string(port) + "\nUser = admin\nPass = " + pass + "\n";
}

// The real approbe-poller on a private config, serving /metrics on a loopback port of its choice.
class PollerRig {
    TempDir m_dir; // first: config is made from it

public:
    const std::string config = m_dir.file("poller.ini");

    void WriteConfig(const std::string& text) const
    {
        WriteFile(config, text);
        ::chmod(config.c_str(), 0600);
    }
    // Starts it; false if it did not announce its /metrics port (http or https) within 5 s.
    bool Start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {APPROBE_POLLER_PATH, "--config", config, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<ChildProcess>(args);
        const std::string mark = "://127.0.0.1:";
        if (!process->waitLog(mark, std::chrono::seconds(5)))
            return false;
        const std::string log = process->log();
        port = std::atoi(log.c_str() + log.find(mark) + mark.size());
        return port > 0;
    }
    std::string Metrics() const { return HttpGet(port, "/metrics"); }
    // The value of metric{ap="name"}, if /metrics has it.
    std::optional<std::string> Sample(const std::string& metric, const std::string& name) const
    {
        const std::string text = Metrics(), head = metric + "{ap=\"" + name + "\"} ";
        const auto at = text.find(head);
        if (at == std::string::npos)
            return std::nullopt;
        return text.substr(at + head.size(), text.find('\n', at) - at - head.size());
    }
    long Count(const std::string& metric, const std::string& name) const
    {
        const auto v = Sample(metric, name);
        return v ? std::atol(v->c_str()) : -1;
    }
    bool WaitSample(const std::string& metric, const std::string& name, const std::string& value,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        return WaitUntil([&] { return Sample(metric, name) == value; }, timeout,
                         [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    }

    std::unique_ptr<ChildProcess> process;
    int port = 0;
};

} // namespace approbe::test
