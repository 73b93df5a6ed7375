#include "release_trial.h"

#include <gtest/gtest.h>

namespace {

using phase = trial_state::phase;
const health_check confirm{health_check::way::confirm, 0, 2};

} // namespace

TEST(ReleaseTrial, AStateReadsBackAndAnyOtherTextIsRefused) {
    const trial_state trial{3, 2, 1, phase::restoring, "bin\\vana rakendus.exe"};
    const std::string text = format_trial_state(trial);
    EXPECT_EQ(text, "quillomark trial 1\nversion 3\nprevious 2\ntries 1\nstate restoring\n"
                    "startapp bin\\vana rakendus.exe\n");
    EXPECT_EQ(parse_trial_state(text), trial);
    for (
        const std::string& bad : {
            text.substr(0, text.size() - 1),
            text.substr(0, text.find("startapp")),
            text + "\n",
            std::string(
                "quillomark trial 1\nversion 3\nprevious 2\ntries -1\nstate healthy\nstartapp a\n"),
            std::string(
                "quillomark trial 1\nversion 03\nprevious 2\ntries 1\nstate healthy\nstartapp a\n"),
            std::string(
                "quillomark trial 1\nprevious 2\nversion 3\ntries 1\nstate healthy\nstartapp a\n"),
            std::string(
                "quillomark trial 1\nversion 3\nprevious 2\ntries 1\nstate trial\nstartapp a\n"),
        })
        EXPECT_FALSE(parse_trial_state(bad)) << bad;
    EXPECT_EQ(parse_refused_version(format_refused_version(7)), 7);
    EXPECT_FALSE(parse_refused_version("7"));
}

TEST(ReleaseTrial, TheWaysAreConfirmOrAWatchOfFiveToThreeHundredSeconds) {
    EXPECT_EQ(parse_health_way("confirm"), health_check{health_check::way::confirm});
    EXPECT_EQ(parse_health_way("watch=300")->watch_seconds, 300);
    EXPECT_EQ(health_way_text(*parse_health_way("watch=5")), "watch=5");
    for (const char* bad : {"watch=4", "watch=301", "watch=", "watch=05", "Confirm", ""})
        EXPECT_FALSE(parse_health_way(bad)) << bad;
    EXPECT_TRUE(ended_by_exception(0xC0000005u));
    EXPECT_FALSE(ended_by_exception(1) || ended_by_exception(0xBFFFFFFFu));
}

// Only the last version is kept, and a file is kept only once: an update that was cut
// off, or whose target moved on, goes on with the copies it kept.
TEST(ReleaseTrial, AnUpdateKeepsTheInstalledVersionOnceAndOnlyTheLastOne) {
    const trial_state installing{3, 2, 0, phase::installing, "vana.exe"};
    EXPECT_EQ(start_trial(std::nullopt, 2, 3, "vana.exe"), (trial_start{installing, true}));
    EXPECT_FALSE(start_trial(installing, 2, 3, "uus.exe").fresh);
    EXPECT_EQ(start_trial(installing, 2, 4, "uus.exe").trial,
              (trial_state{4, 2, 0, phase::installing, "vana.exe"}));
    EXPECT_TRUE(start_trial(installing, 3, 4, "uus.exe").fresh);
    EXPECT_TRUE(start_trial(trial_state{3, 2, 0, phase::healthy}, 3, 4, "uus.exe").fresh);
}

TEST(ReleaseTrial, AStartRestoresOnlyAVersionOnTrialWithItsTriesUsedUp) {
    EXPECT_EQ(step_at_start(std::nullopt, 3, confirm), trial_step::none);
    EXPECT_EQ(step_at_start(trial_state{3, 2, 1, phase::installing}, 3, confirm),
              trial_step::go_on);
    EXPECT_EQ(step_at_start(trial_state{3, 2, 2, phase::installing}, 3, confirm),
              trial_step::restore);
    // The update to 3 did not complete: nothing is on trial yet.
    EXPECT_EQ(step_at_start(trial_state{3, 2, 5, phase::installing}, 2, confirm),
              trial_step::go_on);
    EXPECT_EQ(step_at_start(trial_state{3, 2, 0, phase::restoring}, 3, confirm),
              trial_step::restore);
    EXPECT_EQ(step_at_start(trial_state{3, 2, 0, phase::healthy}, 3, confirm),
              trial_step::clean_up);
    EXPECT_EQ(step_at_start(trial_state{3, 2, 0, phase::installing}, 3, health_check{}),
              trial_step::clean_up);
}
