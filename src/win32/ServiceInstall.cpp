#include "Service.h"

#include "ServiceSettings.h"
#include "app/PortText.h"
#include "app/Service.h"
#include "capture/CsvFormat.h"
#include "capture/WindowsText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <thread>

// Installing and removing a capture service.
namespace kelmor::win32 {

namespace {

using capture::windows::describe;
using capture::windows::narrow;
using capture::windows::widen;

constexpr std::chrono::seconds StateTimeout{30};
// How long an install waits for the service to say how its port is.
constexpr std::chrono::seconds StatusTimeout{10};
constexpr const wchar_t* EventSources =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// A handle of the service manager, closed when it goes.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr)
            ::CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

std::optional<SERVICE_STATUS_PROCESS> statusOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
        return std::nullopt;
    return status;
}

// Waits until the service leaves the pending state; its last state.
DWORD settle(SC_HANDLE service, DWORD pending) {
    const auto deadline = std::chrono::steady_clock::now() + StateTimeout;
    for (;;) {
        const auto status = statusOf(service);
        if (!status)
            return 0;
        if (status->dwCurrentState != pending || std::chrono::steady_clock::now() > deadline)
            return status->dwCurrentState;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

app::CommandLineAnswer failed(const std::string& text) {
    return app::CommandLineAnswer::failing(text + "\n");
}

app::CommandLineAnswer withoutRights(const std::string& what) {
    return failed(what + " takes an administrator: open the Command Prompt with \"Run as "
                         "administrator\" and run this again");
}

std::wstring programPath() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring absolute(const std::wstring& name) {
    std::wstring path(32768, L'\0');
    const DWORD size =
        ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (size == 0 || size >= path.size())
        return name;
    path.resize(size);
    return path;
}

bool registerEventSource(const std::wstring& name, const std::wstring& program) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (EventSources + name).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    // The program's message table says how to show an entry: its text.
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const bool ok =
        ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(program.c_str()),
                         static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t))) ==
            ERROR_SUCCESS &&
        ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return ok;
}

// The name another of our services captures into, as it was installed.
std::optional<std::string> savedNameOf(SC_HANDLE manager, int port) {
    const std::string name = app::serviceName(port);
    ScHandle service(::OpenServiceW(manager, widen(name).c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return std::nullopt;
    std::vector<std::string> args = readServiceOptions(name).value_or(std::vector<std::string>{});
    if (args.empty()) { // an earlier version's: all on its command line
        DWORD needed = 0;
        ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (needed == 0 || !::QueryServiceConfigW(service.get(), config, needed, &needed))
            return std::nullopt;
        int count = 0;
        LPWSTR* raw = ::CommandLineToArgvW(config->lpBinaryPathName, &count);
        for (int i = 1; raw != nullptr && i < count; ++i)
            args.push_back(narrow(raw[i]));
        ::LocalFree(raw);
    }
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--save")
            return args[i + 1];
    return std::nullopt;
}

bool sameFile(const std::string& a, const std::string& b) {
    return ::CompareStringOrdinal(widen(capture::deriveNames(a).TxtName).c_str(), -1,
                                  widen(capture::deriveNames(b).TxtName).c_str(), -1,
                                  TRUE) == CSTR_EQUAL;
}

} // namespace

app::CommandLineAnswer installService(const app::Options& options) {
    const int port = *options.port;
    const std::string name = app::serviceName(port);
    ScHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return ::GetLastError() == ERROR_ACCESS_DENIED
                   ? withoutRights("installing a service")
                   : failed("the service manager cannot be reached: " + describe(::GetLastError()));

    // A service starts in the system folder: the name must not depend on where this one runs.
    const std::string save = narrow(absolute(widen(*options.save)));
    for (int other = 1; other <= app::PortCount; ++other) {
        const auto theirs = other == port ? std::nullopt : savedNameOf(manager.get(), other);
        if (theirs && sameFile(*theirs, save))
            return failed("the service " + app::serviceName(other) + " captures into " + save +
                          " already; give this one another name");
    }
    const std::wstring program = programPath();
    // Only the port goes on the command line: the service manager expands
    // %NAME% there, in a file name or a password alike.
    const std::wstring line = widen(app::commandLine(narrow(program), app::serviceArguments(port)));
    std::wstring account;
    std::wstring password;
    if (options.serviceAccount) {
        account = widen(*options.serviceAccount);
        if (const wchar_t* given = ::_wgetenv(L"KELMOR_CSV_SERVICE_PASSWORD"))
            password = given;
    }
    ScHandle service(::CreateServiceW(
        manager.get(), widen(name).c_str(), widen(app::serviceDisplayName(port)).c_str(),
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
        line.c_str(), nullptr, nullptr, nullptr, account.empty() ? nullptr : account.c_str(),
        account.empty() ? nullptr : password.c_str()));
    if (!service) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME)
            return failed(app::portText(port) + " has a capture service already (" + name +
                          "); to replace it, first kelmor-csv --remove-service " +
                          std::to_string(port));
        return failed("the service " + name + " could not be installed: " + describe(code));
    }
    const auto undo = [&](const std::string& why) {
        ::DeleteService(service.get());
        return failed("the service " + name + " could not be installed: " + why);
    };
    std::wstring description = widen(app::serviceDescription(port, save));
    SERVICE_DESCRIPTIONW text{description.data()};
    // A crash is followed by a restart 5 s later, up to three times a day. A
    // service that stops on its own (a command line that cannot work) is not
    // restarted: it would fail the same way.
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
    SERVICE_FAILURE_ACTIONSW failures{};
    failures.dwResetPeriod = 24 * 60 * 60;
    failures.cActions = 3;
    failures.lpsaActions = restart;
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text) ||
        !::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failures))
        return undo(describe(::GetLastError()));
    if (auto why = writeServiceOptions(name, app::serviceParameters(options, save),
                                       options.serviceAccount))
        return undo("its settings could not be written: " + *why);
    if (!registerEventSource(widen(name), program))
        return undo("its event source could not be registered");

    std::string said = "Installed the service " + name + " (\"" + app::serviceDisplayName(port) +
                       "\"): it starts at every boot, as " +
                       options.serviceAccount.value_or("LocalSystem") +
                       ", and restarts 5 s after a crash, up to 3 times a day.\n";
    const std::wstring folder = absolute(widen(save) + L"\\..");
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        said += "The folder " + narrow(folder) +
                " does not exist: records are reported in the event log until it does.\n";
    if (!::StartServiceW(service.get(), 0, nullptr))
        return failed(said + "It did not start: " + describe(::GetLastError()));
    if (settle(service.get(), SERVICE_START_PENDING) != SERVICE_RUNNING) {
        const auto status = readServiceStatus(name);
        return failed(said + "It did not start: " + status.value_or("the event log says why"));
    }
    // What the service found at its port, once it has tried.
    std::optional<std::string> status;
    const auto deadline = std::chrono::steady_clock::now() + StatusTimeout;
    while (!(status = readServiceStatus(name)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (status == StatusCapturing)
        return app::CommandLineAnswer::saying(said + "It is running and captures from " +
                                              app::portText(port) + " into " + save + ".\n");
    return app::CommandLineAnswer::saying(said + "It is running, but does not capture yet: " +
                                          status.value_or("it has not said how its port is") +
                                          "\n");
}

app::CommandLineAnswer removeService(int port) {
    const std::string name = app::serviceName(port);
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return failed("the service manager cannot be reached: " + describe(::GetLastError()));
    ScHandle service(::OpenServiceW(manager.get(), widen(name).c_str(),
                                    SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST)
            return failed(app::portText(port) + " has no capture service (" + name + ")");
        if (code == ERROR_ACCESS_DENIED)
            return withoutRights("removing a service");
        return failed("the service " + name + " cannot be opened: " + describe(code));
    }
    SERVICE_STATUS status{};
    if (const auto now = statusOf(service.get()); now && now->dwCurrentState != SERVICE_STOPPED) {
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        if (settle(service.get(), SERVICE_STOP_PENDING) != SERVICE_STOPPED)
            return failed("the service " + name + " did not stop within " +
                          std::to_string(StateTimeout.count()) + " s; it is still installed");
    }
    if (!::DeleteService(service.get()))
        return failed("the service " + name +
                      " stopped but could not be removed: " + describe(::GetLastError()));
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (EventSources + widen(name)).c_str());
    return app::CommandLineAnswer::saying("Stopped and removed the service " + name +
                                          "; its files stay where they are.\n");
}

std::optional<std::string> serviceHolding(int port) {
    const std::string name = app::serviceName(port);
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return std::nullopt;
    ScHandle service(::OpenServiceW(manager.get(), widen(name).c_str(), SERVICE_QUERY_STATUS));
    if (!service)
        return std::nullopt;
    const auto status = statusOf(service.get());
    if (!status || status->dwCurrentState == SERVICE_STOPPED ||
        status->dwProcessId == ::GetCurrentProcessId())
        return std::nullopt;
    return name;
}

} // namespace kelmor::win32
