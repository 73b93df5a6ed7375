#pragma once
// Every text the user can see (window texts, errors, the setup's and the removal's
// questions) by its id, from one table per language: resources/texts/<language>.txt,
// built into the program, or a table of the publisher's own stamped into the
// launcher. Log lines and records never take their words from here.
//
// A table is UTF-8 text (a byte order mark may begin it), one "id=text" a line;
// empty lines and lines that start with "#" are skipped. In a text, \n is a line break and \\ a
// backslash; %s stands for a name or a text, %d for a number and %% for a percent sign. Every table
// holds every id, each with the placeholders of the Estonian table, in the same order.
//
// Portable: the launcher reads the tables, the publisher checks a publisher's table.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#define QM_TEXT_IDS(X)                                                                             \
    X(progress_info)                                                                               \
    X(notes_button)                                                                                \
    X(cancel_button)                                                                               \
    X(notes_caption)                                                                               \
    X(ok_button)                                                                                   \
    X(error_title)                                                                                 \
    X(byte_count)                                                                                  \
    X(checking_version)                                                                            \
    X(downloading_control_file)                                                                    \
    X(master_record_failed)                                                                        \
    X(version_failed)                                                                              \
    X(version_record_failed)                                                                       \
    X(version_record_refused)                                                                      \
    X(no_updates)                                                                                  \
    X(patch_sets_failed)                                                                           \
    X(update_failed_title)                                                                         \
    X(updating_files)                                                                              \
    X(checking_file)                                                                               \
    X(patching_file)                                                                               \
    X(downloading_file)                                                                            \
    X(files_updated)                                                                               \
    X(done)                                                                                        \
    X(release_restored)                                                                            \
    X(launcher_update)                                                                             \
    X(launcher_update_failed)                                                                      \
    X(unpack_failed)                                                                               \
    X(digest_mismatch)                                                                             \
    X(copy_failed)                                                                                 \
    X(download_failed)                                                                             \
    X(update_failed)                                                                               \
    X(setup_failed)                                                                                \
    X(removal_question)                                                                            \
    X(removal_entry_left)                                                                          \
    X(removal_file_in_use)                                                                         \
    X(removal_busy)                                                                                \
    X(removal_done)                                                                                \
    X(removal_done_files_left)                                                                     \
    X(proxy_sign_in_wanted)                                                                        \
    X(sample_caption)                                                                              \
    X(sample_version)                                                                              \
    X(sample_update_prepared)

#define QM_TEXT_ENUMERATOR(name) name,
enum class text_id : std::size_t { QM_TEXT_IDS(QM_TEXT_ENUMERATOR) };
#undef QM_TEXT_ENUMERATOR

#define QM_TEXT_COUNT(name) +1
constexpr std::size_t text_count = 0 QM_TEXT_IDS(QM_TEXT_COUNT);
#undef QM_TEXT_COUNT

std::string_view text_name(text_id id);
std::optional<text_id> text_id_named(std::string_view name);

// The texts of one language, each as shown (escapes resolved).
struct text_table {
    std::array<std::string, text_count> texts;
    const std::string& operator[](text_id id) const { return texts[static_cast<std::size_t>(id)]; }
    std::string& operator[](text_id id) { return texts[static_cast<std::size_t>(id)]; }
    bool operator==(const text_table&) const = default;
};

// The table parsed, or why it cannot be used: `fault` names the line ("line 12: ...").
struct parsed_text_table {
    std::optional<text_table> table;
    std::string fault;
};

// A whole table: every id once, none unknown, each text with its id's placeholders.
parsed_text_table parse_text_table(std::string_view file);

// The languages built in ("et" first, the default) and their tables.
constexpr std::array<std::string_view, 2> builtin_languages = {"et", "en"};
constexpr std::string_view default_language = "et";
const text_table* builtin_text_table(std::string_view language);

// One text as a table line holds it, and back; unescape_text gives nothing for a
// backslash that is not followed by n or another backslash.
std::string escape_text(std::string_view text);
std::optional<std::string> unescape_text(std::string_view escaped);

// Why `text` cannot stand for `id`, or nothing: a "%" that is not %s, %d or %%, or
// placeholders that differ in number, kind or order from the Estonian text's.
std::optional<std::string> text_fault(text_id id, std::string_view text);

// `pattern` with its %s and %d replaced by `arguments` in order and %% by %.
std::string format_text(std::string_view pattern, std::span<const std::string_view> arguments);

// The table the program shows its texts from: the Estonian one until use_text_table
// is called, which happens once at the start, before any other thread runs.
void use_text_table(const text_table& table);
const std::string& ui_text(text_id id);
std::string ui_text(text_id id, std::initializer_list<std::string_view> arguments);
