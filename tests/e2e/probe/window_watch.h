#pragma once
// Follows the progress window of one process from outside, and the top-level
// windows of every process of its job (message boxes among them): a thread of its own
// reads the title (1003), info (1001) and byte (1002) lines, the bar (1000, kept as
// decimal text), the state of button 1006 ("enabled" or "disabled") and the notes
// windows every few milliseconds, records every
// distinct text in order, and wakes the waiting commands when something changes.
// Polling, because Wine 8 delivers no EVENT_OBJECT_NAMECHANGE or VALUECHANGE to an
// out-of-context WinEvent hook in another process (only EVENT_OBJECT_CREATE); a
// text that shows for less than the interval may therefore be missed.

#include "win_handles.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

inline constexpr int title_id = 1003;
inline constexpr int info_id = 1001;
inline constexpr int bytes_id = 1002;
inline constexpr int bar_id = 1000;
inline constexpr int notes_button_id = 1006;
inline constexpr int notes_edit_id = 1007;

struct window_view {
    bool exists = false;
    std::string title;
    std::string info;
    std::string bytes;
    int bar = 0;
    bool notes_button_enabled = false;
    std::vector<std::string> notes; // texts of the visible notes windows, topmost first
    bool minimized = false;
    bool foreground = false;
};

struct window_history {
    std::map<int, std::vector<std::string>> texts; // distinct successive texts per control
    std::vector<std::string> notes_seen;           // text of every notes window seen
    size_t notes_visible = 0;                      // notes windows visible now
    bool window_seen = false;
    bool window_gone = false;
    long samples = 0; // polling rounds since the process was started
    // "class: caption" of every top-level window of the job seen visible, in order.
    std::vector<std::string> visible_windows;
};

// A message box of a process of the job: its caption and its text.
struct message_view {
    std::string caption;
    std::string text;
};

enum class text_match { exact, prefix };

// A static control's text against its rectangle: the size the text needs, drawn as
// the control draws it.
struct static_text_fit {
    int id;
    std::string text;
    SIZE client;
    SIZE needed;
};

// The progress window on the screen, in pixels, at its DPI.
struct window_layout {
    UINT dpi;
    RECT window;
    std::vector<static_text_fit> statics;
};

// Measures the visible static controls of the window, made from dialog template
// `template_id` of its program.
window_layout measure_layout(HWND window, int template_id);

// What screen readers learn of the progress bar (1000): the name oleacc gives it, and
// the text of the static control just before it, whose text Windows' oleacc takes
// as the name of a control without a text of its own.
struct bar_names {
    std::string accessible;
    std::string label;
};

bar_names read_bar_names(HWND window);

class window_watch {
  public:
    window_watch();
    ~window_watch();
    window_watch(const window_watch&) = delete;
    window_watch& operator=(const window_watch&) = delete;

    // Forgets what was recorded and follows the windows of this process, and of
    // every process of its job, from now on.
    void follow(DWORD process_id, kernel_handle job);
    bool wait_window(std::chrono::milliseconds timeout);
    // Waits until the control has shown a matching text; returns that text.
    std::optional<std::string> wait_text(int id, const std::string& wanted, text_match match,
                                         std::chrono::milliseconds timeout);
    // Waits until exactly this many notes windows are visible.
    bool wait_notes(size_t count, std::chrono::milliseconds timeout);
    bool wait_gone(std::chrono::milliseconds timeout);
    window_view read();
    window_history history();
    HWND progress_window();
    // The topmost visible notes window, or null.
    HWND notes_window();
    // Waits until a process of the job shows a message box that was not answered.
    std::optional<message_view> wait_message(std::chrono::milliseconds timeout);
    // The message box last seen, unless answered; marks it answered.
    HWND answer_message_box();

  private:
    void run() noexcept;

    window_view sample();
    void sample_job_windows();
    // The message box last seen while it is there and not answered; under lock_.
    HWND unanswered_box() const;
    void record(int id, const std::string& text);
    void record_notes(const std::vector<HWND>& windows, const std::vector<std::string>& texts);
    HWND find_progress_window();
    std::vector<HWND> visible_notes_windows(HWND owner) const;
    template <typename Predicate>
    bool wait_for(std::chrono::milliseconds timeout, Predicate predicate);

    std::mutex lock_;
    // The watcher and the commands both sample: one sample at a time, so that an
    // older reading is never recorded after a newer one.
    std::mutex sampling_;
    std::condition_variable changed_;
    DWORD process_id_ = 0;
    std::shared_ptr<kernel_handle> job_;
    std::vector<HWND> windows_seen_;
    HWND message_box_ = nullptr;
    std::vector<HWND> answered_;
    HWND progress_ = nullptr;
    std::vector<HWND> notes_known_;
    window_history history_;
    DWORD thread_id_ = 0;
    std::thread thread_;
};
