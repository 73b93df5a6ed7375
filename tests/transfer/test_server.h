#pragma once
// The fault-injecting HTTP server that ctest starts for these tests
// (tests/server/fault_server.py): URLs of its sample files with the misbehaviour a
// test asks for, the requests it recorded for the running test, and the sample content.

#include <string>
#include <vector>

// The bytes of the server's sample file pattern-<size>.bin.
std::string sample_content(long size);

// The name of the running test, which the server records its requests under.
std::string current_test_id();

// http://127.0.0.1:<port>/pattern-<size>.bin?id=<test id>&<rules>; host 2 is 127.0.0.2.
std::string sample_url(long size, const std::string& rules = "", int host = 1);

struct recorded_request {
    int connection = 0; // which of the server's connections carried it
    std::string bytes;  // request line, headers and body, exactly as received
};

// Every request the server received for the running test, in order.
std::vector<recorded_request> recorded_requests();
