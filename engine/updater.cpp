// CUpdater: construction, start, shut-down, the posting operations and the run.

#include "update_engine.h"

#include "installation_layout.h"
#include "logfile.h"
#include "own_resource.h"
#include "updater_ui.h"
#include "utf8.h"

namespace {

// How often the completion waiter reports progress.
constexpr std::chrono::milliseconds poll_interval{200};

// The last percentage posted by anyone in this process; it only suppresses repeats.
std::atomic<unsigned> last_posted_percentage{0};

} // namespace

unsigned progress_percentage(std::size_t done, std::uint32_t total) {
    return total == 0 ? 0 : static_cast<unsigned>(done * 100u / total);
}

CUpdater::CUpdater()
    : window(progress_window),
      local_info(version_info::standard_magic, version_info::standard_format),
      remote_info(version_info::standard_magic, version_info::standard_format),
      patch_set(version_info::standard_magic, version_info::standard_format) {
    for (auto& worker : workers)
        worker = std::make_shared<CUpdateThread>(this);
}

CUpdater::~CUpdater() {
    shut_down();
}

void CUpdater::shut_down() {
    request_abort();
    end_transfers();
    stop_workers();
    join_run_thread();
}

void CUpdater::trust(const launcher_config& settings) {
    release_key_hex = settings.release_key_hex;
    release_product = settings.product;
    health = settings.health;
}

void CUpdater::start(const std::string& url) {
    start_at(url, own_executable_path());
}

void CUpdater::start_at(const std::string& url, const std::wstring& executable_path) {
    set_paths(url, executable_path);
    const std::lock_guard guard(updater_lock);
    run_thread = std::make_shared<std::thread>([this] {
        try {
            run();
        } catch (...) {
            log_error("Update run ended by an unexpected error");
        }
        end_thread(false);
    });
}

void CUpdater::set_paths(const std::string& url, const std::wstring& executable_path) {
    base_url = url;
    const std::size_t last_backslash = executable_path.rfind(L'\\');
    if (last_backslash != std::wstring::npos) {
        install_dir = wide_to_utf8(executable_path.substr(0, last_backslash));
        temp_dir = install_dir + "\\" + work_directory_name;
        kept = std::make_unique<kept_version>(install_dir, pause_unless_aborted());
        launcher_name = wide_to_utf8(executable_path.substr(last_backslash + 1));
    }
}

bool CUpdater::is_launcher_record(const file_info& record) const {
    return is_launcher_name(record.name);
}

bool CUpdater::is_launcher_name(const std::string& release_name) const {
    const std::wstring name = utf8_to_wide(release_name);
    const std::wstring launcher = utf8_to_wide(launcher_name);
    return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), launcher.c_str(),
                                static_cast<int>(launcher.size()), TRUE) == CSTR_EQUAL;
}

void CUpdater::request_abort() {
    wake(false);
}

void CUpdater::wake(bool files_done) {
    {
        const std::lock_guard guard(wake_lock);
        if (files_done)
            every_file_done = true;
        else
            abort_requested = true;
    }
    wake_signal.notify_all();
}

void CUpdater::end_transfers() {
    control_transfer.shut_down();
    for (const auto& worker : workers)
        if (worker)
            worker->end_transfer();
}

void CUpdater::stop_workers() {
    for (const auto& worker : workers)
        if (worker)
            worker->stop();
}

void CUpdater::join_run_thread() {
    for (;;) {
        std::shared_ptr<std::thread> thread;
        {
            const std::lock_guard guard(updater_lock);
            thread = std::move(run_thread);
            if (!thread && !retired_threads.empty()) {
                thread = retired_threads.back();
                retired_threads.pop_back();
            }
        }
        if (!thread)
            return;
        if (thread->joinable() && thread->get_id() != std::this_thread::get_id())
            thread->join();
    }
}

// Hands the slot from the run to the completion waiter. The run's own thread is
// kept to be joined at shut-down, and no waiter starts once shut-down has begun,
// so the engine is never destroyed under a running thread.
void CUpdater::retire_run_thread_and_start_waiter() {
    const std::lock_guard guard(updater_lock);
    if (run_thread)
        retired_threads.push_back(std::move(run_thread));
    if (abort_requested)
        return;
    waiter_started = true;
    run_thread = std::make_shared<std::thread>([this] {
        try {
            wait_for_completion();
        } catch (...) {
            report_unexpected_error("Completion", nullptr);
        }
        end_thread(true);
    });
}

// The run hands over to the waiter, or ends the engine's work itself.
void CUpdater::end_thread(bool waiter) {
    bool last;
    {
        const std::lock_guard guard(updater_lock);
        last = waiter || !waiter_started;
    }
    if (last)
        PostMessageW(window, UM_RUN_ENDED, 0, 0);
}

bool CUpdater::sleep_unless_aborted(std::chrono::milliseconds duration) {
    std::unique_lock lock(wake_lock);
    return wake_signal.wait_for(lock, duration, [this] { return abort_requested.load(); });
}

held_file_wait CUpdater::pause_unless_aborted() {
    return [this](std::chrono::milliseconds pause) { return !sleep_unless_aborted(pause); };
}

void CUpdater::wait_for_next_poll() {
    std::unique_lock lock(wake_lock);
    wake_signal.wait_for(lock, poll_interval,
                         [this] { return abort_requested || every_file_done; });
}

void CUpdater::set_info_text(const std::string& text) {
    const std::lock_guard guard(text_lock);
    info_text = text;
    if (error_text.empty())
        post_string(window, UM_SET_INFO, text);
}

void CUpdater::set_title_text(const std::string& text) {
    const std::lock_guard guard(text_lock);
    title_text = text;
    if (error_text.empty())
        post_string(window, UM_SET_TITLE, text);
}

void CUpdater::publish_release_notes(const std::string& text, bool show_now) {
    release_notes_text = text;
    PostMessageW(window, UM_RELEASE_NOTES, reinterpret_cast<WPARAM>(release_notes_text.c_str()),
                 show_now ? 1 : 0);
}

void CUpdater::report_error(const std::string& text, LPARAM string_id) {
    {
        const std::lock_guard guard(text_lock);
        if (!error_text.empty())
            return;
        error_text = text;
        PostMessageW(window, UM_ERROR, reinterpret_cast<WPARAM>(error_text.c_str()), string_id);
    }
    request_abort();
}

bool CUpdater::error_reported() {
    const std::lock_guard guard(text_lock);
    return !error_text.empty();
}

void CUpdater::post_progress(unsigned percentage) {
    if (last_posted_percentage.exchange(percentage) != percentage)
        PostMessageW(window, UM_PROGRESS, percentage, 0);
}
