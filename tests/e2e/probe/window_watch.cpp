#include "window_watch.h"

#include "process_job.h"
#include "text.h"

#include <commctrl.h>
#include <oleacc.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace {

constexpr DWORD poll_interval_ms = 5;
constexpr UINT send_timeout_ms = 500;
// The control that holds a message box's text.
constexpr int message_text_id = 0xFFFF;

DWORD owning_process(HWND window) {
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    return process_id;
}

bool is_dialog(HWND window) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    return std::wstring(name) == L"#32770";
}

// The text as the system keeps it for a window of another process (no message sent).
// The buffer is larger than any text of the launcher: a length asked for first could
// belong to the text before a change and cut the new one short.
std::string window_text(HWND window) {
    std::wstring text(4096, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return to_utf8(text);
}

// An edit control keeps its text itself; only WM_GETTEXT reaches it.
std::string edit_text(HWND edit) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms,
                             &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, send_timeout_ms, &copied);
    text.resize(std::min<size_t>(copied, length));
    return to_utf8(text);
}

std::optional<int> bar_position(HWND bar) {
    DWORD_PTR position = 0;
    if (!SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms, &position))
        return std::nullopt;
    return static_cast<int>(position);
}

struct window_search {
    DWORD process_id;
    HWND owner;
    bool visible_only;
    std::vector<HWND> found;
};

// Top-level dialogs of a process with the given owner, in z-order.
BOOL CALLBACK collect_dialog(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<window_search*>(parameter);
    if (owning_process(window) == search.process_id && is_dialog(window) &&
        GetWindow(window, GW_OWNER) == search.owner &&
        (!search.visible_only || IsWindowVisible(window)))
        search.found.push_back(window);
    return TRUE;
}

std::vector<HWND> dialogs_of(DWORD process_id, HWND owner, bool visible_only) {
    window_search search{process_id, owner, visible_only, {}};
    EnumWindows(collect_dialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string class_of(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return to_utf8(name);
}

struct job_window_search {
    std::vector<DWORD> process_ids;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_job_window(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<job_window_search*>(parameter);
    const DWORD process_id = owning_process(window);
    if (IsWindowVisible(window) && std::find(search.process_ids.begin(), search.process_ids.end(),
                                             process_id) != search.process_ids.end())
        search.found.push_back(window);
    return TRUE;
}

bool matches(const std::string& text, const std::string& wanted, text_match match) {
    return match == text_match::exact ? text == wanted : text.starts_with(wanted);
}

// Reads the fields of a dialog template in order, never past its end.
class template_reader {
  public:
    template_reader(const BYTE* data, DWORD size) : data_(data), size_(size) {}

    // A little-endian number of one, two or four bytes.
    std::uint32_t number(DWORD bytes) {
        const BYTE* at = data_ + position_;
        skip(bytes);
        std::uint32_t value = 0;
        for (DWORD i = 0; i < bytes; ++i)
            value |= std::uint32_t{at[i]} << (8 * i);
        return value;
    }

    void skip(DWORD bytes) {
        if (size_ - position_ < bytes)
            throw std::runtime_error("the dialog template is cut short");
        position_ += bytes;
    }

    std::wstring text() {
        std::wstring read;
        for (auto unit = number(2); unit != 0; unit = number(2))
            read += static_cast<wchar_t>(unit);
        return read;
    }

    // A menu or a window class: none, a number, or a name.
    void skip_name_or_number() {
        const auto first = number(2);
        if (first == 0xFFFF)
            number(2);
        else if (first != 0)
            text();
    }

  private:
    const BYTE* data_;
    DWORD size_;
    DWORD position_ = 0;
};

// The FONT statement of a DIALOGEX template, as a font of the given DPI: the font
// the dialog manager makes from it and gives every control of the dialog.
LOGFONTW template_font(template_reader reader, UINT dpi) {
    if (reader.number(2) != 1 || reader.number(2) != 0xFFFF)
        throw std::runtime_error("not a DIALOGEX template");
    reader.skip(8); // help id, extended style
    const auto style = reader.number(4);
    reader.skip(10); // count of controls, place and size
    reader.skip_name_or_number();
    reader.skip_name_or_number();
    reader.text(); // caption
    if (!(style & DS_SETFONT))
        throw std::runtime_error("the dialog template names no font");
    LOGFONTW font{};
    font.lfHeight = -MulDiv(static_cast<int>(reader.number(2)), static_cast<int>(dpi), 72);
    font.lfWeight = static_cast<LONG>(reader.number(2));
    font.lfItalic = static_cast<BYTE>(reader.number(1));
    font.lfCharSet = static_cast<BYTE>(reader.number(1));
    const std::wstring face = reader.text();
    face.copy(font.lfFaceName, LF_FACESIZE - 1);
    return font;
}

std::wstring program_of(HWND window) {
    const kernel_handle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owning_process(window)));
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, path.data(), &size))
        throw std::runtime_error("the window's program cannot be named");
    path.resize(size);
    return path;
}

// Another process's font cannot be read (Wine answers WM_GETFONT across processes
// with nothing), so the dialog's is made again from its template.
font_handle dialog_font(HWND window, int template_id, UINT dpi) {
    const module_handle program(
        LoadLibraryExW(program_of(window).c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    const HRSRC found =
        program ? FindResourceW(program.get(), MAKEINTRESOURCEW(template_id), RT_DIALOG) : nullptr;
    const HGLOBAL loaded = found ? LoadResource(program.get(), found) : nullptr;
    if (!loaded)
        throw std::runtime_error("no dialog template " + std::to_string(template_id));
    const LOGFONTW font = template_font(
        {static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(program.get(), found)},
        dpi);
    return font_handle(CreateFontIndirectW(&font));
}

// A call the build's headers leave out (they declare Windows 7's).
template <typename Call> Call exported(HMODULE module, const char* name) {
    const FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    if (!found)
        throw std::runtime_error(std::string("no ") + name);
    return reinterpret_cast<Call>(reinterpret_cast<void*>(found));
}

// Under Wine every process is aware of the DPI: the window's rectangle is in the
// screen's pixels.
UINT dpi_of(HWND window) {
    return exported<UINT(WINAPI*)(HWND)>(GetModuleHandleW(L"user32.dll"),
                                         "GetDpiForWindow")(window);
}

bool is_static(HWND window) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    return _wcsicmp(name, L"Static") == 0;
}

// The size the text needs when drawn as a static control of this style draws it:
// broken into lines at spaces within the control's width.
SIZE needed_size(HDC context, HWND control, const std::wstring& text, LONG width) {
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    UINT format = DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK;
    if ((style & SS_TYPEMASK) == SS_CENTER)
        format |= DT_CENTER;
    if (style & SS_NOPREFIX)
        format |= DT_NOPREFIX;
    RECT drawn{0, 0, width, 0};
    DrawTextW(context, text.c_str(), static_cast<int>(text.size()), &drawn, format);
    return {drawn.right, drawn.bottom};
}

// The name a screen reader asks oleacc for.
std::string accessible_name(HWND control) {
    const module_handle oleacc(LoadLibraryW(L"oleacc.dll"));
    const auto object_from_window = exported<HRESULT(WINAPI*)(HWND, DWORD, REFIID, void**)>(
        oleacc.get(), "AccessibleObjectFromWindow");
    IAccessible* object = nullptr;
    if (FAILED(object_from_window(control, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                  reinterpret_cast<void**>(&object))))
        throw std::runtime_error("no accessible object");
    const com_ptr<IAccessible> owned(object);
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    if (FAILED(object->get_accName(self, &name)))
        throw std::runtime_error("no accessible name");
    const std::wstring text = name ? std::wstring(name, SysStringLen(name)) : std::wstring();
    SysFreeString(name);
    return to_utf8(text);
}

} // namespace

bar_names read_bar_names(HWND window) {
    const HWND bar = GetDlgItem(window, bar_id);
    const HWND before = GetWindow(bar, GW_HWNDPREV);
    return {accessible_name(bar), before && is_static(before) ? window_text(before) : ""};
}

window_layout measure_layout(HWND window, int template_id) {
    window_layout layout{dpi_of(window), {}, {}};
    GetWindowRect(window, &layout.window);
    const font_handle font = dialog_font(window, template_id, layout.dpi);
    const device_context context(CreateCompatibleDC(nullptr));
    if (!font || !context)
        throw std::runtime_error("no font or device context to measure with");
    SelectObject(context.get(), font.get());
    for (HWND control = GetWindow(window, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT)) {
        if (!is_static(control) || !IsWindowVisible(control))
            continue;
        RECT client{};
        GetClientRect(control, &client);
        const std::string text = window_text(control);
        layout.statics.push_back(
            {GetDlgCtrlID(control),
             text,
             {client.right, client.bottom},
             needed_size(context.get(), control, to_wide(text), client.right)});
    }
    return layout;
}

window_watch::window_watch() {
    std::unique_lock hold(lock_);
    thread_ = std::thread([this] { run(); });
    changed_.wait(hold, [this] { return thread_id_ != 0; });
}

window_watch::~window_watch() {
    PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    thread_.join();
}

void window_watch::follow(DWORD process_id, kernel_handle job) {
    const std::lock_guard hold(lock_);
    process_id_ = process_id;
    job_ = std::make_shared<kernel_handle>(std::move(job));
    windows_seen_.clear();
    message_box_ = nullptr;
    answered_.clear();
    progress_ = nullptr;
    notes_known_.clear();
    history_ = {};
}

void window_watch::run() noexcept {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    {
        const std::lock_guard hold(lock_);
        thread_id_ = GetCurrentThreadId();
    }
    changed_.notify_all();
    for (;;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, poll_interval_ms, QS_ALLINPUT);
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return;
        }
        try {
            sample();
        } catch (...) {
            // A failed round (out of memory) is simply repeated at the next interval.
        }
    }
}

HWND window_watch::find_progress_window() {
    DWORD process_id = 0;
    {
        const std::lock_guard hold(lock_);
        if (progress_ || process_id_ == 0)
            return progress_;
        process_id = process_id_;
    }
    // Visible only once its controls exist and WM_INITDIALOG has run. A message box
    // is a dialog too, without the title line.
    std::vector<HWND> found = dialogs_of(process_id, nullptr, true);
    std::erase_if(found, [](HWND dialog) { return !GetDlgItem(dialog, title_id); });
    const std::lock_guard hold(lock_);
    if (!found.empty() && process_id_ == process_id) {
        progress_ = found.front();
        history_.window_seen = true;
    }
    return progress_;
}

HWND window_watch::progress_window() {
    return find_progress_window();
}

std::vector<HWND> window_watch::visible_notes_windows(HWND owner) const {
    return dialogs_of(owning_process(owner), owner, true);
}

HWND window_watch::notes_window() {
    HWND progress = find_progress_window();
    if (!progress)
        return nullptr;
    const std::vector<HWND> notes = visible_notes_windows(progress);
    return notes.empty() ? nullptr : notes.front();
}

void window_watch::record(int id, const std::string& text) {
    {
        const std::lock_guard hold(lock_);
        std::vector<std::string>& texts = history_.texts[id];
        if (!texts.empty() && texts.back() == text)
            return;
        texts.push_back(text);
    }
    changed_.notify_all();
}

window_view window_watch::read() {
    return sample();
}

// Records every top-level window of the job that shows, and the message boxes.
void window_watch::sample_job_windows() {
    std::shared_ptr<kernel_handle> job;
    {
        const std::lock_guard hold(lock_);
        job = job_;
    }
    if (!job || !*job)
        return;
    job_window_search search{job_process_ids(job->get()), {}};
    EnumWindows(collect_job_window, reinterpret_cast<LPARAM>(&search));
    bool changed = false;
    {
        const std::lock_guard hold(lock_);
        for (HWND window : search.found) {
            if (std::find(windows_seen_.begin(), windows_seen_.end(), window) !=
                windows_seen_.end())
                continue;
            windows_seen_.push_back(window);
            history_.visible_windows.push_back(class_of(window) + ": " + window_text(window));
            if (is_dialog(window) && GetDlgItem(window, message_text_id))
                message_box_ = window;
            changed = true;
        }
    }
    if (changed)
        changed_.notify_all();
}

window_view window_watch::sample() {
    const std::lock_guard one_at_a_time(sampling_);
    sample_job_windows();
    window_view view;
    HWND progress = find_progress_window();
    {
        const std::lock_guard hold(lock_);
        if (process_id_ != 0)
            ++history_.samples;
        if (!progress)
            return view;
    }
    view.exists = IsWindow(progress);
    if (!view.exists) {
        {
            // A run that puts a version back after the watched start opens a window
            // of its own again: the next sample looks for it.
            const std::lock_guard hold(lock_);
            history_.window_gone = true;
            history_.notes_visible = 0;
            progress_ = nullptr;
        }
        changed_.notify_all();
        return view;
    }
    {
        const std::lock_guard hold(lock_);
        history_.window_gone = false;
    }
    view.minimized = IsIconic(progress);
    view.foreground = GetForegroundWindow() == progress;
    const HWND title = GetDlgItem(progress, title_id);
    const HWND info = GetDlgItem(progress, info_id);
    const HWND bytes = GetDlgItem(progress, bytes_id);
    const HWND bar_control = GetDlgItem(progress, bar_id);
    view.title = window_text(title);
    view.info = window_text(info);
    view.bytes = window_text(bytes);
    const std::optional<int> bar = bar_position(bar_control);
    view.notes_button_enabled = IsWindowEnabled(GetDlgItem(progress, notes_button_id));
    // Controls read while the window was being destroyed answer empty texts.
    if (!bar || !IsWindow(title) || !IsWindow(info) || !IsWindow(bytes) || !IsWindow(progress))
        return {};
    view.bar = *bar;
    record(title_id, view.title);
    record(info_id, view.info);
    record(bytes_id, view.bytes);
    record(bar_id, std::to_string(view.bar));
    record(notes_button_id, view.notes_button_enabled ? "enabled" : "disabled");
    const std::vector<HWND> notes = visible_notes_windows(progress);
    for (HWND window : notes)
        view.notes.push_back(edit_text(GetDlgItem(window, notes_edit_id)));
    record_notes(notes, view.notes);
    return view;
}

void window_watch::record_notes(const std::vector<HWND>& windows,
                                const std::vector<std::string>& texts) {
    {
        const std::lock_guard hold(lock_);
        bool changed = std::exchange(history_.notes_visible, windows.size()) != windows.size();
        for (size_t i = 0; i < windows.size(); ++i) {
            if (std::find(notes_known_.begin(), notes_known_.end(), windows[i]) !=
                notes_known_.end())
                continue;
            notes_known_.push_back(windows[i]);
            history_.notes_seen.push_back(texts[i]);
            changed = true;
        }
        if (!changed)
            return;
    }
    changed_.notify_all();
}

window_history window_watch::history() {
    sample();
    const std::lock_guard hold(lock_);
    return history_;
}

template <typename Predicate>
bool window_watch::wait_for(std::chrono::milliseconds timeout, Predicate predicate) {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, timeout, predicate);
}

bool window_watch::wait_window(std::chrono::milliseconds timeout) {
    return wait_for(timeout, [this] { return history_.window_seen; });
}

std::optional<std::string> window_watch::wait_text(int id, const std::string& wanted,
                                                   text_match match,
                                                   std::chrono::milliseconds timeout) {
    std::optional<std::string> found;
    wait_for(timeout, [&] {
        const auto shown = history_.texts.find(id);
        if (shown != history_.texts.end())
            for (const std::string& text : shown->second)
                if (matches(text, wanted, match))
                    found = text;
        return found.has_value();
    });
    return found;
}

bool window_watch::wait_notes(size_t count, std::chrono::milliseconds timeout) {
    return wait_for(timeout, [&] { return history_.notes_visible == count; });
}

bool window_watch::wait_gone(std::chrono::milliseconds timeout) {
    return wait_for(timeout, [this] { return history_.window_gone; });
}

std::optional<message_view> window_watch::wait_message(std::chrono::milliseconds timeout) {
    HWND box = nullptr;
    wait_for(timeout, [&] {
        box = unanswered_box();
        return box != nullptr;
    });
    if (!box)
        return std::nullopt;
    return message_view{window_text(box), window_text(GetDlgItem(box, message_text_id))};
}

HWND window_watch::answer_message_box() {
    const std::lock_guard hold(lock_);
    HWND box = unanswered_box();
    if (box)
        answered_.push_back(box);
    return box;
}

HWND window_watch::unanswered_box() const {
    const bool answered =
        std::find(answered_.begin(), answered_.end(), message_box_) != answered_.end();
    return message_box_ && !answered && IsWindow(message_box_) ? message_box_ : nullptr;
}
