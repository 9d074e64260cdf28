#include "WsmanSource.h"

#include <cstdio>

#include "Render.h"

namespace wmicheck {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

WsmanSource::WsmanSource(SourceSettings settings, std::unique_ptr<wsman::Transport> transport)
    : settings_(std::move(settings)), transport_(std::move(transport)) {}

std::string WsmanSource::Wql() const {
    return "SELECT * FROM " + settings_.classPath + (settings_.filter.empty() ? "" : " WHERE " + settings_.filter);
}

size_t WsmanSource::Query() {
    wsman::Target target;
    target.endpoint = settings_.connection.endpoint;
    target.user = settings_.connection.user;
    target.nameSpace = settings_.nameSpace;
    target.classPath = settings_.classPath;
    target.timeoutSeconds = settings_.timeout.count() / 1000.0;
    target.proxy = settings_.connection.proxy;
    const std::string url = settings_.connection.endpoint.Url();
    try {
        if (!transport_) {
            auto curl = std::make_unique<wsman::CurlTransport>(settings_.connection);
            if (settings_.verbosity > 0) curl->say = [this](const std::string& step) { Say(step); };
            transport_ = std::move(curl);
        }
        // The transport holds its own copy of the password from here on.
        wsman::Wipe(&settings_.connection.password);
        wsman::Session session(*transport_, url, settings_.deadline, wsman::ReleaseReserve(settings_.timeout));
        if (settings_.verbosity > 0) session.say = [this](const std::string& step) { Say(step); };
        session.sayPulls = settings_.verbosity > 1;
        const auto left = duration_cast<milliseconds>(settings_.deadline - wsman::Clock::now());
        Say("query " + Wql() + " in " + settings_.nameSpace + " at " + url +
            (settings_.connection.user.empty() ? "" : " as " + settings_.connection.user) + " (" +
            wsman::SecondsText(left.count() / 1000.0) + " left)");
        const auto start = wsman::Clock::now();
        results_ = session.Query(wsman::WmiResourceUri(settings_.nameSpace), Wql());
        const auto took = duration_cast<milliseconds>(wsman::Clock::now() - start).count();
        Say(std::to_string(results_.items.size()) + " instances in " + std::to_string(took) + " ms, " +
            std::to_string(results_.pages.size()) + (results_.pages.size() == 1 ? " answer" : " answers"));
    } catch (const wsman::Error& error) {
        throw check::Failure{wsman::FailureText(error, target)};
    }
    return results_.items.size();
}

bool WsmanSource::Field(size_t instance, const std::string& name, check::Value* value) {
    if (instance >= results_.items.size()) return false;
    return RenderField(results_.items[instance]->instance, name, value);
}

std::string WsmanSource::PathLabel(size_t instance) {
    return instance < results_.items.size() ? wmicheck::PathLabel(*results_.items[instance]) : "";
}

bool WsmanSource::ClassProperties(std::vector<check::PropertyInfo>* properties) {
    // WinRM hands out no class definition with a query: the first instance
    // shows the names, and the values' form whether each is a number.
    if (results_.items.empty()) return false;
    properties->clear();
    for (const std::string& name : PropertyNames(results_.items.front()->instance)) {
        check::PropertyInfo info{name, false};
        for (const wsman::Item* item : results_.items) {
            check::Value value;
            if (!RenderField(item->instance, name, &value) || value.kind == check::Value::Kind::Null) continue;
            info.numeric = value.kind == check::Value::Kind::Number;
            break;
        }
        properties->push_back(std::move(info));
    }
    return true;
}

std::vector<std::string> WsmanSource::KeyNames() {
    std::vector<std::string> names;
    if (results_.items.empty()) return names;
    for (const auto& selector : KeySelectors(*results_.items.front())) names.push_back(selector.first);
    return names;
}

void WsmanSource::Say(const std::string& step) {
    if (settings_.verbosity <= 0) return;
    const std::string line = "wmicheck: " + step + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace wmicheck
