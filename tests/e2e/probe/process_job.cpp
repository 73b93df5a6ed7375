#include "process_job.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

std::runtime_error system_failure(const char* call) {
    return std::runtime_error(std::string(call) + " failed with " + std::to_string(GetLastError()));
}

std::wstring image_of(DWORD process_id) {
    const kernel_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, image.data(), &length))
        return {};
    image.resize(length);
    return image;
}

bool is_wine_desktop(DWORD process_id) {
    const std::wstring image = image_of(process_id);
    const std::wstring desktop = L"\\explorer.exe";
    return image.size() >= desktop.size() &&
           CompareStringOrdinal(image.c_str() + image.size() - desktop.size(),
                                static_cast<int>(desktop.size()), desktop.c_str(),
                                static_cast<int>(desktop.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::vector<DWORD> job_process_ids(HANDLE job) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more_ids[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (!job ||
        !QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        return {};
    const ULONG_PTR* first = ids.list.ProcessIdList;
    return {first, first + ids.list.NumberOfProcessIdsInList};
}

namespace {

// Wine starts its desktop process (explorer.exe) from the first program that needs
// the desktop; started inside the job, it would keep the job busy after every
// program under test has ended.
bool only_wine_desktop_left(HANDLE job) {
    return std::ranges::all_of(job_process_ids(job), is_wine_desktop);
}

} // namespace

void process_job::create_job() {
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!job_ || !port_)
        throw system_failure("CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{job_.get(), port_.get()};
    if (!SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
        !SetInformationJobObject(job_.get(), JobObjectAssociateCompletionPortInformation,
                                 &association, sizeof association))
        throw system_failure("SetInformationJobObject");
}

DWORD process_job::start(const std::wstring& directory, std::wstring command_line, bool resume,
                         PSECURITY_DESCRIPTOR process_security) {
    // Closing the previous job ends whatever an earlier start left running.
    process_.reset();
    job_.reset();
    create_job();
    idle_ = false;
    // No standard handles: the probe's own output carries its answers, and a program
    // would otherwise inherit it (quillomark.exe --check writes its line there).
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started{};
    SECURITY_ATTRIBUTES security{sizeof security, process_security, FALSE};
    if (!CreateProcessW(nullptr, command_line.data(), process_security ? &security : nullptr,
                        nullptr, FALSE, CREATE_SUSPENDED, nullptr, directory.c_str(), &startup,
                        &started))
        throw system_failure("CreateProcessW");
    process_.reset(started.hProcess);
    const kernel_handle thread(started.hThread);
    if (!AssignProcessToJobObject(job_.get(), process_.get())) {
        TerminateProcess(process_.get(), 1);
        throw system_failure("AssignProcessToJobObject");
    }
    if (resume)
        ResumeThread(thread.get());
    process_id_ = started.dwProcessId;
    return process_id_;
}

std::optional<DWORD> process_job::wait_exit(DWORD milliseconds) const {
    if (!process_ || WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

bool process_job::wait_idle(DWORD milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!idle_ && job_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = nullptr;
        if (left.count() < 0 || !GetQueuedCompletionStatus(port_.get(), &message, &key, &detail,
                                                           static_cast<DWORD>(left.count())))
            return false;
        idle_ = message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO ||
                (message == JOB_OBJECT_MSG_EXIT_PROCESS && only_wine_desktop_left(job_.get()));
    }
    return idle_;
}

job_counts process_job::counts() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (job_)
        QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr);
    return {accounting.TotalProcesses, accounting.ActiveProcesses};
}

std::vector<std::wstring> process_job::running() const {
    std::vector<std::wstring> images;
    for (const DWORD id : job_process_ids(job_.get()))
        images.push_back(image_of(id));
    return images;
}

void process_job::kill(bool whole_job) {
    if (!process_)
        throw std::runtime_error("nothing started");
    const BOOL ended =
        whole_job ? TerminateJobObject(job_.get(), 1) : TerminateProcess(process_.get(), 1);
    if (!ended && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0)
        throw system_failure(whole_job ? "TerminateJobObject" : "TerminateProcess");
    WaitForSingleObject(process_.get(), INFINITE);
}

kernel_handle process_job::duplicate_job() const {
    HANDLE copy = nullptr;
    if (!job_ || !DuplicateHandle(GetCurrentProcess(), job_.get(), GetCurrentProcess(), &copy, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS))
        throw system_failure("DuplicateHandle");
    return kernel_handle(copy);
}
