// Drives the configuration form from another thread (or process) the way a
// user would: window messages to its controls, and message boxes read by
// their window text and answered with OK.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

struct MessageBoxSeen {
    std::wstring title;
    std::wstring text;
    bool errorIcon = false;  // the critical-error icon
};

class FormDriver {
public:
    static constexpr UINT kWaitMs = 15000;

    // The form that the thread (or, with thread 0, any thread) shows, once
    // it is visible; nullptr when none appears in time.
    static HWND WaitForForm(DWORD thread) {
        for (UINT waited = 0; waited < kWaitMs; waited += 20) {
            if (HWND form = FindDialog(thread, nullptr, L"WMI: External COM check")) return form;
            Sleep(20);
        }
        return nullptr;
    }

    explicit FormDriver(HWND form) : form_(form), thread_(GetWindowThreadProcessId(form, nullptr)) {}

    HWND form() const { return form_; }
    std::wstring Caption() const { return WindowText(form_); }
    HWND Control(int id) const { return GetDlgItem(form_, id); }

    std::wstring Text(int id) const { return WindowText(Control(id)); }
    void SetText(int id, const std::wstring& text) const {
        SendMessageW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    bool Checked(int id) const { return SendMessageW(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }
    long Selected(int id) const { return static_cast<long>(SendMessageW(Control(id), CB_GETCURSEL, 0, 0)); }
    void Pick(int id, long index) const { SendMessageW(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0); }
    std::vector<std::wstring> Items(int id) const {
        std::vector<std::wstring> items;
        const LRESULT count = SendMessageW(Control(id), CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            std::wstring item(static_cast<size_t>(SendMessageW(Control(id), CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
            item.resize(static_cast<size_t>(
                SendMessageW(Control(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&item[0]))));
            items.push_back(item);
        }
        return items;
    }

    // Clicks the control and returns once the click has been handled,
    // answering the message boxes that come up meanwhile.
    std::vector<MessageBoxSeen> Click(int id) const {
        std::vector<MessageBoxSeen> seen;
        bool handled = false;
        SendMessageCallbackW(Control(id), BM_CLICK, 0, 0, ClickHandled, reinterpret_cast<ULONG_PTR>(&handled));
        for (UINT waited = 0; waited < kWaitMs; waited += 10) {
            MSG msg;  // the callback is delivered while this thread peeks
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            if (handled) return seen;
            if (HWND box = FindDialog(thread_, form_, nullptr)) {
                seen.push_back(Read(box));
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                for (UINT gone = 0; gone < kWaitMs && IsWindow(box); gone += 10) Sleep(10);
                waited = 0;
            }
            Sleep(10);
        }
        ADD_FAILURE() << "the click on control " << id << " was not handled in time";
        return seen;
    }

    // The window's close box.
    void Close() const { PostMessageW(form_, WM_SYSCOMMAND, SC_CLOSE, 0); }

    // Asks the test's wrapper script for a picture of the X screen, written to
    // FORM_SCREENSHOTS/name.png; does nothing outside the wrapper.
    void Screenshot(const char* name) const {
        const char* folder = std::getenv("FORM_SCREENSHOTS");
        if (!folder) return;
        RedrawWindow(form_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(500);
        const std::string base = std::string("Z:") + folder + "/" + name;
        DeleteFileA((base + ".png").c_str());
        CloseHandle(CreateFileA((base + ".request").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        for (UINT waited = 0; waited < kWaitMs; waited += 100) {
            if (GetFileAttributesA((base + ".png").c_str()) != INVALID_FILE_ATTRIBUTES) return;
            Sleep(100);
        }
        ADD_FAILURE() << "no screenshot " << name;
    }

private:
    static std::wstring WindowText(HWND window) {
        wchar_t text[1024] = L"";
        DWORD_PTR length = 0;
        SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, kWaitMs, &length);
        return std::wstring(text, length);
    }

    // A visible dialog of the thread other than except, whose caption begins
    // with captionStart when that is given.
    static HWND FindDialog(DWORD thread, HWND except, const wchar_t* captionStart) {
        struct Search {
            HWND except;
            const wchar_t* captionStart;
            HWND found;
        } search{except, captionStart, nullptr};
        struct Test {
            static BOOL CALLBACK Window(HWND window, LPARAM data) {
                auto* s = reinterpret_cast<Search*>(data);
                wchar_t name[16];
                if (window == s->except || !IsWindowVisible(window) || !GetClassNameW(window, name, 16) ||
                    lstrcmpW(name, L"#32770") != 0)
                    return TRUE;
                if (s->captionStart && WindowText(window).rfind(s->captionStart, 0) != 0) return TRUE;
                s->found = window;
                return FALSE;
            }
        };
        if (thread)
            EnumThreadWindows(thread, Test::Window, reinterpret_cast<LPARAM>(&search));
        else
            EnumWindows(Test::Window, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    static MessageBoxSeen Read(HWND box) {
        MessageBoxSeen seen;
        seen.title = WindowText(box);
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t name[16];
            if (!GetClassNameW(child, name, 16) || lstrcmpiW(name, L"Static") != 0) continue;
            if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                seen.errorIcon = seen.errorIcon || reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)) ==
                                                       LoadIconW(nullptr, IDI_ERROR);
            else if (seen.text.empty())
                seen.text = WindowText(child);
        }
        return seen;
    }

    static void CALLBACK ClickHandled(HWND, UINT, ULONG_PTR handled, LRESULT) {
        *reinterpret_cast<bool*>(handled) = true;
    }

    HWND form_;
    DWORD thread_ = 0;
};
