#include "ui/listpane/RowStatus.h"

namespace Tessaline::Ui {

namespace {

RowStatus LoginFailed(const RowDeviceState &state)
{
    return {"Login failed", RowLightRed, state.passwordEmpty ? RowLockClosed : RowLockRed};
}
} // namespace

RowStatus ChooseRowStatus(const RowDeviceState &state)
{
    switch (state.loginStatus) {
    case LoginOpen:
    case LoginAccepted: {
        const RowLock lock = state.loginStatus == LoginAccepted ? RowLockOpen : RowLockNone;
        if (state.hasSignal)
            return {"Device OK", RowLightGreen, lock};
        return {"No signal", RowLightYellow, lock};
    }
    case LoginError:
        if (state.hasConnection)
            return LoginFailed(state);
        if (state.connecting)
            return {"Connecting...", RowLightYellow, RowLockNone};
        return {"Not found", RowLightRed, RowLockNone};
    case LoginDenied:
    case LoginGaveUp:
        return LoginFailed(state);
    default:
        return {"Not found", RowLightRed, RowLockNone};
    }
}

}  // namespace Tessaline::Ui
