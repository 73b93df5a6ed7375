#pragma once
// The two ways a publisher command fails: bad input from the user (exit status 2,
// nothing written) and a failure while working (exit status 1).

#include <stdexcept>

struct bad_input : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct publish_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
