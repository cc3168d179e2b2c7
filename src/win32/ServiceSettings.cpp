#include "ServiceSettings.h"

#include "capture/WindowsText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <sddl.h>

namespace kelmor::win32 {

namespace {

namespace text = capture::windows;

constexpr const wchar_t* Options = L"Options";
constexpr const wchar_t* Status = L"Status";

std::wstring keyOf(const std::string& service) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + text::widen(service) + L"\\Parameters";
}

// SYSTEM and administrators, and the account the service runs as: no one else.
std::optional<std::string> lockDown(HKEY key, const std::optional<std::string>& account) {
    std::wstring sddl = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
    if (account) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof sid;
        wchar_t domain[256];
        DWORD domainSize = 256;
        SID_NAME_USE use{};
        LPWSTR text = nullptr;
        if (!::LookupAccountNameW(nullptr, text::widen(*account).c_str(), sid, &sidSize, domain,
                                  &domainSize, &use) ||
            !::ConvertSidToStringSidW(sid, &text))
            return "the account " + *account + " is not known: " + text::describe(::GetLastError());
        sddl += L"(A;CI;KA;;;" + std::wstring(text) + L")";
        ::LocalFree(text);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return text::describe(::GetLastError());
    const LSTATUS set = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    if (set != ERROR_SUCCESS)
        return text::describe(static_cast<DWORD>(set));
    return std::nullopt;
}

} // namespace

std::optional<std::string> writeServiceOptions(const std::string& service,
                                               const std::vector<std::string>& args,
                                               const std::optional<std::string>& account) {
    HKEY key = nullptr;
    LSTATUS r = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyOf(service).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | WRITE_DAC, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return text::describe(static_cast<DWORD>(r));
    // One string each, as REG_MULTI_SZ holds them; none is ever expanded.
    std::wstring all;
    for (const std::string& arg : args)
        all += text::widen(arg) + L'\0';
    all += L'\0';
    std::optional<std::string> failed = lockDown(key, account);
    if (!failed) {
        r = ::RegSetValueExW(key, Options, 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(all.data()),
                             static_cast<DWORD>(all.size() * sizeof(wchar_t)));
        if (r != ERROR_SUCCESS)
            failed = text::describe(static_cast<DWORD>(r));
    }
    ::RegDeleteValueW(key, Status);
    ::RegCloseKey(key);
    return failed;
}

std::optional<std::vector<std::string>> readServiceOptions(const std::string& service) {
    DWORD size = 0;
    const std::wstring key = keyOf(service);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), Options, RRF_RT_REG_MULTI_SZ, nullptr,
                       nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring all(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), Options, RRF_RT_REG_MULTI_SZ, nullptr,
                       all.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<std::string> args;
    for (std::size_t at = 0; at < all.size() && all[at] != L'\0';) {
        const std::size_t end = all.find(L'\0', at);
        args.push_back(text::narrow(all.substr(at, end - at)));
        at = end + 1;
    }
    return args;
}

void writeServiceStatus(const std::string& service, const std::string& status) {
    const std::wstring value = text::widen(status);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyOf(service).c_str(), Status, REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::optional<std::string> readServiceStatus(const std::string& service) {
    wchar_t value[2048] = {};
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, keyOf(service).c_str(), Status, RRF_RT_REG_SZ, nullptr,
                       value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return text::narrow(value);
}

} // namespace kelmor::win32
