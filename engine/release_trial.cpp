#include "release_trial.h"

#include <array>
#include <charconv>
#include <utility>

namespace {

constexpr std::string_view header = "quillomark trial 1";
constexpr std::string_view watch_prefix = "watch=";
constexpr std::array<std::pair<trial_state::phase, std::string_view>, 3> phase_words = {{
    {trial_state::phase::installing, "installing"},
    {trial_state::phase::healthy, "healthy"},
    {trial_state::phase::restoring, "restoring"},
}};

// A whole number of decimal digits alone, without sign or leading zero.
std::optional<std::int32_t> number_of(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text[0] == '-' || text[0] == '+' || (text[0] == '0' && text.size() > 1) ||
        error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The value of the line "<word> <value>" at the start of `text`, which moves past it.
std::optional<std::string_view> take_line(std::string_view& text, std::string_view word) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || !text.starts_with(word) || text.size() <= word.size() ||
        text[word.size()] != ' ')
        return std::nullopt;
    const std::string_view value = text.substr(word.size() + 1, end - word.size() - 1);
    text.remove_prefix(end + 1);
    return value;
}

std::optional<trial_state::phase> phase_named(std::string_view word) {
    for (const auto& [phase, name] : phase_words)
        if (name == word)
            return phase;
    return std::nullopt;
}

std::string_view phase_word(trial_state::phase phase) {
    for (const auto& [known, name] : phase_words)
        if (known == phase)
            return name;
    return {};
}

} // namespace

std::optional<health_check> parse_health_way(std::string_view text) {
    if (text == "confirm")
        return health_check{health_check::way::confirm};
    if (!text.starts_with(watch_prefix))
        return std::nullopt;
    const auto seconds = number_of(text.substr(watch_prefix.size()));
    if (!seconds || *seconds < shortest_watch_seconds || *seconds > longest_watch_seconds)
        return std::nullopt;
    return health_check{health_check::way::watch, *seconds};
}

std::optional<int> parse_health_tries(std::string_view text) {
    const auto tries = number_of(text);
    if (!tries || *tries < 1 || *tries > most_health_tries)
        return std::nullopt;
    return *tries;
}

std::string health_way_text(const health_check& health) {
    switch (health.how) {
    case health_check::way::confirm:
        return "confirm";
    case health_check::way::watch:
        return std::string(watch_prefix) + std::to_string(health.watch_seconds);
    case health_check::way::off:
        break;
    }
    return {};
}

std::string format_trial_state(const trial_state& trial) {
    return std::string(header) + "\nversion " + std::to_string(trial.version) + "\nprevious " +
           std::to_string(trial.previous) + "\ntries " + std::to_string(trial.tries) + "\nstate " +
           std::string(phase_word(trial.state)) + "\nstartapp " + trial.previous_start_app + "\n";
}

std::optional<trial_state> parse_trial_state(std::string_view text) {
    if (!text.starts_with(std::string(header) + "\n"))
        return std::nullopt;
    text.remove_prefix(header.size() + 1);
    const auto version = take_line(text, "version");
    const auto previous = take_line(text, "previous");
    const auto tries = take_line(text, "tries");
    const auto state = take_line(text, "state");
    const auto start_app = take_line(text, "startapp");
    if (!version || !previous || !tries || !state || !start_app || !text.empty())
        return std::nullopt;
    const auto version_number = number_of(*version);
    const auto previous_number = number_of(*previous);
    const auto tries_number = number_of(*tries);
    const auto phase = phase_named(*state);
    if (!version_number || !previous_number || !tries_number || !phase)
        return std::nullopt;
    return trial_state{*version_number, *previous_number, *tries_number, *phase,
                       std::string(*start_app)};
}

trial_start start_trial(const std::optional<trial_state>& found, std::int32_t installed,
                        std::int32_t target, const std::string& installed_start_app) {
    const bool goes_on = found && found->state == trial_state::phase::installing &&
                         found->previous == installed && found->version != installed;
    return {trial_state{target, installed, 0, trial_state::phase::installing,
                        goes_on ? found->previous_start_app : installed_start_app},
            !goes_on};
}

trial_step step_at_start(const std::optional<trial_state>& found, std::int32_t installed,
                         const health_check& health) {
    if (!found)
        return trial_step::none;
    if (found->state == trial_state::phase::restoring)
        return trial_step::restore;
    if (found->state == trial_state::phase::healthy || health.how == health_check::way::off)
        return trial_step::clean_up;
    if (found->version != installed)
        return trial_step::go_on;
    return found->tries >= health.tries ? trial_step::restore : trial_step::go_on;
}

std::string format_refused_version(std::int32_t version) {
    return std::to_string(version) + "\n";
}

std::optional<std::int32_t> parse_refused_version(std::string_view text) {
    if (!text.ends_with('\n'))
        return std::nullopt;
    text.remove_suffix(1);
    return number_of(text);
}
