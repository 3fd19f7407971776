// Plain drawing decisions of the device list rows: which status text, light and lock a
// row shows, the fixed row geometry, and the steps of the removal collapse. Kept free
// of widgets so that tests can call them directly.
#pragma once

#include <deviceio/DeviceIO.h>

#include <cstdint>

namespace Tessaline::Ui {

// Cells of the status light strip (PNG 144), 12 x 12 pixels each.
enum RowLight : int { RowLightGreen = 0, RowLightYellow = 1, RowLightRed = 2 };

// Cells of the lock strip (PNG 150), 13 pixels apart; RowLockNone draws nothing.
enum RowLock : int { RowLockNone = -1, RowLockClosed = 0, RowLockOpen = 1, RowLockRed = 2 };

struct RowStatus {
    const char *text; // static text, never null
    RowLight light;
    RowLock lock;
};

// What a device reports about itself at the moment its row is drawn.
struct RowDeviceState {
    int32_t loginStatus = LoginError; // LoginError without a connection
    bool hasConnection = false;
    bool connecting = false;   // the device's connecting flag
    bool hasSignal = false;    // video mode width and height both non-zero
    bool passwordEmpty = true; // the stored password is empty
};

// Picks the status text, light and lock for one row.
RowStatus ChooseRowStatus(const RowDeviceState &state);

// Row geometry in pixels, relative to the row's top-left corner.
namespace RowGeometry {
inline constexpr int kRowHeight = 70;
inline constexpr int kThumbLeft = 5, kThumbTop = 5, kThumbRight = 77, kThumbBottom = 50;
inline constexpr int kNameX = 85, kNameY = 5;
inline constexpr int kSerialLabelX = 108, kSerialY = 20, kSerialX = 129;
inline constexpr int kAddressLabelX = 85, kAddressY = 35, kAddressX = 129;
inline constexpr int kLightX = 5, kLightY = 55, kLightSize = 12;
inline constexpr int kLockFromRight = 18, kLockY = 22, kLockPitch = 13, kLockWidth = 13, kLockHeight = 12;
inline constexpr int kLockSelectedRowY = 13;
inline constexpr int kStatusX = 21, kStatusY = 53;
} // namespace RowGeometry

// The removal collapse: a removed row starts at kCollapseStartHeight and shrinks by
// NextCollapseHeight on every tick until it reaches 0, then the row is deleted.
inline constexpr int kCollapseStartHeight = 69;
constexpr int NextCollapseHeight(int height) { return height * 82 / 100; }

}  // namespace Tessaline::Ui
