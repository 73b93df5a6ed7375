#pragma once
// One normal run per installation: a named mutex derived from the installation
// directory, held by the run for as long as its process lives.

#include "win_handles.h"

#include <string>

// The lock's name for a directory. The same directory gives the same name however
// its path is spelled: letter case, short names, "." and "..", trailing backslashes.
std::wstring run_lock_name(const std::wstring& directory);

class run_lock {
  public:
    explicit run_lock(const std::wstring& name);
    // False when another process holds a lock of this name.
    bool first() const { return first_; }

  private:
    kernel_handle mutex;
    bool first_ = false;
};
