// Records computed ahead of the worker: every record is the file as the worker
// would have found it, whoever computed it, whatever the order of the two threads.

#include "check_ahead.h"
#include "scratch.h"

#include <gtest/gtest.h>

namespace {

struct installation {
    scratch_directory scratch;
    std::vector<check_item> items;

    // Files of growing sizes; every third one only the worker may compute.
    explicit installation(int count) {
        for (int index = 0; index < count; ++index) {
            const std::string name = std::to_string(index) + ".bin";
            write_bytes(scratch.file(name), std::string(1000 * index + 1, char('a' + index % 26)));
            items.push_back({name, scratch.file(name), index % 3 != 0});
        }
    }

    void expect_every_record(check_ahead& checks) const {
        for (std::size_t index = 0; index < items.size(); ++index) {
            const file_info expected = make_file_info(items[index].name, items[index].path);
            const file_info record = checks.record_of(index);
            EXPECT_EQ(record.name, expected.name);
            EXPECT_EQ(record.size, expected.size) << index;
            EXPECT_TRUE(digests_equal(record, expected)) << index;
        }
    }
};

} // namespace

TEST(CheckAhead, EveryRecordIsTheFileAsTheWorkerFindsIt) {
    installation files(60);
    const std::atomic<bool> stop{false};
    check_ahead checks(files.items, stop);
    checks.start();
    // Written after the start: an entry only the worker computes shows the change.
    write_bytes(files.items[30].path, "rewritten by an earlier entry");
    files.expect_every_record(checks);
}

TEST(CheckAhead, TheWorkerComputesWhatIsNotComputedAhead) {
    installation files(12);
    const std::atomic<bool> stop{true};
    check_ahead stopped(files.items, stop);
    stopped.start();
    files.expect_every_record(stopped);

    check_ahead never_started(files.items, stop);
    files.expect_every_record(never_started);
}

TEST(CheckAhead, AMissingFileHasTheEmptyRecord) {
    scratch_directory scratch;
    const std::atomic<bool> stop{false};
    check_ahead checks({{"gone", scratch.file("gone"), true}}, stop);
    checks.start();
    const file_info record = checks.record_of(0);
    EXPECT_EQ(record.size, 0);
    EXPECT_FALSE(file_info_valid(record));
}
