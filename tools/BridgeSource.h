// check::Source over the bridge: wmicheck.exe's transport. It connects
// through QvWMI.Access from the calling thread, which must be in the
// multithreaded apartment (the bridge's own, so every call is direct and its
// error information arrives), and hands the check core UTF-8 values read in
// the user's locale.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "Options.h"
#include "Source.h"
#include "qvWMI_h.h"

class BridgeSource : public check::Source {
public:
    // options must outlive the source.
    explicit BridgeSource(const RunnerOptions& options);
    ~BridgeSource() override;
    BridgeSource(const BridgeSource&) = delete;
    BridgeSource& operator=(const BridgeSource&) = delete;

    size_t Query() override;
    bool Field(size_t instance, const std::string& name, check::Value* value) override;
    std::string PathLabel(size_t instance) override;
    bool ClassProperties(std::vector<check::PropertyInfo>* properties) override;
    std::vector<std::string> KeyNames() override;
    char DecimalSeparator() const override;
    void Say(const std::string& step) override;

private:
    class Clock;
    IQvWMIClass* Class();

    const RunnerOptions& options_;
    Steps steps_;
    Microsoft::WRL::ComPtr<IQvWMIAccess> access_;
    Microsoft::WRL::ComPtr<IQvWMIServer> server_;
    std::unique_ptr<Clock> clock_;
    std::vector<Microsoft::WRL::ComPtr<IQvWMIInstance>> instances_;
    Microsoft::WRL::ComPtr<IQvWMIClass> class_;
};

// The value of a VARIANT as the core reads it: its text and number in the
// locale lcid (ValueText, ValueNumber), its kind by its type.
check::Value ValueOfVariant(const VARIANT& value, LCID lcid = LOCALE_USER_DEFAULT);
