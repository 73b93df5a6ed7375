#pragma once
// One normal run per installation: a named mutex derived from the installation
// folder's identity (file_identity.h), held by the run for as long as its process
// lives. It lives in the Global\ namespace, so that a run in another session (fast
// user switching, remote desktop, another user) is found as well; where the system
// refuses a global object, it lives in this session's namespace.

#include "win_handles.h"

#include <string>

// The lock's name for a directory, without its namespace. Every name of the folder
// gives the same lock name: letter case, short names, "." and "..", trailing
// backslashes, the "\\?\" form, links and junctions, a mapped drive.
std::wstring run_lock_name(const std::wstring& directory);

// The run lock of an installation folder, taken on construction. An object that
// did not get the lock holds nothing of it, so that it never keeps another process
// from taking the lock once its holder has ended.
class run_lock {
  public:
    explicit run_lock(const std::wstring& directory);
    // Tries once more to take the lock; true when it is this process's now.
    bool try_again();
    // Gives the lock up before the process ends: the next run may take it.
    void release();
    // False when another run holds the lock of this folder.
    bool first() const { return first_; }
    // The lock's name; runs of one installation find each other by it.
    const std::wstring& name() const { return name_; }
    // Why the lock is only this session's: the system's error for the global one,
    // 0 when the global lock was taken.
    DWORD global_refusal() const { return global_refusal_; }

  private:
    void take();

    std::wstring name_;
    kernel_handle mutex;
    bool first_ = false;
    DWORD global_refusal_ = 0;
};
