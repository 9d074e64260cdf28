// The Linux build's check::Source: the query of a WMI class over
// WS-Management (WinRM), with no agent on the target.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../check/Source.h"
#include "Advice.h"
#include "Client.h"

namespace wmicheck {

struct SourceSettings {
    wsman::Settings connection;
    std::string nameSpace = "root\\cimv2";
    std::string classPath, filter;
    // The run's deadline (-t from the start) and the time-out it stands for.
    wsman::Clock::time_point deadline;
    std::chrono::milliseconds timeout{30000};
    int verbosity = 0;
};

class WsmanSource final : public check::Source {
public:
    // transport: for tests; the curl transport when null.
    explicit WsmanSource(SourceSettings settings, std::unique_ptr<wsman::Transport> transport = nullptr);

    size_t Query() override;
    bool Field(size_t instance, const std::string& name, check::Value* value) override;
    std::string PathLabel(size_t instance) override;
    bool ClassProperties(std::vector<check::PropertyInfo>* properties) override;
    std::vector<std::string> KeyNames() override;
    void Say(const std::string& step) override;

    // "SELECT * FROM Win32_Service WHERE State='Running'".
    std::string Wql() const;

private:
    SourceSettings settings_;
    std::unique_ptr<wsman::Transport> transport_;
    wsman::Results results_;
};

}  // namespace wmicheck
