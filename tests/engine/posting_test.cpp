// The operations through which the engine's threads drive the progress window.

#include "message_window.h"
#include "update_engine.h"

namespace {

std::vector<UINT> ids_of(const std::vector<posted_message>& messages) {
    std::vector<UINT> ids;
    for (const auto& message : messages)
        ids.push_back(message.message);
    return ids;
}

class Posting : public ::testing::Test {
  protected:
    message_window window;
    CUpdater updater;
};

} // namespace

TEST_F(Posting, RepeatedPercentagesArePostedOnce) {
    for (unsigned percentage : {40u, 40u, 41u, 41u, 0u})
        updater.post_progress(percentage);
    const auto messages = window.take();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].wparam, 40u);
    EXPECT_EQ(messages[1].wparam, 41u);
    EXPECT_EQ(messages[2].wparam, 0u);
    EXPECT_EQ(ids_of(messages), std::vector<UINT>(3, UM_PROGRESS));
}

TEST_F(Posting, TextsAreStoredAndPostedAsCopies) {
    updater.set_title_text("Failide uuendamine");
    updater.set_info_text("Kontrollin: a.txt");
    const auto messages = window.take();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].message, UM_SET_TITLE);
    EXPECT_EQ(messages[0].text, "Failide uuendamine");
    EXPECT_EQ(messages[1].message, UM_SET_INFO);
    EXPECT_EQ(messages[1].text, "Kontrollin: a.txt");
    EXPECT_EQ(updater.info_text, "Kontrollin: a.txt");
}

TEST_F(Posting, TheFirstErrorWinsAndSilencesLaterTexts) {
    updater.report_error("Viga faili lahtipakkimisel", IDS_UNPACK_FAILED);
    updater.report_error("Faili ei suudetud kopeerida!", IDS_COPY_FAILED);
    updater.set_info_text("Laen alla: b.txt");
    updater.set_title_text("VALMIS");
    const auto messages = window.take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, UM_ERROR);
    EXPECT_EQ(messages[0].lparam, IDS_UNPACK_FAILED);
    EXPECT_EQ(messages[0].text, "Viga faili lahtipakkimisel");
    EXPECT_EQ(updater.error_text, "Viga faili lahtipakkimisel");
    EXPECT_EQ(updater.info_text, "Laen alla: b.txt");
    EXPECT_TRUE(updater.aborted());
}

TEST_F(Posting, ReleaseNotesPointAtTheEnginesTextEvenAfterAnError) {
    updater.report_error("x", 0);
    updater.publish_release_notes("Uus versioon", true);
    const auto messages = window.take();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].message, UM_RELEASE_NOTES);
    EXPECT_EQ(messages[1].lparam, 1);
    EXPECT_EQ(reinterpret_cast<const char*>(messages[1].wparam),
              updater.release_notes_text.c_str());
    EXPECT_EQ(messages[1].text, "Uus versioon");
}

TEST(Progress, IsTheShareOfEntriesRoundedDown) {
    EXPECT_EQ(progress_percentage(3, 4), 75u);
    EXPECT_EQ(progress_percentage(1, 3), 33u);
    EXPECT_EQ(progress_percentage(0, 7), 0u);
    EXPECT_EQ(progress_percentage(5, 5), 100u);
    EXPECT_EQ(progress_percentage(0, 0), 0u);
}
