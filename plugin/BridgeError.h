// The last error of a run that calls the bridge: its number and a readable
// description, and the "(number)description" text the host and the form show.
#pragma once

#include <windows.h>

#include <string>

class BridgeError {
public:
    // Clears the thread's error information before a bridge call, so that
    // what is read after a failure belongs to that call.
    static void BeforeCall() noexcept;

    // Records a failed call: the description that came with it, or the
    // system's text for the code, or a short text naming the code.
    void Record(HRESULT hr) noexcept;

    bool IsSet() const noexcept { return FAILED(number_); }
    HRESULT Number() const noexcept { return number_; }
    const std::wstring& Description() const noexcept { return description_; }
    // "(" + number as a signed decimal + ")" + description.
    std::wstring Text() const;

    // The description Record would give hr without error information.
    static std::wstring DescribeCode(HRESULT hr);

private:
    HRESULT number_ = S_OK;
    std::wstring description_;
};
