// wmicheck.exe's own rules: the account forms as WMI receives them, and
// what a run prints for a usage error and never prints (the password).
#include "Account.h"
#include "Options.h"
#include "RunWmicheck.h"
#include "Utf.h"

namespace {

std::vector<std::string> Utf8Args(const std::vector<std::wstring>& args) {
    std::vector<std::string> out;
    for (const std::wstring& arg : args) out.push_back(Utf8(arg));
    return out;
}

TEST(Options, AccountForms) {
    const struct {
        std::vector<std::wstring> args;
        const wchar_t *user, *domain, *authority, *name;
    } accounts[] = {
        {{L"-H", L"SRV01", L"--user", L"CORP\\monitor"}, L"monitor", L"CORP", L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"CORP/monitor"}, L"monitor", L"CORP", L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"monitor", L"--domain", L"CORP"}, L"monitor", L"CORP", L"ntlmdomain:CORP",
         L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"OLD\\monitor", L"--domain", L"CORP"}, L"monitor", L"CORP",
         L"ntlmdomain:CORP", L"CORP\\monitor"},
        {{L"-H", L"SRV01", L"--user", L"monitor@corp.example"}, L"monitor@corp.example", L"", L"",
         L"monitor@corp.example"},
        {{L"-H", L"SRV01", L"--user", L"localmon"}, L"localmon", L"", L"ntlmdomain:SRV01", L"SRV01\\localmon"},
        {{L"--user", L"localmon"}, L"localmon", L"", L"", L"localmon"},
        {{L"-H", L"SRV01"}, L"", L"", L"", L""},
    };
    for (const auto& c : accounts) {
        RunnerOptions account;
        std::vector<std::wstring> args = c.args;
        args.insert(args.end(), {L"--class", L"C", L"--count"});
        ASSERT_EQ("", ParseArguments(Utf8Args(args), &account, Platform::Windows));
        const ReachingAccount reaching = AccountReachingWmi(account, Auth::Ntlm);
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(c.user, Wide(account.user));
        EXPECT_EQ(c.domain, Wide(account.domain));
        EXPECT_EQ(c.authority, reaching.authority);
        EXPECT_EQ(c.name, reaching.name);
    }
}

// Every run that exits 3 says why on stdout, in its mode's form, since
// engines show only stdout; the hint stays on stderr.
TEST(Options, EveryUsageErrorIsOnStdout) {
    const struct {
        std::vector<std::wstring> args;
        const wchar_t* start;
        const wchar_t* named;
    } cases[] = {
        {{L"--imp-level"}, L"WMI UNKNOWN - wmicheck: ", L"--imp-level"},
        {{L"--namespace", L"x", L"--imp-level", L"9"}, L"WMI UNKNOWN - wmicheck: ", L"--imp-level"},
        {{L"--last-instance", L"--colour", L"red"}, L"UNKNOWN: wmicheck: ", L"--colour"},
        {{L"--last-instance", L"--class", L"C", L"--op", L"XYZ"}, L"UNKNOWN: wmicheck: ", L"--op"},
        {{}, L"WMI UNKNOWN - wmicheck: ", L"--class"},
        {{L"--class", L"Win32_Service"}, L"WMI UNKNOWN - wmicheck: ", L"--property"},
        {{L"--last-instance", L"--class", L"Win32_Service"}, L"UNKNOWN: wmicheck: ", L"--property"},
        {{L"--class", L"C", L"--count", L"--user", L"u", L"--password-file", L"C:\\no\\such\\file"},
         L"WMI UNKNOWN - wmicheck: ", L"--password-file"},
        {{L"--configure", L"--property", L"P"}, L"UNKNOWN: wmicheck: ", L"--property"},
        {{L"--class", L"C", L"--property", L"P", L"-w", L"1", L"--uom", L"kg"}, L"WMI UNKNOWN - wmicheck: ", L"--uom"},
        {{L"--class", L"C", L"--age"}, L"WMI UNKNOWN - wmicheck: ", L"--property"},
        {{L"--json", L"--timeout", L"soon"}, L"{\"state\":\"UNKNOWN\"", L"--timeout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)") : Narrow(c.args[0] + L" " + c.args.back()));
        const WmicheckRun run = RunWmicheck(c.args);
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_EQ(0u, run.out.find(c.start)) << Narrow(run.out);
        EXPECT_NE(std::wstring::npos, run.Line().find(c.named)) << Narrow(run.out);
        EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), L'\n')) << "one line";
        EXPECT_NE(std::wstring::npos, run.err.find(L"--help")) << Narrow(run.err);
    }
}

// No output of a failing run holds the password, from wherever it came:
// the option, a password file, WMICHECK_PASSWORD.
TEST(Options, NoRunShowsThePassword) {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    const std::wstring secondLine = std::wstring(directory) + L"wmicheck-secret-line2.txt",
                       firstLine = std::wstring(directory) + L"wmicheck-secret-line1.txt",
                       emptyLine = std::wstring(directory) + L"wmicheck-secret-empty.txt";
    const struct {
        const std::wstring* path;
        const char* text;
    } files[] = {{&secondLine, "first\r\nS3cret PW2\r\n"}, {&firstLine, "S3cret\n"}, {&emptyLine, "\nS3cret\n"}};
    for (const auto& f : files) {
        HANDLE file = CreateFileW(f.path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, f.text, static_cast<DWORD>(strlen(f.text)), &written, nullptr);
        CloseHandle(file);
    }
    const std::vector<std::wstring> check = {L"-H", L"SRV01", L"--user", L"CORP\\monitor", L"--class", L"C",
                                             L"--count"};
    const struct {
        std::vector<std::wstring> args, environment;
        const wchar_t* named;  // in the line; "" for any reason
    } cases[] = {
        {{L"--colour", L"--password=S3cret"}, {}, L"--colour"},
        {{L"--password", L"S3cret", L"PW2"}, {}, L"argument 10 "},
        {{L"--json", L"--password", L"S3cret", L"-PW2"}, {}, L"argument 11 "},
        {{L"-v", L"--password", L"S3cret", L"--PW2=x"}, {}, L"argument 11 "},
        {{L"--diagnose", L"--password", L"S3cret", L"--class", L"C"}, {}, L"--class"},
        {{L"--password-file", firstLine, L"--colour"}, {}, L"--colour"},
        {{L"--password-file", emptyLine}, {}, L"--user needs a password"},
        {{}, {L"WMICHECK_PASSWORD="}, L"--user needs a password"},
        {{L"--timeout", L"soon"}, {L"WMICHECK_PASSWORD=S3cret"}, L"--timeout"},
        {{L"-vvv", L"--json", L"--password-file", secondLine, L"-H", L".", L"--class", L"Win32_NoSuchClass"}, {}, L""},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> args = check;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const WmicheckRun run = RunWmicheck(args, c.environment);
        SCOPED_TRACE(Narrow(run.out + run.err));
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_NE(std::wstring::npos, run.Line().find(c.named));
        for (const wchar_t* secret : {L"S3cret", L"PW2"}) {
            EXPECT_EQ(std::wstring::npos, run.out.find(secret));
            EXPECT_EQ(std::wstring::npos, run.err.find(secret));
        }
    }
    for (const auto& f : files) DeleteFileW(f.path->c_str());
}

}  // namespace
