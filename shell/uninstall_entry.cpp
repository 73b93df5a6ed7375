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
constexpr const wchar_t* key_prefix = L"Quillomark-";
constexpr const wchar_t* location_value = L"InstallLocation";
constexpr const wchar_t* name_value = L"DisplayName";

std::wstring entry_path(const std::wstring& key) {
    return std::wstring(uninstall_root) + L"\\" + key;
}

registry_key open_key(const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
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

std::optional<std::wstring> entry_text(const std::wstring& key, const wchar_t* name) {
    const registry_key opened = open_key(entry_path(key), KEY_QUERY_VALUE);
    return opened ? read_text(opened.get(), name) : std::nullopt;
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

bool is_ours(const std::wstring& key) {
    const std::size_t length = std::wcslen(key_prefix);
    return key.size() > length &&
           CompareStringOrdinal(key.c_str(), static_cast<int>(length), key_prefix,
                                static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring uninstall_key_name(const std::wstring& product, const std::wstring& folder) {
    return key_prefix + utf8_to_wide(md5_hex(
                            wide_to_utf8(product + L"\n" + path_in_upper_case(full_path(folder)))));
}

std::wstring uninstall_key_path(const std::wstring& key) {
    return L"HKEY_CURRENT_USER\\" + entry_path(key);
}

std::optional<std::wstring> uninstall_entry_key(const std::wstring& folder) {
    const registry_key root = open_key(uninstall_root, KEY_ENUMERATE_SUB_KEYS);
    if (!root)
        return std::nullopt;
    std::array<wchar_t, 256> name{};
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LSTATUS status = RegEnumKeyExW(root.get(), index, name.data(), &length, nullptr,
                                             nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return std::nullopt;
        const std::wstring key(name.data(), status == ERROR_SUCCESS ? length : 0);
        if (!is_ours(key))
            continue;
        const auto location = entry_text(key, location_value);
        if (location && same_file(*location, folder))
            return key;
    }
}

std::optional<std::wstring> uninstall_entry_product(const std::wstring& key) {
    return entry_text(key, name_value);
}

bool write_uninstall_entry(const std::wstring& key, const std::wstring& product,
                           const std::wstring& folder, const std::wstring& publisher) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, entry_path(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &created, nullptr) != ERROR_SUCCESS)
        return false;
    const registry_key opened(created);
    const std::wstring launcher = quoted(installed_launcher(folder));
    return set_text(opened.get(), name_value, product) &&
           set_text(opened.get(), L"DisplayIcon", installed_launcher(folder) + L",0") &&
           (publisher.empty() || set_text(opened.get(), L"Publisher", publisher)) &&
           set_text(opened.get(), location_value, folder) &&
           set_text(opened.get(), L"InstallDate", today()) &&
           set_text(opened.get(), L"UninstallString", launcher + L" --uninstall") &&
           set_text(opened.get(), L"QuietUninstallString", launcher + L" --uninstall --silent") &&
           set_number(opened.get(), L"NoModify", 1) && set_number(opened.get(), L"NoRepair", 1) &&
           set_measured_values(opened.get(), folder);
}

void refresh_uninstall_entry(const std::wstring& product, const std::wstring& folder) {
    const auto key = uninstall_entry_key(folder);
    if (!key)
        return;
    if (const registry_key opened = open_key(entry_path(*key), KEY_SET_VALUE)) {
        set_text(opened.get(), name_value, product);
        set_measured_values(opened.get(), folder);
    }
}

bool remove_uninstall_key(const std::wstring& key) {
    const LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, entry_path(key).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
