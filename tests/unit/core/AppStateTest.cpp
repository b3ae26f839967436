#include <gtest/gtest.h>

#include "agent/core/AppState.h"

namespace tessary {
namespace {

TEST(AppStateTest, ObserversHearOfEachPublishedChangeBeforeItHappens)
{
    AppState state(false);
    std::vector<bool> seenBefore;
    state.observeWillChange([&] { seenBefore.push_back(state.isMonitoring()); });

    state.setIsMonitoring(true);
    state.setIsMonitoring(false);
    EXPECT_EQ(seenBefore, (std::vector<bool>{false, true}));

    state.setLastError("not published");
    EXPECT_EQ(seenBefore.size(), 2U);
    state.setDownloadUrl("https://example.test/pkg");
    state.setUpdateAvailable(true);
    state.setIsSetUp(true);
    EXPECT_EQ(seenBefore.size(), 5U);
}

TEST(AppStateTest, AnObserverMayRemoveItselfWhileBeingTold)
{
    AppState state(true);
    int calls = 0;
    AppState::ObserverId id = 0;
    id = state.observeWillChange([&] {
        ++calls;
        state.removeObserver(id);
    });
    state.setIsSetUp(false);
    state.setIsSetUp(true);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(state.isSetUp());
}

}  // namespace
}  // namespace tessary
