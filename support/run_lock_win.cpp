#include "run_lock.h"

#include "file_identity.h"
#include "hex_text.h"
#include "md5.h"
#include "utf8.h"

#include <sddl.h>

#include <memory>
#include <vector>

namespace {

// A folder that cannot be opened has no identity: its full path, in upper case, is
// hashed instead, since a mutex name may not hold a backslash beyond its namespace.
std::wstring path_digest(const std::wstring& directory) {
    std::wstring path = full_path(directory);
    if (path.empty())
        path = directory;
    return L"path." + utf8_to_wide(md5_hex(wide_to_utf8(path_in_upper_case(path))));
}

std::wstring identity_hex(const file_identity& identity) {
    std::vector<unsigned char> bytes;
    for (const DWORD part : {identity.volume, identity.index_high, identity.index_low})
        for (const int shift : {24, 16, 8, 0})
            bytes.push_back(static_cast<unsigned char>(part >> shift));
    return utf8_to_wide(hex_of(bytes));
}

struct local_free {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// Runs of other users must be able to open the lock to find it: everyone may wait
// on it (SYNCHRONIZE), which is all that opening it here asks for.
std::unique_ptr<void, local_free> open_to_everyone() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    return std::unique_ptr<void, local_free>(descriptor);
}

struct created_mutex {
    kernel_handle handle;
    DWORD error; // ERROR_ALREADY_EXISTS when another process made it first
};

created_mutex create_mutex(const std::wstring& name) {
    const auto descriptor = open_to_everyone();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    kernel_handle handle(CreateMutexExW(&attributes, name.c_str(), 0, SYNCHRONIZE));
    return {std::move(handle), GetLastError()};
}

} // namespace

std::wstring run_lock_name(const std::wstring& directory) {
    const auto identity = identity_of(directory);
    return L"Quillomark.run." + (identity ? identity_hex(*identity) : path_digest(directory));
}

// A lock that cannot be made at all lets the run go on: a launcher that never runs
// would be worse than two at once. Refused access means a run holds it under a
// descriptor that does not let this one in.
run_lock::run_lock(const std::wstring& directory) : name_(run_lock_name(directory)) {
    take();
}

void run_lock::release() {
    mutex.reset();
    first_ = false;
}

bool run_lock::try_again() {
    mutex.reset();
    take();
    return first_;
}

void run_lock::take() {
    global_refusal_ = 0;
    created_mutex created = create_mutex(L"Global\\" + name_);
    if (!created.handle) {
        global_refusal_ = created.error;
        created = create_mutex(L"Local\\" + name_);
    }
    mutex = std::move(created.handle);
    first_ = mutex ? created.error != ERROR_ALREADY_EXISTS : created.error != ERROR_ACCESS_DENIED;
    // The lock is the name's existence: a process that did not get it must not keep
    // the name alive, or two that wait for it (two starts while a prepare ends)
    // would each find it taken by the other for as long as they try.
    if (!first_)
        mutex.reset();
}
