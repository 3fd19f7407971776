// The decisions behind a device row: status text, light and lock, and the collapse.
#include <ui/listpane/RowStatus.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Tessaline::Ui;

namespace {

RowDeviceState State(int32_t login, bool io, bool connecting, bool signal, bool passwordEmpty)
{
    RowDeviceState s;
    s.loginStatus = login;
    s.hasConnection = io;
    s.connecting = connecting;
    s.hasSignal = signal;
    s.passwordEmpty = passwordEmpty;
    return s;
}

void Expect(const RowDeviceState &state, const std::string &text, RowLight light, RowLock lock)
{
    const RowStatus status = ChooseRowStatus(state);
    EXPECT_EQ(status.text, text);
    EXPECT_EQ(status.light, light) << text;
    EXPECT_EQ(status.lock, lock) << text;
}

TEST(ListRows, ConnectedDevicesShowSignalAndTheOpenLockOnlyAfterALogin)
{
    Expect(State(LoginOpen, true, false, true, true), "Device OK", RowLightGreen, RowLockNone);
    Expect(State(LoginOpen, true, false, false, false), "No signal", RowLightYellow, RowLockNone);
    Expect(State(LoginAccepted, true, false, true, false), "Device OK", RowLightGreen, RowLockOpen);
    Expect(State(LoginAccepted, true, false, false, false), "No signal", RowLightYellow, RowLockOpen);
}

TEST(ListRows, RefusedLoginsShowARedLockOnlyWithAStoredPassword)
{
    for (int32_t login : {LoginDenied, LoginGaveUp}) {
        Expect(State(login, true, false, true, false), "Login failed", RowLightRed, RowLockRed);
        Expect(State(login, true, false, true, true), "Login failed", RowLightRed, RowLockClosed);
    }
    // A failed exchange on an existing connection reads the same way.
    Expect(State(LoginError, true, false, false, false), "Login failed", RowLightRed, RowLockRed);
    Expect(State(LoginError, true, true, false, true), "Login failed", RowLightRed, RowLockClosed);
}

TEST(ListRows, DevicesWithoutConnectionAreConnectingOrNotFound)
{
    Expect(State(LoginError, false, true, false, false), "Connecting...", RowLightYellow, RowLockNone);
    Expect(State(LoginError, false, false, true, false), "Not found", RowLightRed, RowLockNone);
    Expect(State(7, true, false, true, false), "Not found", RowLightRed, RowLockNone);
    Expect(State(-1, false, true, true, false), "Not found", RowLightRed, RowLockNone);
}

TEST(ListRows, CollapseShrinksThroughTheKnownHeights)
{
    std::vector<int> heights;
    for (int h = kCollapseStartHeight; h > 0; h = NextCollapseHeight(h))
        heights.push_back(h);
    EXPECT_EQ(heights, (std::vector<int>{69, 56, 45, 36, 29, 23, 18, 14, 11, 9, 7, 5, 4, 3, 2, 1}));
    EXPECT_EQ(NextCollapseHeight(1), 0);
}

}  // namespace
