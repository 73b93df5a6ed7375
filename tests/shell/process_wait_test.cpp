#include "process_wait.h"

#include "win_handles.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <chrono>
#include <memory>
#include <string>

using namespace std::chrono_literals;

namespace {

struct local_free {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// A copy of this test program, held suspended until the test ends it; with `guarded`
// it is owned by the system and no one else may open it to wait for it (only to ask
// after it), as a process of another user or an elevated one. (Wine lets the owner
// of a process open it whatever its list of access says, and lets a program give
// the process it starts another owner.)
struct parked_process {
    kernel_handle process;
    DWORD id = 0;
    ~parked_process() {
        if (process)
            TerminateProcess(process.get(), 0);
    }
};

parked_process park_copy(bool guarded) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    std::wstring command = L"\"" + path + L"\" --gtest_list_tests";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (guarded) {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:SYD:(A;;0x1000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    }
    const std::unique_ptr<void, local_free> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), guarded ? &attributes : nullptr, nullptr,
                               FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &started));
    CloseHandle(started.hThread);
    return {kernel_handle(started.hProcess), started.dwProcessId};
}

void end(const parked_process& parked) {
    TerminateProcess(parked.process.get(), 0);
    WaitForSingleObject(parked.process.get(), INFINITE);
}

// Process ids are multiples of four: this one names no process.
constexpr DWORD no_process = 4294967295;

} // namespace

TEST(ProcessWait, OnlyAnIdThatNamesNoProcessEndsTheWaitWhenItCannotBeOpened) {
    EXPECT_TRUE(names_no_process(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(names_no_process(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(names_no_process(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(names_no_process(ERROR_SUCCESS));
}

TEST(ProcessWait, TheProcessListHoldsARunningProcessUntilItEnds) {
    const parked_process parked = park_copy(false);
    EXPECT_FALSE(wait_until_unlisted(parked.id, 300ms));
    end(parked);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_until_unlisted(parked.id, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(wait_until_unlisted(no_process, 0ms));
}

TEST(ProcessWait, AProcessThatCannotBeOpenedIsWaitedForAndNotTakenForEnded) {
    const parked_process parked = park_copy(true);
    const HANDLE opened = OpenProcess(SYNCHRONIZE, FALSE, parked.id);
    const DWORD error = GetLastError();
    ASSERT_EQ(opened, nullptr) << "the guarded process opens to wait for it";
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(wait_for_process_end(parked.id, 600ms));
    end(parked);
    EXPECT_TRUE(wait_for_process_end(parked.id, 10s));
    EXPECT_TRUE(wait_for_process_end(no_process, 0ms));
    EXPECT_TRUE(wait_for_process_end(GetCurrentProcessId(), 0ms));
}
