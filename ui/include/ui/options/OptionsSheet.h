// The capture options sheet opened by the "Advanced..." command of the properties view.
#pragma once

class QWidget;
class CDevice;

namespace Tessaline::Ui {

// Runs the modal options sheet for a device: the Adjustments page when the device
// answers with its picture adjustments, the DirectShow and Capture pages when the
// device can be a capture source. Shows nothing when no page qualifies.
// Returns true when any page applied its values (to the device or the store).
bool ShowOptionsSheet(QWidget *parent, CDevice *device);

}  // namespace Tessaline::Ui
