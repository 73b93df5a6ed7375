// What requests put on the wire and how responses steer them: header lines,
// redirects and their bound, connection reuse, Content-Disposition names and the
// size and progress reports.

#include "test_server.h"
#include "transfer_test_helpers.h"

#include <chrono>
#include <thread>

namespace {

std::string host_of(const std::string& url) {
    const auto start = url.find("//") + 2;
    return url.substr(start, url.find('/', start) - start);
}

// The path and query of a URL, as a request line names them.
std::string target_of(const std::string& url) {
    return url.substr(url.find('/', url.find("//") + 2));
}

std::string request_line(const recorded_request& request) {
    return request.bytes.substr(0, request.bytes.find("\r\n"));
}

bool has_line(const recorded_request& request, const std::string& line) {
    return request.bytes.find("\r\n" + line + "\r\n") != std::string::npos;
}

// Shows the connection state that the transfer keeps between requests.
class observed_transfer : public CFileTransfer {
  public:
    bool connected() const { return static_cast<bool>(connection); }
    HINTERNET connection_handle() const { return connection.get(); }
    std::string connected_host() const { return host.data(); }
};

struct reports {
    std::vector<std::int64_t> sizes;
    std::vector<std::int64_t> progress;
    std::vector<std::string> names;
};

void record_reports(CFileTransfer& transfer, reports& into) {
    set_callbacks(
        transfer, [&into](std::int64_t total) { into.sizes.push_back(total); },
        [&into](std::int64_t offset) { into.progress.push_back(offset); },
        [&into](const char* name) { into.names.emplace_back(name); });
}

} // namespace

// Besides what WinINet adds, a GET sends its User-Agent and asks every cache on the
// way (a proxy's too) for a fresh copy.
TEST(Headers, AGetSendsTheUserAgentAndAsksCachesForAFreshCopy) {
    CFileTransfer transfer;
    const std::string url = sample_url(1000);
    EXPECT_EQ(fetch_text(transfer, url), sample_content(1000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, "GET " + target_of(url) +
                                     " HTTP/1.1\r\nAccept: */*\r\nHost: " + host_of(url) +
                                     "\r\nUser-Agent: Quillomark/1.0\r\nCache-Control: "
                                     "no-cache\r\nPragma: no-cache\r\n\r\n");
}

TEST(Headers, APostAddsTheFormContentTypeAndSendsTheData) {
    CFileTransfer transfer;
    char* data = nullptr;
    long size = 0;
    transfer.post_memory(sample_url(100).c_str(), "name=value&x=1", &data, &size);
    EXPECT_EQ(std::string(data, static_cast<size_t>(size)), sample_content(100));
    std::free(data);
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(request_line(requests[0]).substr(0, 5), "POST ");
    EXPECT_TRUE(has_line(requests[0], "User-Agent: Quillomark/1.0"));
    EXPECT_TRUE(has_line(requests[0], "Content-Type: application/x-www-form-urlencoded"));
    EXPECT_TRUE(has_line(requests[0], "Content-Length: 14"));
    EXPECT_FALSE(has_line(requests[0], "Range: bytes=0-"));
    EXPECT_TRUE(requests[0].bytes.ends_with("\r\n\r\nname=value&x=1"));
}

TEST(Headers, ResumingA4096ByteFileAsksFromByte4064) {
    scratch_directory scratch;
    const std::string path = scratch.file("resume.bin");
    write_bytes(path, sample_content(4096));
    CFileTransfer transfer;
    transfer.download_file(sample_url(10000).c_str(), path.c_str(), false, false);
    EXPECT_EQ(read_bytes(path), sample_content(10000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(has_line(requests[0], "User-Agent: Quillomark/1.0"));
    EXPECT_TRUE(has_line(requests[0], "Range: bytes=4064-"));
}

TEST(Redirects, ChainsOf301302303And307ArriveOnTheSameAndTheOtherHost) {
    CFileTransfer transfer;
    for (const char* code : {"301", "302", "303", "307"}) {
        for (const int host : {1, 2}) {
            SCOPED_TRACE(std::string(code) + " to host " + std::to_string(host));
            const std::string rules =
                std::string("redirect=") + code + "&hops=2&to=" + std::to_string(host);
            EXPECT_EQ(fetch_text(transfer, sample_url(1000, rules)), sample_content(1000));
            const recorded_request last = recorded_requests().back();
            EXPECT_TRUE(
                request_line(last).ends_with("&hops=0&to=" + std::to_string(host) + " HTTP/1.1"));
            EXPECT_TRUE(has_line(last, "Host: " + host_of(sample_url(1000, "", host))));
        }
    }
    EXPECT_EQ(recorded_requests().size(), 24u);
}

TEST(Redirects, ARelativeLocationIsResolvedAgainstTheUrlItAnswered) {
    CFileTransfer transfer;
    EXPECT_EQ(fetch_text(transfer, sample_url(1000, "redirect=302&hops=2&relative=1")),
              sample_content(1000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(request_line(requests.back()),
              "GET " + target_of(sample_url(1000, "redirect=302&hops=0&relative=1")) + " HTTP/1.1");
}

TEST(Redirects, TheTargetIsAskedWithTheSameFormDataAndRange) {
    CFileTransfer transfer;
    char* data = nullptr;
    long size = 0;
    transfer.post_memory(sample_url(100, "redirect=307&hops=1").c_str(), "name=value", &data,
                         &size);
    EXPECT_EQ(std::string(data, static_cast<size_t>(size)), sample_content(100));
    std::free(data);
    scratch_directory scratch;
    const std::string path = scratch.file("resume.bin");
    write_bytes(path, sample_content(4096));
    transfer.download_file(sample_url(10000, "redirect=302&hops=1&to=2").c_str(), path.c_str(),
                           false, false);
    EXPECT_EQ(read_bytes(path), sample_content(10000));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(request_line(requests[1]).substr(0, 5), "POST ");
    EXPECT_TRUE(requests[1].bytes.ends_with("\r\n\r\nname=value"));
    EXPECT_TRUE(has_line(requests[3], "Range: bytes=4064-"));
}

TEST(Redirects, AnswersWithoutLocationAreRequestedAgainAtTheSameUrl) {
    CFileTransfer transfer;
    for (const char* code : {"300", "304", "305"}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(fetch_text(transfer, sample_url(1000, std::string("first_status=") + code)),
                  sample_content(1000));
    }
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(request_line(requests[0]), request_line(requests[1]));
}

TEST(Redirects, TenRedirectsAreFollowedAndAnEleventhFails) {
    CFileTransfer transfer;
    EXPECT_EQ(fetch_text(transfer, sample_url(1000, "first_status=304&times=10")),
              sample_content(1000));
    EXPECT_EQ(recorded_requests().size(), 11u);

    memory_transfer_copy sink;
    const transfer_error error = caught_error([&] {
        transfer.request(sample_url(1000, "first_status=304&times=11").c_str(), &sink, 0, nullptr,
                         false, false);
    });
    EXPECT_EQ(error.code, transfer_error::network);
    EXPECT_STREQ(error.message, "Too many HTTP redirects");
}

// The one-second time-out keeps a regression short: WinINet used to follow such a
// loop itself until the watchdogs gave up, and went on after the call had returned.
TEST(Redirects, ARedirectToItselfEndsQuicklyAtTheBoundAndNoRequestFollowsTheReturn) {
    CFileTransfer transfer;
    transfer.set_timeout(1);
    memory_transfer_copy sink;
    const auto started = std::chrono::steady_clock::now();
    const transfer_error error = caught_error([&] {
        transfer.request_with_retry(sample_url(1000, "redirect=302&loop=1").c_str(), &sink, 0,
                                    nullptr, false, false);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_STREQ(error.message, "Too many HTTP redirects");
    const size_t at_return = recorded_requests().size();
    EXPECT_EQ(at_return, 22u); // the first request and 10 redirects, on each of two attempts
    // Waits for what must not happen: a request still under way would arrive meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(recorded_requests().size(), at_return);
}

TEST(Redirects, AnEndless304OnTheSameUrlIsStoppedByTheBoundOnBothAttempts) {
    CFileTransfer transfer;
    const transfer_error error =
        caught_error([&] { fetch_text(transfer, sample_url(1000, "status=304")); });
    EXPECT_STREQ(error.message, "Too many HTTP redirects");
    EXPECT_EQ(recorded_requests().size(), 22u);
}

TEST(Connections, KeepAliveInAnyLetterCaseKeepsTheConnectionForTheNextRequest) {
    observed_transfer transfer;
    for (const char* value : {"keep-alive", "KEEP-ALIVE"}) {
        const std::string rules = std::string("connection=") + value;
        fetch_text(transfer, sample_url(100, rules));
        ASSERT_TRUE(transfer.connected());
        const HINTERNET kept = transfer.connection_handle();
        EXPECT_EQ(transfer.connected_host(), "127.0.0.1");
        fetch_text(transfer, sample_url(1000, rules));
        EXPECT_EQ(transfer.connection_handle(), kept);
    }
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].connection, requests[0].connection);
    EXPECT_EQ(requests[3].connection, requests[2].connection);
}

TEST(Connections, CloseOrNoConnectionHeaderEndsTheConnectionAfterTheBody) {
    observed_transfer transfer;
    for (const char* value : {"close", "none"}) {
        fetch_text(transfer, sample_url(100, std::string("connection=") + value));
        EXPECT_FALSE(transfer.connected()) << value;
        EXPECT_EQ(transfer.connected_host(), "");
    }
    fetch_text(transfer, sample_url(100, "connection=close"));
    const auto requests = recorded_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[2].connection, requests[0].connection);
}

TEST(Connections, ARedirectToAnotherHostMovesTheConnectionThere) {
    observed_transfer transfer;
    EXPECT_EQ(fetch_text(transfer, sample_url(100, "redirect=301&hops=1&to=2")),
              sample_content(100));
    EXPECT_EQ(transfer.connected_host(), "127.0.0.2");
    EXPECT_TRUE(has_line(recorded_requests().back(), "Host: " + host_of(sample_url(100, "", 2))));
}

TEST(ContentDisposition, AQuotedNameInAnyLetterCaseIsReportedAndLogged) {
    scratch_directory scratch;
    captured_log log(scratch);
    CFileTransfer transfer;
    reports seen;
    record_reports(transfer, seen);
    fetch_text(transfer,
               sample_url(100, "disposition=attachment%3B%20FILENAME%3D%22report.txt%22"));
    fetch_text(transfer, sample_url(100, "disposition=inline%3B%20filename%3D%22data.bin%22"));
    EXPECT_EQ(seen.names, (std::vector<std::string>{"report.txt", "data.bin"}));
    EXPECT_NE(log.text().find("CFileTransfere report_filename: report.txt"), std::string::npos);
}

TEST(ContentDisposition, ANameWithoutClosingQuoteIsNotReported) {
    CFileTransfer transfer;
    reports seen;
    record_reports(transfer, seen);
    fetch_text(transfer, sample_url(100, "disposition=attachment%3B%20filename%3D%22report.txt"));
    fetch_text(transfer, sample_url(100, "disposition=attachment%3B%20filename%3Dreport.txt"));
    EXPECT_TRUE(seen.names.empty());
}

TEST(ContentDisposition, TheNameIsLoggedWithoutACallbackToo) {
    scratch_directory scratch;
    captured_log log(scratch);
    CFileTransfer transfer;
    fetch_text(transfer, sample_url(100, "disposition=attachment%3B%20filename%3D%22plain.txt%22"));
    EXPECT_NE(log.text().find("CFileTransfere report_filename: plain.txt"), std::string::npos);
}

TEST(Reports, SizeOnceAndProgressBeforeEveryChunkOf64KiBAtMostAndOnceAfter) {
    CFileTransfer transfer;
    reports seen;
    record_reports(transfer, seen);
    EXPECT_EQ(fetch_text(transfer, sample_url(100000)), sample_content(100000));
    EXPECT_EQ(seen.sizes, std::vector<std::int64_t>{100000});
    ASSERT_GE(seen.progress.size(), 3u);
    EXPECT_EQ(seen.progress.front(), 0);
    EXPECT_EQ(seen.progress.back(), 100000);
    for (size_t i = 1; i < seen.progress.size(); ++i)
        EXPECT_LE(seen.progress[i] - seen.progress[i - 1], file_transfer::read_chunk_size);
}

TEST(Reports, AResumedDownloadReportsTheWholeSizeAndStartsAtItsOffset) {
    scratch_directory scratch;
    const std::string path = scratch.file("resume.bin");
    write_bytes(path, sample_content(4096));
    CFileTransfer transfer;
    reports seen;
    record_reports(transfer, seen);
    transfer.download_file(sample_url(10000).c_str(), path.c_str(), false, false);
    EXPECT_EQ(seen.sizes, std::vector<std::int64_t>{10000});
    EXPECT_EQ(seen.progress.front(), 4064);
    EXPECT_EQ(seen.progress.back(), 10000);
}

TEST(Reports, ABodyWithoutLengthIsReadToItsEndWithoutASizeReport) {
    CFileTransfer transfer;
    reports seen;
    record_reports(transfer, seen);
    EXPECT_EQ(fetch_text(transfer, sample_url(10000, "length=none")), sample_content(10000));
    EXPECT_TRUE(seen.sizes.empty());
    EXPECT_EQ(seen.progress.back(), 10000);
}

TEST(Reports, ReplacedCallbacksAreDestroyedBySetCallbacks) {
    CFileTransfer transfer;
    auto token = std::make_shared<int>(0);
    set_callbacks(
        transfer, [token](long) {}, nullptr, nullptr);
    EXPECT_EQ(token.use_count(), 2);
    set_callbacks(transfer, nullptr, nullptr, nullptr);
    EXPECT_EQ(token.use_count(), 1);
}
