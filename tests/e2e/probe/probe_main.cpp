// qm_probe: the end-to-end tests' hands and eyes inside Wine. It reads one command
// per line on standard input (fields separated by tabs, escapes \n \t \\) and
// answers each with one JSON line on standard output:
//
//   start CWD EXE [ARG...]      start EXE in a new job; answers its pid
//   park CWD EXE [ARG...]       create EXE suspended, in a job of its own, and keep
//                               it so until the probe ends (or "kill parked"): the
//                               state a process is left in when its creator ends
//                               inside CreateProcess
//   park-foreign CWD EXE [ARG...]
//                               park EXE as a process of another user: owned by the
//                               system, and no one may open it but to ask after it
//                               (waiting for it is denied)
//   wait-window MS              the progress window of the started process exists
//   wait-text ID MS exact|prefix TEXT
//                               control ID (1003, 1001, 1002; 1000: the bar as
//                               decimal text; 1006: "enabled" or "disabled") has
//                               shown a matching text
//   wait-notes COUNT MS         exactly COUNT notes windows are visible
//   wait-gone MS                the progress window has been destroyed
//   wait-message MS             a process of the job shows a message box; answers
//                               its caption and text
//   click-message ID [TEXT...]  click button ID (6 yes, 7 no, 1 OK, 2 Cancel) of that
//                               box, after writing the TEXTs into its edit fields in
//                               their order (a sign-in dialog's user and password)
//   read                        texts, bar, button 1006, visible notes windows,
//                               whether the window is minimized, in the foreground
//   wait-view MS FIELD VALUE... the progress window shows each field of "read" (title,
//                               info, bytes, bar, notes_button, minimized, foreground;
//                               true/false for the last three) at once; answers the view
//   minimize                    minimize the progress window
//   history                     every distinct text each control showed, in order,
//                               and every top-level window of the job seen visible
//   click ID                    click button ID of the progress window
//   key escape|enter|tab progress|notes
//                               bring the progress window (or the topmost notes
//                               window) to the front and press the key there
//   wait-focus MS progress|notes ID
//                               the launcher's keyboard focus is on control ID of
//                               that window
//   layout                      the progress window's DPI and rectangle, and each
//                               visible static control's text, size and the size its
//                               text needs in the dialog's font
//   names                       the progress bar's accessible name and the text of
//                               the static control before it
//   click-notes-ok              click OK in the topmost visible notes window
//   wait-exit MS                exit code of the started process
//   wait-idle MS                every process of the job has ended; process counts
//                               (at the deadline, the processes still running)
//   hold PATH [exclusive] / release PATH
//                               keep a file open, sharing only reading (or, with
//                               "exclusive", nothing)
//   kill launcher|job|parked    end the started process, every process of the job,
//                               or every parked program, at once (TerminateProcess,
//                               TerminateJobObject)
//   shortcut PATH               the target, arguments, working folder, description
//                               and icon of a shortcut file, read through IShellLinkW
//   folders                     the Wine user's Start menu programs folder, desktop,
//                               local application data and temporary folder
//   trust-ca PATH               add the DER certificate in PATH to the ROOT store of
//                               this Wine prefix, so that certificates it issued are
//                               trusted
//   quit                        end the probe and every process of the job
//
// Every answer has "ok"; a failed command answers "ok": false and "error".

#include "json.h"
#include "process_job.h"
#include "text.h"
#include "window_watch.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wincrypt.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using fields = std::vector<std::string>;

class probe {
  public:
    std::string answer(const fields& command);

  private:
    using handler = std::string (probe::*)(const fields&);
    static const std::map<std::string, std::pair<handler, size_t>>& commands();

    std::string start(const fields& command);
    std::string park(const fields& command);
    std::string park_foreign(const fields& command);
    std::string wait_window(const fields& command);
    std::string wait_text(const fields& command);
    std::string wait_notes(const fields& command);
    std::string wait_gone(const fields& command);
    std::string read(const fields& command);
    std::string wait_view(const fields& command);
    std::string history(const fields& command);
    std::string click(const fields& command);
    std::string key(const fields& command);
    std::string wait_focus(const fields& command);
    std::string layout(const fields& command);
    std::string names(const fields& command);
    HWND shown_progress_window();
    std::string minimize(const fields& command);
    std::string click_notes_ok(const fields& command);
    std::string wait_exit(const fields& command);
    std::string wait_idle(const fields& command);
    std::string hold(const fields& command);
    std::string release(const fields& command);
    std::string kill(const fields& command);
    std::string trust_ca(const fields& command);
    std::string wait_message(const fields& command);
    std::string click_message(const fields& command);
    std::string shortcut(const fields& command);
    std::string folders(const fields& command);

    process_job job_;
    std::vector<process_job> parked_;
    window_watch watch_;
    std::map<std::string, file_handle> held_;
};

std::chrono::milliseconds milliseconds(const std::string& field) {
    return std::chrono::milliseconds(std::stol(field));
}

json_object ok() {
    return json_object().add("ok", true);
}

json_object failure(const std::string& error) {
    return json_object().add("ok", false).add("error", error);
}

std::string failed(const std::string& error) {
    return failure(error).text();
}

std::string timed_out() {
    return failed("timeout");
}

// Quoted as CommandLineToArgvW reads it back, for arguments without quotes of their own.
std::wstring quoted(const std::string& argument) {
    return L"\"" + to_wide(argument) + L"\"";
}

// The command line of "start" and "park": every field from the program on, quoted.
std::wstring command_line(const fields& command) {
    std::wstring line = quoted(command[2]);
    for (size_t i = 3; i < command.size(); ++i)
        line += L" " + quoted(command[i]);
    return line;
}

// Posts the dialog the notification that a click of the button sends. A simulated
// mouse click (BM_CLICK) makes the button take the focus first, which under Wine
// can hold the click back for seconds while the window is not in the foreground;
// a sent notification is answered only once the launcher has shut down.
void click_button(HWND button) {
    if (!button)
        throw std::runtime_error("no such button");
    if (!IsWindowEnabled(button))
        throw std::runtime_error("disabled");
    const WPARAM clicked = MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED);
    if (!PostMessageW(GetParent(button), WM_COMMAND, clicked, reinterpret_cast<LPARAM>(button)))
        throw std::runtime_error("the click could not be posted");
}

// The progress window's dialog template.
constexpr int progress_template_id = 129;
constexpr DWORD window_poll_ms = 5;

// The control with the keyboard focus in the window's thread, else its active window.
HWND keyboard_focus(HWND window) {
    GUITHREADINFO state{};
    state.cbSize = sizeof state;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &state))
        throw std::runtime_error("the window's thread has no keyboard state");
    return state.hwndFocus ? state.hwndFocus : state.hwndActive;
}

// The launcher's dialog that holds the window.
std::string dialog_role(HWND progress, HWND window) {
    const HWND dialog = window ? GetAncestor(window, GA_ROOT) : nullptr;
    if (dialog == progress)
        return "progress";
    return dialog && GetWindow(dialog, GW_OWNER) == progress ? "notes" : "other";
}

UINT virtual_key(const std::string& name) {
    static const std::map<std::string, UINT> keys{
        {"escape", VK_ESCAPE}, {"enter", VK_RETURN}, {"tab", VK_TAB}};
    const auto found = keys.find(name);
    if (found == keys.end())
        throw std::runtime_error("no key " + name);
    return found->second;
}

// A key pressed and released, posted to the window as the keyboard driver would queue
// it: it takes the launcher's message loop and dialog manager. (Input sent to the
// display would go to whichever window is in the foreground, and the tests that run
// beside this one show windows of their own.)
void press_key(HWND target, UINT key) {
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC)) << 16 | 1;
    const LPARAM released = scan | static_cast<LPARAM>(0xC0000000u);
    if (!PostMessageW(target, WM_KEYDOWN, key, scan) ||
        !PostMessageW(target, WM_KEYUP, key, released))
        throw std::runtime_error("the key could not be posted");
}

std::string statics_json(const std::vector<static_text_fit>& statics) {
    std::string items;
    for (const static_text_fit& fit : statics) {
        if (!items.empty())
            items += ",";
        items += json_object()
                     .add("id", std::int64_t{fit.id})
                     .add("text", fit.text)
                     .add("width", std::int64_t{fit.client.cx})
                     .add("height", std::int64_t{fit.client.cy})
                     .add("needed_width", std::int64_t{fit.needed.cx})
                     .add("needed_height", std::int64_t{fit.needed.cy})
                     .text();
    }
    return "[" + items + "]";
}

// The fields of a view that wait-view compares, as texts.
std::map<std::string, std::string> view_fields(const window_view& view) {
    const auto truth = [](bool value) { return std::string(value ? "true" : "false"); };
    return {{"title", view.title},
            {"info", view.info},
            {"bytes", view.bytes},
            {"bar", std::to_string(view.bar)},
            {"notes_button", truth(view.notes_button_enabled)},
            {"minimized", truth(view.minimized)},
            {"foreground", truth(view.foreground)}};
}

bool shows(const window_view& view, const fields& command) {
    const std::map<std::string, std::string> shown = view_fields(view);
    for (size_t field = 2; field + 1 < command.size(); field += 2) {
        const auto found = shown.find(command[field]);
        if (found == shown.end())
            throw std::runtime_error("no view field " + command[field]);
        if (found->second != command[field + 1])
            return false;
    }
    return true;
}

std::string view_json(const window_view& view) {
    return json_object()
        .add("window", view.exists)
        .add("title", view.title)
        .add("info", view.info)
        .add("bytes", view.bytes)
        .add("bar", std::int64_t{view.bar})
        .add("notes_button", view.notes_button_enabled)
        .add_json("notes", json_strings(view.notes))
        .add("minimized", view.minimized)
        .add("foreground", view.foreground)
        .text();
}

} // namespace

const std::map<std::string, std::pair<probe::handler, size_t>>& probe::commands() {
    static const std::map<std::string, std::pair<handler, size_t>> table{
        {"start", {&probe::start, 3}},
        {"park", {&probe::park, 3}},
        {"park-foreign", {&probe::park_foreign, 3}},
        {"wait-window", {&probe::wait_window, 2}},
        {"wait-text", {&probe::wait_text, 5}},
        {"wait-notes", {&probe::wait_notes, 3}},
        {"wait-gone", {&probe::wait_gone, 2}},
        {"read", {&probe::read, 1}},
        {"wait-view", {&probe::wait_view, 4}},
        {"history", {&probe::history, 1}},
        {"click", {&probe::click, 2}},
        {"key", {&probe::key, 3}},
        {"wait-focus", {&probe::wait_focus, 4}},
        {"layout", {&probe::layout, 1}},
        {"names", {&probe::names, 1}},
        {"minimize", {&probe::minimize, 1}},
        {"click-notes-ok", {&probe::click_notes_ok, 1}},
        {"wait-exit", {&probe::wait_exit, 2}},
        {"wait-idle", {&probe::wait_idle, 2}},
        {"hold", {&probe::hold, 2}},
        {"release", {&probe::release, 2}},
        {"kill", {&probe::kill, 2}},
        {"trust-ca", {&probe::trust_ca, 2}},
        {"wait-message", {&probe::wait_message, 2}},
        {"click-message", {&probe::click_message, 2}},
        {"shortcut", {&probe::shortcut, 2}},
        {"folders", {&probe::folders, 1}},
    };
    return table;
}

std::string probe::answer(const fields& command) {
    const auto found = commands().find(command.front());
    if (found == commands().end())
        return failed("unknown command " + command.front());
    if (command.size() < found->second.second)
        return failed("too few fields for " + command.front());
    try {
        return (this->*found->second.first)(command);
    } catch (const std::exception& error) {
        return failed(error.what());
    }
}

std::string probe::start(const fields& command) {
    const DWORD process_id = job_.start(to_wide(command[1]), command_line(command));
    watch_.follow(process_id, job_.duplicate_job());
    return ok().add("pid", std::int64_t{process_id}).text();
}

std::string probe::park(const fields& command) {
    const DWORD process_id =
        parked_.emplace_back().start(to_wide(command[1]), command_line(command), false);
    return ok().add("pid", std::int64_t{process_id}).text();
}

std::string probe::park_foreign(const fields& command) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Wine lets the owner of a process open it whatever its list of access says.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:SYD:(A;;0x1000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr))
        return failed("ConvertStringSecurityDescriptorToSecurityDescriptorW failed with " +
                      std::to_string(GetLastError()));
    const std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);
    const DWORD process_id =
        parked_.emplace_back().start(to_wide(command[1]), command_line(command), false, descriptor);
    return ok().add("pid", std::int64_t{process_id}).text();
}

std::string probe::wait_window(const fields& command) {
    return watch_.wait_window(milliseconds(command[1])) ? ok().text() : timed_out();
}

std::string probe::wait_text(const fields& command) {
    const text_match match = command[3] == "prefix" ? text_match::prefix : text_match::exact;
    const auto found =
        watch_.wait_text(std::stoi(command[1]), command[4], match, milliseconds(command[2]));
    return found ? ok().add("text", *found).text() : timed_out();
}

std::string probe::wait_notes(const fields& command) {
    return watch_.wait_notes(std::stoul(command[1]), milliseconds(command[2])) ? ok().text()
                                                                               : timed_out();
}

std::string probe::wait_gone(const fields& command) {
    return watch_.wait_gone(milliseconds(command[1])) ? ok().text() : timed_out();
}

std::string probe::read(const fields&) {
    return ok().add_json("view", view_json(watch_.read())).text();
}

// Polled: a window's state (its place in front, above all) changes without a message
// to other processes.
std::string probe::wait_view(const fields& command) {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(command[1]);
    for (;;) {
        const window_view view = watch_.read();
        if (shows(view, command))
            return ok().add_json("view", view_json(view)).text();
        if (std::chrono::steady_clock::now() >= deadline)
            return failure("timeout").add_json("view", view_json(view)).text();
        Sleep(window_poll_ms);
    }
}

std::string probe::history(const fields&) {
    const window_history recorded = watch_.history();
    json_object texts;
    for (const auto& [id, shown] : recorded.texts)
        texts.add_json(std::to_string(id), json_strings(shown));
    return ok()
        .add_json("texts", texts.text())
        .add_json("notes_seen", json_strings(recorded.notes_seen))
        .add("window_seen", recorded.window_seen)
        .add("window_gone", recorded.window_gone)
        .add("samples", std::int64_t{recorded.samples})
        .add_json("visible_windows", json_strings(recorded.visible_windows))
        .text();
}

std::string probe::click(const fields& command) {
    HWND progress = watch_.progress_window();
    if (!progress)
        return failed("no progress window");
    click_button(GetDlgItem(progress, std::stoi(command[1])));
    return ok().text();
}

HWND probe::shown_progress_window() {
    HWND progress = watch_.progress_window();
    if (!progress)
        throw std::runtime_error("no progress window");
    return progress;
}

// The key goes to the control with the focus, as typed keys do, or to the window when
// the focus is elsewhere. The tests beside this one show windows that take the front:
// the window is brought back first, as the user's click would.
std::string probe::key(const fields& command) {
    const HWND progress = shown_progress_window();
    const HWND window = command[2] == "notes" ? watch_.notes_window() : progress;
    if (!window)
        return failed("no such window");
    SetForegroundWindow(window);
    const HWND focused = keyboard_focus(progress);
    const HWND target = focused && GetAncestor(focused, GA_ROOT) == window ? focused : window;
    press_key(target, virtual_key(command[1]));
    return ok().text();
}

// Polled: the focus moves inside the launcher's thread, which tells no other process.
std::string probe::wait_focus(const fields& command) {
    const HWND progress = shown_progress_window();
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(command[1]);
    const int control = std::stoi(command[3]);
    for (;;) {
        const HWND focused = keyboard_focus(progress);
        if (focused && dialog_role(progress, focused) == command[2] &&
            GetDlgCtrlID(focused) == control)
            return ok().text();
        if (std::chrono::steady_clock::now() >= deadline)
            return timed_out();
        Sleep(window_poll_ms);
    }
}

std::string probe::layout(const fields&) {
    const window_layout measured = measure_layout(shown_progress_window(), progress_template_id);
    const RECT& window = measured.window;
    return ok()
        .add("dpi", std::int64_t{measured.dpi})
        .add("left", std::int64_t{window.left})
        .add("top", std::int64_t{window.top})
        .add("width", std::int64_t{window.right - window.left})
        .add("height", std::int64_t{window.bottom - window.top})
        .add_json("statics", statics_json(measured.statics))
        .text();
}

std::string probe::names(const fields&) {
    const bar_names read = read_bar_names(shown_progress_window());
    return ok().add("accessible", read.accessible).add("label", read.label).text();
}

std::string probe::minimize(const fields&) {
    HWND progress = watch_.progress_window();
    if (!progress)
        return failed("no progress window");
    ShowWindow(progress, SW_MINIMIZE);
    return ok().text();
}

std::string probe::click_notes_ok(const fields&) {
    HWND notes = watch_.notes_window();
    if (!notes)
        return failed("no notes window");
    click_button(GetDlgItem(notes, IDOK));
    return ok().text();
}

std::string probe::wait_exit(const fields& command) {
    const auto code = job_.wait_exit(static_cast<DWORD>(milliseconds(command[1]).count()));
    return code ? ok().add("exit_code", std::int64_t{*code}).text() : timed_out();
}

std::string probe::wait_idle(const fields& command) {
    const bool idle = job_.wait_idle(static_cast<DWORD>(milliseconds(command[1]).count()));
    const job_counts counts = job_.counts();
    if (!idle) {
        std::vector<std::string> running;
        for (const std::wstring& process : job_.running())
            running.push_back(to_utf8(process));
        return failure("timeout")
            .add("active", std::int64_t{counts.active})
            .add_json("running", json_strings(running))
            .text();
    }
    return ok().add("processes", std::int64_t{counts.total}).text();
}

std::string probe::hold(const fields& command) {
    const DWORD sharing = command.size() > 2 && command[2] == "exclusive" ? 0 : FILE_SHARE_READ;
    file_handle file(CreateFileW(to_wide(command[1]).c_str(), GENERIC_READ, sharing, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return failed("cannot open, error " + std::to_string(GetLastError()));
    held_[command[1]] = std::move(file);
    return ok().text();
}

std::string probe::release(const fields& command) {
    return held_.erase(command[1]) ? ok().text() : failed("not held");
}

std::string probe::kill(const fields& command) {
    if (command[1] == "parked") {
        for (process_job& parked : parked_)
            parked.kill(true);
        parked_.clear();
        return ok().text();
    }
    if (command[1] != "launcher" && command[1] != "job")
        return failed("kill launcher, job or parked");
    job_.kill(command[1] == "job");
    return ok().text();
}

std::string probe::trust_ca(const fields& command) {
    std::FILE* file = _wfopen(to_wide(command[1]).c_str(), L"rb");
    if (!file)
        return failed("cannot open the certificate");
    std::vector<BYTE> der;
    for (int byte; (byte = std::fgetc(file)) != EOF;)
        der.push_back(static_cast<BYTE>(byte));
    std::fclose(file);
    if (!CertAddEncodedCertificateToSystemStoreA("ROOT", der.data(),
                                                 static_cast<DWORD>(der.size())))
        return failed("not added, error " + std::to_string(GetLastError()));
    return ok().text();
}

std::string probe::wait_message(const fields& command) {
    const auto shown = watch_.wait_message(milliseconds(command[1]));
    if (!shown)
        return timed_out();
    return ok().add("caption", shown->caption).add("text", shown->text).text();
}

namespace {

// Writes command[first...] into the box's edit fields, in their order.
void fill_edit_fields(HWND box, const fields& command, size_t first) {
    size_t next = first;
    for (HWND child = GetWindow(box, GW_CHILD); child && next < command.size();
         child = GetWindow(child, GW_HWNDNEXT)) {
        std::array<wchar_t, 16> name{};
        GetClassNameW(child, name.data(), static_cast<int>(name.size()));
        if (lstrcmpiW(name.data(), L"Edit") == 0)
            SetWindowTextW(child, to_wide(command[next++]).c_str());
    }
    if (next < command.size())
        throw std::runtime_error("the box has fewer edit fields than texts");
}

} // namespace

std::string probe::click_message(const fields& command) {
    HWND box = watch_.answer_message_box();
    if (!box)
        return failed("no message box");
    fill_edit_fields(box, command, 2);
    click_button(GetDlgItem(box, std::stoi(command[1])));
    return ok().text();
}

std::string probe::shortcut(const fields& command) {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return failed("no shell link object");
    const com_ptr<IShellLinkW> owned_link(link);
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))))
        return failed("no IPersistFile");
    const com_ptr<IPersistFile> owned_file(file);
    if (FAILED(file->Load(to_wide(command[1]).c_str(), STGM_READ)))
        return failed("not loaded");
    wchar_t target[MAX_PATH] = {}, arguments[MAX_PATH] = {}, folder[MAX_PATH] = {},
            description[MAX_PATH] = {}, icon[MAX_PATH] = {};
    int icon_index = -1;
    // The target as the shell resolves it, from the link's item list: Wine keeps the
    // path beside it only in the ANSI code page.
    PIDLIST_ABSOLUTE items = nullptr;
    if (FAILED(link->GetIDList(&items)) || !items || !SHGetPathFromIDListW(items, target))
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    CoTaskMemFree(items);
    link->GetArguments(arguments, MAX_PATH);
    link->GetWorkingDirectory(folder, MAX_PATH);
    link->GetDescription(description, MAX_PATH);
    link->GetIconLocation(icon, MAX_PATH, &icon_index);
    return ok()
        .add("target", to_utf8(target))
        .add("arguments", to_utf8(arguments))
        .add("working_folder", to_utf8(folder))
        .add("description", to_utf8(description))
        .add("icon", to_utf8(icon))
        .add("icon_index", std::int64_t{icon_index})
        .text();
}

std::string probe::folders(const fields&) {
    const auto known = [](const KNOWNFOLDERID& id) {
        wchar_t* path = nullptr;
        const bool found = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path));
        const std::string text = found ? to_utf8(path) : std::string();
        CoTaskMemFree(path);
        return text;
    };
    wchar_t temporary[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temporary);
    return ok()
        .add("programs", known(FOLDERID_Programs))
        .add("desktop", known(FOLDERID_Desktop))
        .add("local_app_data", known(FOLDERID_LocalAppData))
        .add("temp", to_utf8(temporary))
        .text();
}

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    // Asking for the desktop starts Wine's desktop process now, outside the job of
    // any program under test.
    GetDesktopWindow();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    probe instance;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const fields command = split_fields(line);
        if (command.front() == "quit")
            break;
        const std::string reply = instance.answer(command) + "\n";
        std::fwrite(reply.data(), 1, reply.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
