#include "uninstall_entry.h"

#include "file_identity.h"
#include "installation.h"
#include "md5.h"
#include "utf8.h"
#include "win_handles.h"

#include <array>
#include <cwchar>

namespace {

constexpr const wchar_t* uninstall_root =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const wchar_t* location_value = L"InstallLocation";

std::wstring entry_path(const std::wstring& product) {
    return std::wstring(uninstall_root) + L"\\" + uninstall_key_name(product);
}

registry_key open_entry(const std::wstring& product, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, entry_path(product).c_str(), 0, access, &key) !=
        ERROR_SUCCESS)
        return registry_key();
    return registry_key(key);
}

bool set_text(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

bool set_number(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

std::optional<std::wstring> read_text(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    text.resize(std::wcslen(text.c_str()));
    return text;
}

std::wstring today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::array<wchar_t, 16> text{};
    std::swprintf(text.data(), text.size(), L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text.data();
}

// DisplayVersion and EstimatedSize, as the installation now is.
bool set_measured_values(HKEY key, const std::wstring& folder) {
    const installation_measure measure = measure_installation(folder);
    return (!measure.version ||
            set_text(key, L"DisplayVersion", std::to_wstring(*measure.version))) &&
           set_number(key, L"EstimatedSize", measure.kibibytes);
}

bool names_folder(const std::wstring& product, const std::wstring& folder) {
    const auto named = uninstall_entry_folder(product);
    return named && same_file(*named, folder);
}

} // namespace

std::wstring uninstall_key_name(const std::wstring& product) {
    return L"Quillomark-" + utf8_to_wide(md5_hex(wide_to_utf8(product)));
}

bool write_uninstall_entry(const std::wstring& product, const std::wstring& folder,
                           const std::wstring& publisher) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, entry_path(product).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &created, nullptr) != ERROR_SUCCESS)
        return false;
    const registry_key key(created);
    const std::wstring launcher = quoted(installed_launcher(folder));
    return set_text(key.get(), L"DisplayName", product) &&
           set_text(key.get(), L"DisplayIcon", installed_launcher(folder) + L",0") &&
           (publisher.empty() || set_text(key.get(), L"Publisher", publisher)) &&
           set_text(key.get(), location_value, folder) &&
           set_text(key.get(), L"InstallDate", today()) &&
           set_text(key.get(), L"UninstallString", launcher + L" --uninstall") &&
           set_text(key.get(), L"QuietUninstallString", launcher + L" --uninstall --silent") &&
           set_number(key.get(), L"NoModify", 1) && set_number(key.get(), L"NoRepair", 1) &&
           set_measured_values(key.get(), folder);
}

std::optional<std::wstring> uninstall_entry_folder(const std::wstring& product) {
    const registry_key key = open_entry(product, KEY_QUERY_VALUE);
    return key ? read_text(key.get(), location_value) : std::nullopt;
}

void refresh_uninstall_entry(const std::wstring& product, const std::wstring& folder) {
    if (!names_folder(product, folder))
        return;
    if (const registry_key key = open_entry(product, KEY_SET_VALUE))
        set_measured_values(key.get(), folder);
}

bool remove_uninstall_entry(const std::wstring& product, const std::wstring& folder) {
    if (!names_folder(product, folder))
        return true;
    const LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, entry_path(product).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
