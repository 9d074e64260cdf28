#include "frmmain.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <new>
#include <vector>

#include "../common/BoundedWork.h"
#include "../common/ComModule.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "BridgeError.h"
#include "Check.h"
#include "CheckRules.h"
#include "ParameterString.h"
#include "Support.h"
#include "qvWMI_h.h"
#include "resource.h"

using Microsoft::WRL::ComPtr;

// What the form opens with: the host's members, read once before it opens.
struct frmmain::Filling {
    std::wstring server;
    std::wstring timeout;
    bool newCheck = true;
    std::wstring user, password, nameSpace, domain, locale, classPath, filter, property, compareValue;
    long operatorIndex = 0;
    double authenticationLevel = 0;
    double impersonationLevel = 0;
};

namespace {

constexpr INT_PTR kClosedWithoutOK = 0;
constexpr INT_PTR kClosedByOK = 1;

// Title of the message boxes that carry no title of their own.
constexpr wchar_t kMessageTitle[] = L"ostrel";

// The items of cmbHowToCompare, in the order of the operator codes.
constexpr const wchar_t* kOperatorTexts[kOperatorCount] = {
    L"should contain",
    L"should not contain",
    L"should exactly be",
    L"should be different from",
    L"should be less than (<)",
    L"should be less or equal to (<=)",
    L"should be more than (>)",
    L"should be more or equal to (=>)",
};
constexpr long kNewCheckOperator = 1;  // "should not contain"

// Option buttons and the level number each stands for.
struct LevelOption {
    int control;
    long level;
};
constexpr LevelOption kAuthenticationOptions[] = {
    {OptNone, 1}, {OptConnection, 2}, {OptCall, 3}, {OptPacket, 4}, {OptPacketIntegrity, 5}, {OptPacketPrivacy, 6},
};
constexpr LevelOption kImpersonationOptions[] = {{OptIdentify, 2}, {OptImpersonate, 3}, {OptDelegate, 4}};

template <size_t N>
long SelectedLevel(HWND form, const LevelOption (&options)[N]) {
    for (const LevelOption& option : options)
        if (IsDlgButtonChecked(form, option.control) == BST_CHECKED) return option.level;
    return 0;
}

// Selects the option of the level; a number without an option selects none.
// CheckRadioButton also moves the group's tab stop to the selected button.
template <size_t N>
void SelectLevel(HWND form, const LevelOption (&options)[N], double level) {
    for (const LevelOption& option : options)
        if (level == option.level) CheckRadioButton(form, options[0].control, options[N - 1].control, option.control);
}



// A level field: "default" when empty, then its leading number.
double LevelNumber(const std::wstring& parameters, const wchar_t* key, const wchar_t* fallback) {
    const std::wstring text = GetParameterValue(parameters, key);
    return ReadNumber(text.empty() ? fallback : text);
}

// Reads a control's text into *text in place, so that a secret leaves no
// copy in a temporary.
void ReadControlText(HWND form, int id, std::wstring* text) {
    HWND control = GetDlgItem(form, id);
    text->assign(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text->resize(static_cast<size_t>(GetWindowTextW(control, &(*text)[0], static_cast<int>(text->size()))));
}

std::wstring ControlText(HWND form, int id) {
    std::wstring text;
    ReadControlText(form, id, &text);
    return text;
}

void SetControlText(HWND form, int id, const std::wstring& text) { SetDlgItemTextW(form, id, text.c_str()); }

// The list position the combo box's text was picked from, or -1 when the
// text was typed (or edited after the pick).
long PickedIndex(HWND form, int id) {
    HWND combo = GetDlgItem(form, id);
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return -1;
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return -1;
    std::wstring item(static_cast<size_t>(length) + 1, L'\0');
    item.resize(static_cast<size_t>(SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&item[0]))));
    return item == ControlText(form, id) ? static_cast<long>(index) : -1;
}

// Twips to pixels at the screen's DPI (1440 twips to the inch).
class TwipScale {
public:
    TwipScale() noexcept {
        HDC screen = GetDC(nullptr);
        dpiX_ = GetDeviceCaps(screen, LOGPIXELSX);
        dpiY_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    int X(int twips) const noexcept { return MulDiv(twips, dpiX_, 1440); }
    int Y(int twips) const noexcept { return MulDiv(twips, dpiY_, 1440); }

private:
    int dpiX_ = 96;
    int dpiY_ = 96;
};

bool IsComboBox(HWND control) {
    wchar_t name[16];
    return GetClassNameW(control, name, 16) && lstrcmpiW(name, L"ComboBox") == 0;
}

// A combo box's window spans its field and its dropped-down list; the layout
// gives the field's height, which the control derives from its item height.
void PlaceComboBox(HWND combo, int x, int y, int width, int fieldHeight) {
    constexpr int kVisibleItems = 8;
    const int itemHeight = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0));
    MoveWindow(combo, x, y, width, fieldHeight + kVisibleItems * itemHeight + 2, FALSE);
    // The field is its item height plus borders. Measured rather than
    // computed: Wine's CB_GETITEMHEIGHT(-1) reports 2 more than it was set to.
    int setting = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    for (int attempt = 0; attempt < 2; ++attempt) {
        RECT field;
        GetWindowRect(combo, &field);
        const int error = fieldHeight - (field.bottom - field.top);
        if (error == 0 || setting + error <= 0) break;
        setting += error;
        SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), setting);
    }
}

// Places the form and its controls from the layout resource (twips) and
// centres the form on its monitor's work area.
HRESULT ApplyLayout(HWND form) {
    HINSTANCE instance = com::ThisModule().Instance();
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDR_FRMMAIN_LAYOUT), RT_RCDATA);
    HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
    const WORD* words = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
    if (!words) return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
    constexpr size_t kRowWords = 6;
    const size_t rows = SizeofResource(instance, found) / (kRowWords * sizeof(WORD));

    const TwipScale scale;
    struct Origin {
        WORD id;
        int left, top;  // twips within the form
    };
    std::vector<Origin> origins;
    for (size_t row = 0; row < rows; ++row) {
        const WORD* r = words + row * kRowWords;
        const WORD id = r[0], parent = r[1];
        int left = r[2], top = r[3];
        const int width = r[4], height = r[5];
        if (id == 0) {
            // The form's client area: the window adds its frame around it.
            RECT window, client;
            GetWindowRect(form, &window);
            GetClientRect(form, &client);
            const int frameWidth = (window.right - window.left) - client.right;
            const int frameHeight = (window.bottom - window.top) - client.bottom;
            const int outerWidth = scale.X(width) + frameWidth, outerHeight = scale.Y(height) + frameHeight;
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoW(MonitorFromWindow(form, MONITOR_DEFAULTTOPRIMARY), &monitor);
            const RECT& area = monitor.rcWork;
            SetWindowPos(form, nullptr, area.left + (area.right - area.left - outerWidth) / 2,
                         area.top + (area.bottom - area.top - outerHeight) / 2, outerWidth, outerHeight,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            continue;
        }
        for (const Origin& origin : origins)
            if (parent != 0 && origin.id == parent) {
                left += origin.left;
                top += origin.top;
            }
        origins.push_back({id, left, top});
        HWND control = GetDlgItem(form, id);
        if (!control) return HRESULT_FROM_WIN32(ERROR_CONTROL_ID_NOT_FOUND);
        if (IsComboBox(control))
            PlaceComboBox(control, scale.X(left), scale.Y(top), scale.X(width), scale.Y(height));
        else
            MoveWindow(control, scale.X(left), scale.Y(top), scale.X(width), scale.Y(height), FALSE);
    }
    return S_OK;
}

// "WMI: External COM check (version 2.0 build 10)": fields one, two and four
// of the file version in the DLL's own version block.
HRESULT VersionCaption(std::wstring* caption) {
    HINSTANCE instance = com::ThisModule().Instance();
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
    const BYTE* block = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    // VS_VERSIONINFO: three WORDs, the key L"VS_VERSION_INFO", padding to a
    // DWORD boundary, then the fixed file information.
    constexpr size_t kFixedOffset = (3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO") + 3) & ~size_t{3};
    if (!block || SizeofResource(instance, found) < kFixedOffset + sizeof(VS_FIXEDFILEINFO))
        return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
    VS_FIXEDFILEINFO info;
    CopyMemory(&info, block + kFixedOffset, sizeof info);
    if (info.dwSignature != 0xFEEF04BD) return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
    *caption = L"WMI: External COM check (version " + std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." +
               std::to_wstring(LOWORD(info.dwFileVersionMS)) + L" build " +
               std::to_wstring(LOWORD(info.dwFileVersionLS)) + L")";
    return S_OK;
}

HRESULT ReadFilling(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter,
                    frmmain::Filling* filling) {
    RETURN_IF_FAILED(MemberText(hostname, &filling->server));
    filling->server = TrimSpaces(filling->server);
    RETURN_IF_FAILED(MemberText(timeout, &filling->timeout));
    filling->timeout = TrimSpaces(filling->timeout);
    std::wstring parameters;
    RETURN_IF_FAILED(MemberText(parameter, &parameters));
    filling->newCheck = parameters.empty();
    if (filling->newCheck) return S_OK;

    // The values are shown as they are stored: nothing is trimmed here.
    filling->user = GetParameterValue(parameters, L"USR");
    RETURN_IF_FAILED(Base64Decode(GetParameterValue(parameters, L"PWD"), &filling->password));
    filling->nameSpace = GetParameterValue(parameters, L"NSP");
    filling->domain = GetParameterValue(parameters, L"DOM");
    filling->locale = GetParameterValue(parameters, L"LOC");
    filling->classPath = GetParameterValue(parameters, L"CLS");
    filling->filter = UnescapeParameterText(GetParameterValue(parameters, L"FIL"));
    filling->property = GetParameterValue(parameters, L"PRO");
    filling->compareValue = GetParameterValue(parameters, L"CVA");
    const long position = OperatorPosition(GetParameterValue(parameters, L"CWA"));
    filling->operatorIndex = position < 0 ? 0 : position;
    filling->authenticationLevel = LevelNumber(parameters, L"AUL", L"4");
    filling->impersonationLevel = LevelNumber(parameters, L"IML", L"3");
    return S_OK;
}

// description + "(" + number + ")", with the critical-error icon.
void ShowBridgeFailure(HWND form, const BridgeError& error, const wchar_t* title) {
    const std::wstring text =
        error.Description() + L"(" + std::to_wstring(static_cast<long>(error.Number())) + L")";
    MessageBoxW(form, text.c_str(), title, MB_OK | MB_ICONERROR);
}

// The controls that ComposeParameterString can refuse, by key.
struct RefusableField {
    const wchar_t* key;
    int control;
    const wchar_t* caption;
};
constexpr RefusableField kRefusableFields[] = {
    {L"USR", txtUserName, L"User name"}, {L"PWD", txtPassword, L"Password"},
    {L"NSP", txtNamespace, L"Namespace"}, {L"DOM", txtDomain, L"Domain"},
    {L"LOC", txtLocale, L"Locale"},      {L"CLS", txtObjectPath, L"Class"},
    {L"PRO", cmbProperties, L"Properties"}, {L"CVA", txtCompareValue, L"Retrieved value"},
};

}  // namespace

HRESULT frmmain::Show(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter,
                      std::wstring* composed) noexcept {
    if (!composed) return E_POINTER;
    // A host may call in again while the modal loop runs.
    if (window_ || filling_) return E_UNEXPECTED;
    try {
        Filling filling;
        HRESULT hr = ReadFilling(hostname, timeout, parameter, &filling);
        INT_PTR closed = kClosedWithoutOK;
        if (SUCCEEDED(hr)) {
            filling_ = &filling;
            composed_.clear();
            loadResult_ = S_OK;
            closed = DialogBoxParamW(com::ThisModule().Instance(), MAKEINTRESOURCEW(IDD_FRMMAIN), nullptr,
                                     DialogProc, reinterpret_cast<LPARAM>(this));
            if (closed == -1) {
                const DWORD error = GetLastError();
                hr = error ? HRESULT_FROM_WIN32(error) : E_FAIL;
            } else {
                hr = loadResult_;
            }
            window_ = nullptr;
            filling_ = nullptr;
        }
        com::WipeString(filling.password);
        if (FAILED(hr)) return hr;
        if (closed != kClosedByOK) return S_FALSE;
        *composed = std::move(composed_);
        return S_OK;
    } catch (const std::bad_alloc&) {
        window_ = nullptr;
        filling_ = nullptr;
        return E_OUTOFMEMORY;
    }
}

INT_PTR CALLBACK frmmain::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* form = reinterpret_cast<frmmain*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        form->window_ = window;
        form->loadResult_ = form->Load();
        if (FAILED(form->loadResult_)) EndDialog(window, kClosedWithoutOK);
        return TRUE;  // focus on the first control with a tab stop
    }
    auto* form = reinterpret_cast<frmmain*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!form) return FALSE;
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case btList:
                    if (HIWORD(wParam) == BN_CLICKED) form->ListProperties();
                    return TRUE;
                case btOK:
                    if (HIWORD(wParam) == BN_CLICKED) form->Accept();
                    return TRUE;
                case IDOK:      // Enter outside a button: the form has no default button
                case IDCANCEL:  // Escape: the form has no Cancel button
                    return TRUE;
            }
            return FALSE;
        case WM_CLOSE:  // the close box: no new parameter string
            EndDialog(window, kClosedWithoutOK);
            return TRUE;
    }
    return FALSE;
}

HRESULT frmmain::Load() noexcept try {
    HWND form = window_;
    RETURN_IF_FAILED(ApplyLayout(form));
    std::wstring caption;
    RETURN_IF_FAILED(VersionCaption(&caption));
    SetWindowTextW(form, caption.c_str());
    SendDlgItemMessageW(form, txtPassword, EM_SETPASSWORDCHAR, L'*', 0);

    SendDlgItemMessageW(form, cmbHowToCompare, CB_RESETCONTENT, 0, 0);
    for (const wchar_t* text : kOperatorTexts)
        SendDlgItemMessageW(form, cmbHowToCompare, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SendDlgItemMessageW(form, cmbHowToCompare, CB_SETCURSEL, kNewCheckOperator, 0);

    const Filling& filling = *filling_;
    SetControlText(form, txtServer, filling.server);
    SetControlText(form, txtTimeout, filling.timeout);
    SendDlgItemMessageW(form, cmbProperties, CB_RESETCONTENT, 0, 0);
    SetControlText(form, cmbProperties, L"");
    if (filling.newCheck) {
        CheckRadioButton(form, OptNone, OptPacketPrivacy, OptPacket);
        CheckRadioButton(form, OptIdentify, OptDelegate, OptImpersonate);
    } else {
        SetControlText(form, txtUserName, filling.user);
        SetControlText(form, txtPassword, filling.password);
        SetControlText(form, txtNamespace, filling.nameSpace);
        SetControlText(form, txtDomain, filling.domain);
        SetControlText(form, txtLocale, filling.locale);
        SetControlText(form, txtObjectPath, filling.classPath);
        SetControlText(form, txtRecordFilter, filling.filter);
        SetControlText(form, cmbProperties, filling.property);
        SendDlgItemMessageW(form, cmbHowToCompare, CB_SETCURSEL, static_cast<WPARAM>(filling.operatorIndex), 0);
        SetControlText(form, txtCompareValue, filling.compareValue);
        SelectLevel(form, kAuthenticationOptions, filling.authenticationLevel);
        SelectLevel(form, kImpersonationOptions, filling.impersonationLevel);
    }
    // Above the host's windows while the form is open.
    SetTopMost(form, true);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

namespace {

// The property listing's calls into the bridge, handed to a worker in the
// multithreaded apartment like a check's: it owns what it needs, so the
// form's thread may give up on it at the deadline.
class ListingWork final : public com::BoundedWork {
public:
    enum class Stop { None, Initialize, Connect, GetClass };

    std::wstring server, nameSpace, domain, user, password, locale, classPath;
    HRESULT timeoutRead = S_OK;
    long timeoutMs = 0;
    long authentication = 0, impersonation = 0;
    // What the listing found: the checkpoint that stopped it and its error,
    // or the property names in the class's order.
    Stop stop = Stop::None;
    BridgeError error;
    std::vector<std::wstring> names;

private:
    ~ListingWork() override { com::WipeString(password); }

    HRESULT Run() noexcept override {
        try {
            List();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    // Every step runs; a failing one records its error, and only the
    // checkpoints look at the last one recorded.
    void List() {
        ComPtr<IQvWMIAccess> access = OpenAccess(timeoutRead, timeoutMs, authentication, impersonation, &error);
        if (error.IsSet()) {
            stop = Stop::Initialize;
            return;
        }
        ComPtr<IQvWMIServer> server;
        {
            TextArgument host(this->server), space(nameSpace), domainText(domain), userText(user),
                passwordText(password, true), localeText(locale);
            if (host.ok() && space.ok() && domainText.ok() && userText.ok() && passwordText.ok() && localeText.ok())
                error.Call([&] {
                    return access->Connect(host.get(), space.get(), domainText.get(), userText.get(), passwordText.get(),
                                           localeText.get(), OmittedArgument(), &server);
                });
            else
                error.PlainStep(E_OUTOFMEMORY);
        }
        if (error.IsSet()) {
            stop = Stop::Connect;
            return;
        }
        ComPtr<IQvWMIClass> cls;
        {
            com::UniqueBstr path(SysAllocStringLen(classPath.data(), static_cast<UINT>(classPath.size())));
            if (path)
                error.Call([&] { return server->GetClass(path.get(), &cls); });
            else
                error.PlainStep(E_OUTOFMEMORY);
        }
        if (error.IsSet()) {
            stop = Stop::GetClass;
            return;
        }
        ComPtr<IQvWMIPropertyCollection> properties;
        ComPtr<IUnknown> enumerator;
        ComPtr<IEnumVARIANT> items;
        if (!error.Call([&] { return cls->get_Properties(&properties); }) ||
            !error.Call([&] { return properties->get__NewEnum(&enumerator); }) || !error.PlainStep(enumerator.As(&items)))
            return;
        for (;;) {
            com::UniqueVariant item;
            HRESULT hr = S_OK;
            if (!error.Call([&] { return hr = items->Next(1, item.put(), nullptr); }) || hr != S_OK) return;
            ComPtr<IQvWMIPropertyDescriptor> descriptor;
            hr = V_VT(item.get()) == VT_DISPATCH && V_DISPATCH(item.get())
                     ? V_DISPATCH(item.get())->QueryInterface(IID_IQvWMIPropertyDescriptor,
                                                              reinterpret_cast<void**>(descriptor.GetAddressOf()))
                     : DISP_E_TYPEMISMATCH;
            if (!error.PlainStep(hr)) return;
            com::UniqueBstr name;
            if (!error.Call([&] { return descriptor->get_Name(name.put()); })) return;
            names.emplace_back(name.get() ? name.get() : L"", SysStringLen(name.get()));
        }
    }
};

}  // namespace

void frmmain::ListProperties() noexcept try {
    // The wait for the listing pumps messages: a second click must not start
    // a second listing inside the first.
    if (listing_) return;
    listing_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{listing_};

    HWND form = window_;
    HWND list = GetDlgItem(form, cmbProperties);
    const std::wstring remembered = ControlText(form, cmbProperties);

    auto* work = new (std::nothrow) ListingWork;
    if (!work) return;
    struct Owner {
        ListingWork* work;
        ~Owner() { work->Release(); }
    } owner{work};
    work->authentication = SelectedLevel(form, kAuthenticationOptions);
    work->impersonation = SelectedLevel(form, kImpersonationOptions);
    work->timeoutRead = ReadSecondsAsMilliseconds(ControlText(form, txtTimeout), LOCALE_USER_DEFAULT, &work->timeoutMs);
    if (work->timeoutMs < 0) work->timeoutMs = 0;  // never "no limit"
    work->server = ControlText(form, txtServer);
    work->nameSpace = ControlText(form, txtNamespace);
    work->domain = ControlText(form, txtDomain);
    work->user = ControlText(form, txtUserName);
    ReadControlText(form, txtPassword, &work->password);
    work->locale = ControlText(form, txtLocale);
    work->classPath = ControlText(form, txtObjectPath);

    const HRESULT hr = StartRunAndWait(*work, work->timeoutMs, RunTarget(work->server, work->nameSpace, work->user));
    if (FAILED(hr)) {
        BridgeError error;
        error.Record(hr, DescribeRunFailure(hr, *work).c_str());
        ShowBridgeFailure(form, error, L"ERROR Connect");
        return;
    }
    switch (work->stop) {
        case ListingWork::Stop::Initialize:
            ShowBridgeFailure(form, work->error, L"ERROR Initialize");
            return;
        case ListingWork::Stop::Connect:
            ShowBridgeFailure(form, work->error, L"ERROR Connect");
            return;
        case ListingWork::Stop::GetClass:
            MessageBoxW(form, work->error.Description().c_str(), kMessageTitle, MB_OK);
            break;
        case ListingWork::Stop::None:
            break;
    }

    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    SetWindowTextW(list, L"");
    long count = 0;
    long newIndex = -1;
    for (const std::wstring& name : work->names) {
        const LRESULT index = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        if (index < 0) break;
        if (!remembered.empty() && remembered == name) newIndex = static_cast<long>(index);
        ++count;
    }

    if (count == 0) {
        EnableWindow(list, FALSE);
    } else {
        EnableWindow(list, TRUE);
        // The second item by default; a single item has none and is left
        // unselected.
        if (count > 1) SendMessageW(list, CB_SETCURSEL, 1, 0);
        if (newIndex != -1) SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(newIndex), 0);
    }
} catch (const std::bad_alloc&) {
    // Nothing more can be shown; the form stays as it is.
}

void frmmain::Accept() noexcept try {
    HWND form = window_;
    CheckParameters fields;
    fields.user = ControlText(form, txtUserName);
    ReadControlText(form, txtPassword, &fields.password);
    fields.nameSpace = ControlText(form, txtNamespace);
    fields.domain = ControlText(form, txtDomain);
    fields.locale = ControlText(form, txtLocale);
    fields.classPath = ControlText(form, txtObjectPath);
    fields.filter = ControlText(form, txtRecordFilter);
    fields.property = ControlText(form, cmbProperties);
    fields.propertyIndex = PickedIndex(form, cmbProperties);
    fields.operatorCode = OperatorCodeAt(PickedIndex(form, cmbHowToCompare));
    fields.compareValue = ControlText(form, txtCompareValue);
    fields.authenticationLevel = SelectedLevel(form, kAuthenticationOptions);
    fields.impersonationLevel = SelectedLevel(form, kImpersonationOptions);

    std::wstring composed;
    const wchar_t* rejectedKey = nullptr;
    const HRESULT hr = ComposeParameterString(fields, &composed, &rejectedKey);
    com::WipeString(fields.password);
    if (SUCCEEDED(hr)) {
        composed_ = std::move(composed);
        EndDialog(form, kClosedByOK);
        return;
    }

    // A field the string cannot carry: say which, and let the user fix it.
    const RefusableField* field = nullptr;
    for (const RefusableField& candidate : kRefusableFields)
        if (rejectedKey && lstrcmpW(candidate.key, rejectedKey) == 0) field = &candidate;
    std::wstring text;
    if (!field)
        text = BridgeError::DescribeCode(hr);
    else if (field->control == txtPassword)
        text = L"The password contains a character that cannot be stored in the check's parameter string.";
    else
        text = std::wstring(L"\"") + field->caption +
               L"\" must not contain the character #: it separates the fields of the check's parameter string.";
    MessageBoxW(form, text.c_str(), kMessageTitle, MB_OK | MB_ICONEXCLAMATION);
    if (field) SendMessageW(form, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(form, field->control)), TRUE);
} catch (const std::bad_alloc&) {
    // The form stays open; OK may be pressed again.
}
