// The file phase against the test server: the patch route and its fall-back to the
// whole file, patch mode switching off, containers, and failures that must leave
// the installed file as it was.

#include "message_window.h"
#include "scratch.h"
#include "update_engine.h"

#include "file_info.h"
#include "logfile.h"
#include "md5.h"
#include "utf8.h"
#include "win_handles.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string sample(const std::string& name) {
    return read_bytes(environment("QM_FILE_UPDATE_SAMPLES") + "/" + name);
}

std::string server_base_url() {
    std::istringstream ports(read_bytes(environment("QM_TRANSFER_SERVER") + "/ports"));
    int port = 0;
    ports >> port;
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

file_info record_of(const std::string& name, const std::string& content, std::uint8_t flags = 0) {
    file_info record{name, static_cast<std::uint32_t>(content.size()), flags, {}};
    md5_context context;
    md5_init(context);
    md5_update(context, content.data(), content.size());
    md5_final(context, record.digest.data());
    return record;
}

// The engine, whose finishing work a test can make throw as an allocation failure
// would, hold back for one file until something has happened, or follow for one
// file by what a patch tool that another launcher left running writes at its end:
// its output, renamed onto the name it was given, the download's with ".new".
class updater_under_test : public CUpdater {
  public:
    std::string throwing_work;
    std::string followed_by_another_process;
    std::string held_back_work;
    std::function<bool()> releases_held_back_work;

    bool work_begun_for(const std::string& name) {
        const std::lock_guard guard(begun_lock);
        return std::find(begun.begin(), begun.end(), name) != begun.end();
    }

  protected:
    finishing_line::finish_step finish_download(file_info& entry, const entry_paths& paths,
                                                held_file_pauses pauses) override {
        {
            const std::lock_guard guard(begun_lock);
            begun.push_back(entry.name);
        }
        if (entry.name == held_back_work)
            wait_until(releases_held_back_work);
        if (entry.name == throwing_work)
            throw std::bad_alloc();
        finishing_line::finish_step finish = CUpdater::finish_download(entry, paths, pauses);
        if (entry.name == followed_by_another_process)
            write_bytes(paths.work + ".new", "another process's file");
        return finish;
    }

  private:
    static void wait_until(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::mutex begun_lock;
    std::vector<std::string> begun;
};

class FileUpdate : public ::testing::Test {
  protected:
    FileUpdate() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        served_prefix = std::string(test->name()) + "-";
        std::replace(served_prefix.begin(), served_prefix.end(), '/', '_');
        updater.install_dir = scratch.file("install");
        updater.temp_dir = updater.install_dir + "\\Temp";
        updater.launcher_name = "quillomark.exe";
        updater.file_base_url = server_base_url() + served_prefix + "f-";
        updater.patch_base_url = server_base_url() + served_prefix + "p-";
        updater.version_number = 2;
        std::filesystem::create_directories(utf8_path(updater.temp_dir));
        std::filesystem::copy_file(environment("QM_BUILD_DIR") + "/patchtool/bspatch.exe",
                                   utf8_path(updater.temp_dir + "\\bspatch.exe"));
        log_open(scratch.file("ezo.log"));
    }
    ~FileUpdate() override { log_open(""); }

    void install(const std::string& name, const std::string& content) {
        write_bytes(installed_path(name), content);
    }
    std::string installed(const std::string& name) { return read_bytes(installed_path(name)); }
    std::string installed_path(const std::string& name) {
        return updater.install_dir + "\\" + name;
    }

    // A file of the new version, served whole (plain or as the given container).
    void offer(const std::string& name, const std::string& content, const std::string& served,
               std::uint8_t flags = 0) {
        serve("f-" + name, served);
        updater.remote_info.files.push_back(
            std::make_unique<file_info>(record_of(name, content, flags)));
    }
    void offer(const std::string& name, const std::string& content) {
        offer(name, content, content);
    }
    // A patch for the file; its record lists `listed` as the patch's content.
    void offer_patch(const std::string& name, const std::string& patch, const std::string& listed) {
        serve("p-" + name, patch);
        updater.patch_set.files.push_back(std::make_unique<file_info>(record_of(name, listed)));
        updater.patch_set.version = updater.version_number;
    }
    void serve(const std::string& name, const std::string& content) {
        write_bytes(environment("QM_TRANSFER_SERVER") + "/root/" + served_prefix + name, content);
    }

    void queue_files() {
        for (const auto& record : updater.remote_info.files)
            updater.pending_files.push_back(record.get());
        updater.total_files = static_cast<std::uint32_t>(updater.pending_files.size());
    }
    void run_file_phase() {
        queue_files();
        CFileTransfer transfer;
        updater.update_files(&transfer);
    }
    std::string log_text() { return read_bytes(scratch.file("ezo.log")); }

    scratch_directory scratch;
    std::string served_prefix;
    message_window window;
    updater_under_test updater;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(FileUpdate, PatchModeEndsAtTheFirstFailedPatchAndEveryFileStillArrives) {
    for (const char* name : {"A", "B", "C", "D"}) {
        install(name, sample(std::string(name) + ".old"));
        offer(name, sample(std::string(name) + ".new"));
    }
    offer("E", sample("E.new"), sample("E.lzma"), file_info::lzma_container_flag);
    offer("current.txt", "already here");
    install("current.txt", "already here");
    offer_patch("A", sample("A.patch"), sample("A.patch"));
    offer_patch("C", sample("C.patch"), "not the patch that is served");
    offer_patch("D", sample("D.patch"), sample("D.patch"));

    run_file_phase();

    for (const char* name : {"A", "B", "C", "D", "E"})
        EXPECT_EQ(installed(name), sample(std::string(name) + ".new")) << name;
    EXPECT_EQ(updater.done_files.size(), 6u);
    EXPECT_EQ(updater.patch_set.version, 0);
    EXPECT_TRUE(updater.error_text.empty());
    const std::string log = log_text();
    EXPECT_TRUE(contains(log, "Patch: successful " + installed_path("A")));
    EXPECT_TRUE(contains(log, "Downloading: " + updater.file_base_url + "B"));
    EXPECT_TRUE(contains(log, "Patch:C Hash Failed"));
    EXPECT_TRUE(contains(log, "Downloading: " + updater.file_base_url + "C"));
    EXPECT_FALSE(contains(log, "Patch: successful " + installed_path("D")));
    EXPECT_TRUE(contains(log, "Downloading: " + updater.file_base_url + "D"));
    EXPECT_TRUE(contains(log, "current.txt Local version ok -> Continue"));
}

TEST_F(FileUpdate, AnEmptyOrMissingInstalledFileIsNeverPatched) {
    install("A", "");
    offer("A", sample("A.new"));
    offer("B", sample("B.new"));
    offer_patch("A", sample("A.patch"), sample("A.patch"));
    offer_patch("B", sample("B.patch"), sample("B.patch"));
    run_file_phase();
    EXPECT_EQ(installed("A"), sample("A.new"));
    EXPECT_EQ(installed("B"), sample("B.new"));
    EXPECT_FALSE(contains(log_text(), "Patch:"));
    EXPECT_EQ(updater.patch_set.version, updater.version_number);
}

struct whole_file_failure {
    const char* what;
    std::string listed;
    std::string served;
    std::uint8_t flags;
    LPARAM string_id;
    const char* error_text;
    bool work_throws = false;
};

class WholeFileFailure : public FileUpdate,
                         public ::testing::WithParamInterface<whole_file_failure> {};

// The second of three files fails while all three may be worked on at once, and
// before the first is worked on to its end: on a line two files wide, the third
// file's work begins once the second's has ended, and only then does the first's
// end. The first is installed, the third is dropped, and the error is the second's.
TEST_P(WholeFileFailure, LeavesTheInstalledFileAndReportsTheFirstError) {
    const whole_file_failure& failure = GetParam();
    _putenv_s(finishing_line::width_variable, "2");
    updater.held_back_work = "first.bin";
    updater.releases_held_back_work = [this] { return updater.work_begun_for("later.bin"); };
    if (failure.work_throws)
        updater.throwing_work = "data.bin";
    install("data.bin", "the old content");
    offer("first.bin", sample("E.new"), sample("E.lzma"), file_info::lzma_container_flag);
    offer("data.bin", failure.listed, failure.served, failure.flags);
    offer("later.bin", "never installed");
    run_file_phase();
    _putenv_s(finishing_line::width_variable, "");
    EXPECT_EQ(installed("first.bin"), sample("E.new"));
    EXPECT_EQ(installed("data.bin"), "the old content");
    EXPECT_FALSE(std::filesystem::exists(utf8_path(installed_path("later.bin"))));
    EXPECT_EQ(updater.error_text, failure.error_text);
    EXPECT_TRUE(updater.aborted());
    EXPECT_EQ(updater.done_files.size(), 1u);
    const auto messages = window.take();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().message, UM_ERROR);
    EXPECT_EQ(messages.back().lparam, failure.string_id);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, WholeFileFailure,
    ::testing::Values(whole_file_failure{"PlainWithWrongDigest", "the new content", "other bytes",
                                         0, IDS_HASH_MISMATCH,
                                         "Uuendatud faili hash ei vasta serveri versioonile!"},
                      whole_file_failure{"ContainerWithWrongDigest", "the new content",
                                         sample("E.lzma"), file_info::lzma_container_flag,
                                         IDS_HASH_MISMATCH,
                                         "Uuendatud faili hash ei vasta serveri versioonile!"},
                      whole_file_failure{"BrokenContainer", sample("E.new"), sample("E.broken"),
                                         file_info::lzma_container_flag, IDS_UNPACK_FAILED,
                                         "Viga faili lahtipakkimisel"},
                      whole_file_failure{"ThrowingWork", "the new content", "the new content", 0,
                                         IDS_DOWNLOAD_FAILED,
                                         "Downloading of required file data.bin failed!", true}),
    [](const auto& info) { return info.param.what; });

// Staged files go into place in the records' order: the one before a file that fails
// is installed, the one behind it stays staged, although the worker took it before
// the failure was found.
TEST_F(FileUpdate, AStagedFileBehindAFailureStaysStaged) {
    const std::string prepared = updater.temp_dir + "\\prepared\\";
    std::filesystem::create_directories(utf8_path(prepared));
    const auto stage = [&](const std::string& name) {
        offer(name, "staged " + name);
        write_bytes(prepared + name, "staged " + name);
    };
    stage("early.bin");
    install("data.bin", "the old content");
    offer("data.bin", "the new content", "other bytes");
    stage("staged.bin");
    updater.held_back_work = "data.bin";
    updater.releases_held_back_work = [this] {
        const std::lock_guard guard(updater.updater_lock);
        return updater.pending_files.empty();
    };
    run_file_phase();
    EXPECT_EQ(updater.error_text, "Uuendatud faili hash ei vasta serveri versioonile!");
    EXPECT_EQ(installed("early.bin"), "staged early.bin");
    EXPECT_EQ(installed("data.bin"), "the old content");
    EXPECT_FALSE(std::filesystem::exists(utf8_path(installed_path("staged.bin"))));
    EXPECT_EQ(read_bytes(prepared + "staged.bin"), "staged staged.bin");
}

TEST_F(FileUpdate, AFileThatAnotherProcessWritesAfterTheCheckIsNeverMoved) {
    install("packed.bin", "the old content");
    offer("packed.bin", sample("E.new"), sample("E.lzma"), file_info::lzma_container_flag);
    updater.followed_by_another_process = "packed.bin";
    run_file_phase();
    EXPECT_TRUE(updater.error_text.empty());
    EXPECT_EQ(installed("packed.bin"), sample("E.new"));
}

TEST_F(FileUpdate, AMissingFileOnTheServerIsADownloadError) {
    install("data.bin", "the old content");
    updater.remote_info.files.push_back(
        std::make_unique<file_info>(record_of("data.bin", "new content")));
    run_file_phase();
    EXPECT_EQ(installed("data.bin"), "the old content");
    EXPECT_EQ(updater.error_text, "Downloading of required file data.bin failed!");
    EXPECT_TRUE(contains(log_text(), "Download failed: " + updater.file_base_url + "data.bin"));
}

// An exception that ends a finishing job (true) ends the run as a failed download of
// its file does; one that ends the worker before it took a file, as a failed update.
// The window shows the error, the completion waiter returns, nothing is installed
// and nothing is started.
class UnexpectedError : public FileUpdate, public ::testing::WithParamInterface<bool> {};

TEST_P(UnexpectedError, EndsTheRunWithAnError) {
    const bool in_finishing_job = GetParam();
    // A name that is not UTF-8 fails the worker when it looks for the launcher's record.
    const std::string name = in_finishing_job ? "data.bin" : "bad\xff.bin";
    if (in_finishing_job)
        updater.throwing_work = "data.bin";
    install("data.bin", "the old content");
    serve("f-data.bin", "the new content");
    for (const std::string& listed : {name, std::string("later.bin")})
        updater.remote_info.files.push_back(
            std::make_unique<file_info>(record_of(listed, "the new content")));
    queue_files();

    updater.workers[0]->start();
    // Joined without ending its transfer, which would fail the downloads instead.
    updater.workers[0]->CThread::stop();
    ASSERT_TRUE(updater.aborted());
    updater.wait_for_completion();

    EXPECT_EQ(updater.error_text, in_finishing_job ? "Downloading of required file data.bin failed!"
                                                   : "Viga failide uuendamisel!");
    std::vector<std::pair<UINT, LPARAM>> errors_and_starts;
    for (const posted_message& posted : window.take())
        if (posted.message == UM_ERROR || posted.message == UM_START_APP)
            errors_and_starts.emplace_back(posted.message, posted.lparam);
    EXPECT_EQ(errors_and_starts,
              (std::vector<std::pair<UINT, LPARAM>>{
                  {UM_ERROR, in_finishing_job ? IDS_DOWNLOAD_FAILED : IDS_UPDATE_FAILED}}));
    EXPECT_EQ(installed("data.bin"), "the old content");
    EXPECT_FALSE(std::filesystem::exists(utf8_path(installed_path("later.bin"))));
    EXPECT_TRUE(
        contains(log_text(), std::string(in_finishing_job ? "A finishing job" : "The file phase") +
                                 " ended by an unexpected error: "));
}

INSTANTIATE_TEST_SUITE_P(Where, UnexpectedError, ::testing::Bool(), [](const auto& info) {
    return info.param ? "InAFinishingJob" : "InTheWorker";
});

TEST_F(FileUpdate, AnEmptyFileWhoseDigestMatchesIsAccepted) {
    install("empty.txt", "something");
    offer("empty.txt", "");
    run_file_phase();
    EXPECT_TRUE(updater.error_text.empty());
    EXPECT_EQ(installed("empty.txt"), "");
}

// Windows names ignore letter case: the launcher may run under another case than
// the server lists.
TEST_F(FileUpdate, TheLaunchersOwnRecordIsCountedWithoutAnyCheckWhateverItsCase) {
    updater.launcher_name = "QuilloMark.EXE";
    for (const char* name : {"quillomark.exe", "QuilloMark.EXE"})
        updater.remote_info.files.push_back(
            std::make_unique<file_info>(record_of(name, "another launcher")));
    run_file_phase();
    EXPECT_EQ(updater.done_files.size(), 2u);
    EXPECT_TRUE(window.take().empty());
}

class HeldFile : public FileUpdate {
  protected:
    // Runs the file phase while another program holds the installed file open
    // without letting it be replaced.
    void update_while_held(const std::string& name) {
        install(name, "old content");
        const file_handle held(CreateFileW(utf8_to_wide(installed_path(name)).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        run_file_phase();
        EXPECT_EQ(installed(name), "old content");
        EXPECT_TRUE(contains(log_text(), "Replace failed: "));
    }
};

TEST_F(HeldFile, APlainFileAsksTheUserToCloseTheProgram) {
    offer("plain.txt", "new content");
    update_while_held("plain.txt");
    EXPECT_EQ(updater.error_text, "Faili ei suudetud kopeerida!");
}

TEST_F(HeldFile, AContainerAsksTheUserToCloseTheProgram) {
    offer("packed.bin", sample("E.new"), sample("E.lzma"), file_info::lzma_container_flag);
    update_while_held("packed.bin");
    EXPECT_EQ(updater.error_text, "Viga faili lahtipakkimisel");
}
