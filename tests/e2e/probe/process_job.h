#pragma once
// One started program and every process it starts in turn, held in a job object
// that ends them all when it is closed. A completion port tells when the last of
// them has ended.

#include "win_handles.h"

#include <optional>
#include <string>
#include <vector>

struct job_counts {
    DWORD total;  // processes that ever belonged to the job
    DWORD active; // processes still running
};

// The ids of the processes in the job now.
std::vector<DWORD> job_process_ids(HANDLE job);

class process_job {
  public:
    // Starts the command line with the given current directory; returns the process id.
    // A process that is not resumed stays suspended before its first instruction. A
    // security descriptor, when given, becomes the process's own.
    DWORD start(const std::wstring& directory, std::wstring command_line, bool resume = true,
                PSECURITY_DESCRIPTOR process_security = nullptr);
    // The exit code of the started process once it has ended, or nothing at the deadline.
    std::optional<DWORD> wait_exit(DWORD milliseconds) const;
    // Whether every process of the job ended before the deadline.
    bool wait_idle(DWORD milliseconds);
    job_counts counts() const;
    // The image path of each process still in the job.
    std::vector<std::wstring> running() const;
    // Ends the started process at once, or every process of the job; returns once
    // the started process has ended.
    void kill(bool whole_job);
    DWORD process_id() const { return process_id_; }
    // A handle of the job of the last start, for a watcher of its own.
    kernel_handle duplicate_job() const;

  private:
    void create_job();

    kernel_handle job_;
    kernel_handle port_;
    kernel_handle process_;
    DWORD process_id_ = 0;
    bool idle_ = false;
};
