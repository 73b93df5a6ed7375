// Resumed downloads with the REGET comparison, the retry after a failed attempt,
// and the two calls through which the launcher downloads.

#include "test_server.h"
#include "transfer_test_helpers.h"

namespace {

bool asks_for_range(const recorded_request& request) {
    return request.bytes.find("\r\nRange: ") != std::string::npos;
}

std::string with_byte_changed(std::string content, size_t position) {
    content[position] = static_cast<char>(~content[position]);
    return content;
}

class Resume : public ::testing::Test {
  protected:
    std::string download_over(const std::string& local, const std::string& url) {
        write_bytes(path, local);
        transfer.download_file(url.c_str(), path.c_str(), false, false);
        return read_bytes(path);
    }

    scratch_directory scratch;
    std::string path = scratch.file("download.bin");
    CFileTransfer transfer;
};

} // namespace

TEST_F(Resume, AnEqualOverlapContinuesTheLocalFile) {
    EXPECT_EQ(download_over(sample_content(4096), sample_url(10000)), sample_content(10000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(asks_for_range(requests[0]));
}

TEST_F(Resume, ADifferingOverlapFallsBackToAFreshDownload) {
    const std::string local = with_byte_changed(sample_content(4096), 4080);
    EXPECT_EQ(download_over(local, sample_url(10000)), sample_content(10000));
    // The mismatch fails both attempts of the resume before the fresh download.
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(asks_for_range(requests[0]));
    EXPECT_TRUE(asks_for_range(requests[1]));
    EXPECT_FALSE(asks_for_range(requests[2]));
}

TEST_F(Resume, ANegativeContentLengthLeavesTheRangeToContentRange) {
    EXPECT_EQ(download_over(sample_content(5000), sample_url(10000, "length=negative")),
              sample_content(10000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].bytes.find("\r\nRange: bytes=4968-\r\n") != std::string::npos);
}

TEST_F(Resume, AFileShorterThan4096BytesIsDownloadedAfresh) {
    EXPECT_EQ(download_over(std::string(4095, 'x'), sample_url(10000)), sample_content(10000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(asks_for_range(requests[0]));
}

TEST_F(Resume, AMissingFileIsDownloadedAfresh) {
    transfer.download_file(sample_url(1000).c_str(), path.c_str(), false, false);
    EXPECT_EQ(read_bytes(path), sample_content(1000));
}

TEST_F(Resume, AWholeResourceSentForARangeIsComparedWithTheWholeLocalFile) {
    EXPECT_EQ(download_over(sample_content(5000), sample_url(10000, "range=ignore")),
              sample_content(10000));
    ASSERT_EQ(recorded_requests().size(), 1u);
}

TEST_F(Resume, AWholeResourceThatDiffersEarlyInTheLocalFileStartsOver) {
    const std::string local = with_byte_changed(sample_content(5000), 10);
    EXPECT_EQ(download_over(local, sample_url(10000, "range=ignore")), sample_content(10000));
    EXPECT_EQ(recorded_requests().size(), 3u);
}

TEST_F(Resume, AnEmptyBodyStillCreatesTheFile) {
    transfer.download_file_fresh(sample_url(0).c_str(), path.c_str(), false, false);
    EXPECT_TRUE(std::filesystem::exists(utf8_path(path)));
    EXPECT_EQ(read_bytes(path), "");
}

TEST_F(Resume, AnUnchangedCompleteFileIsOnlyCompared) {
    EXPECT_EQ(download_over(sample_content(10000), sample_url(10000)), sample_content(10000));
    EXPECT_EQ(recorded_requests().size(), 1u);
}

class Retry : public ::testing::TestWithParam<const char*> {
  protected:
    scratch_directory scratch;
    std::string path = scratch.file("retry.bin");
    CFileTransfer transfer;
};

TEST_P(Retry, AFirstAttemptCutShortIsCompletedByTheSecond) {
    const std::string url = sample_url(100000, std::string("drop=30000&drop_mode=") + GetParam());
    EXPECT_TRUE(download_to_file(path, transfer, url));
    EXPECT_EQ(read_bytes(path), sample_content(100000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].bytes, requests[0].bytes);
}

INSTANTIATE_TEST_SUITE_P(CloseAndReset, Retry, ::testing::Values("close", "reset"));

TEST_F(Resume, TwoFailedAttemptsReportTheFirstError) {
    file_transfer_copy sink(path.c_str());
    const transfer_error error = caught_error([&] {
        transfer.request_with_retry(sample_url(100000, "drop=30000&change=1").c_str(), &sink, 0,
                                    nullptr, false, false);
    });
    EXPECT_EQ(error.code, transfer_error::network);
    EXPECT_STREQ(error.message, "HTTP download failed");
    EXPECT_EQ(recorded_requests().size(), 2u);
}

TEST_F(Resume, AFailedRetryIsCalledOffByDownloadToFileWithALogLine) {
    captured_log log(scratch);
    EXPECT_FALSE(download_to_file(path, transfer, sample_url(100000, "drop=30000&change=1")));
    EXPECT_NE(log.text().find("Transfer Exception: HTTP download failed"), std::string::npos);
    EXPECT_EQ(read_bytes(path), sample_content(30000));
}

TEST_F(Resume, TheTransferIsUsableAgainAfterAFailure) {
    EXPECT_FALSE(download_to_file(path, transfer, sample_url(1000, "status=500")));
    EXPECT_TRUE(download_to_file(path, transfer, sample_url(1000)));
    EXPECT_EQ(read_bytes(path), sample_content(1000));
}

TEST(DownloadToMemory, HandsOverTheBlockWithItsSize) {
    CFileTransfer transfer;
    char* data = nullptr;
    long size = 0;
    ASSERT_EQ(download_to_memory(transfer, sample_url(10000), &data, &size),
              download_result::received);
    EXPECT_EQ(std::string(data, static_cast<size_t>(size)), sample_content(10000));
    std::free(data);
}

TEST(DownloadToMemory, AFailureLeavesBothOutputsUntouchedAndIsLogged) {
    scratch_directory scratch;
    captured_log log(scratch);
    CFileTransfer transfer;
    char marker = 0;
    char* data = &marker;
    long size = -7;
    EXPECT_EQ(download_to_memory(transfer, sample_url(1000, "status=404"), &data, &size),
              download_result::failed);
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(size, -7);
    EXPECT_NE(log.text().find("Transfer Exception: Unexpected status code from HTTP server"),
              std::string::npos);
}

// Without a window to ask in, a proxy's 407 ends the download at once, told apart
// from other failures, and is not asked again.
TEST(DownloadToMemory, AProxySignInWantedIsToldApartAndNotRetried) {
    scratch_directory scratch;
    captured_log log(scratch);
    CFileTransfer transfer;
    char* data = nullptr;
    long size = 0;
    EXPECT_EQ(download_to_memory(transfer, sample_url(1000, "status=407"), &data, &size),
              download_result::proxy_sign_in_wanted);
    EXPECT_EQ(recorded_requests().size(), 1u);
    EXPECT_NE(log.text().find(" asks for a sign-in (HTTP 407)"), std::string::npos);
}
