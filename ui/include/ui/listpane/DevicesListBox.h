// The owner-drawn list of configured devices in the left pane.
//
// Every row holds one counted reference to a CDevice (taken when the row is added,
// given back when the row is emptied) and is 70 pixels high. A removed device's row
// is emptied at once and then collapses over a few ticks of timer 1 before it is
// deleted; rows removed close together collapse together. Rows are painted into an
// off-screen pixmap and copied to the screen in one step.
#pragma once

#include "ui/controls/Bitmap.h"
#include "ui/framework/Timer.h"
#include "ui/listpane/RowStatus.h"

#include <QBrush>
#include <QFont>
#include <QListWidget>
#include <QPixmap>

#include <optional>

class CDevice;

namespace Tessaline::Ui {

// Reads what a row's status depends on through the device's accessors.
RowDeviceState ReadRowState(CDevice &device);

class CDevicesListBox : public QListWidget, public CTimerHost {
    Q_OBJECT
public:
    static constexpr unsigned kCollapseTimer = 1;
    static constexpr int kCollapsePeriodMs = 1;

    explicit CDevicesListBox(QWidget *parent = nullptr);
    ~CDevicesListBox() override;

    // Appends a row for the device (a reference is taken). Returns the row, or -1.
    int AddDevice(CDevice *device);
    // The highest-numbered row that holds the device, or -1.
    int FindDevice(const CDevice *device) const;
    // The device of a row (no reference added), or none for an emptied row.
    CDevice *DeviceAt(int row) const;
    // Empties the device's row and lets it collapse.
    void StartRemoval(CDevice *device);
    // Empties every row and deletes all rows at once, without animation.
    void RemoveAllRows();
    // Redraws every row (no erase) and refreshes the texts assistive tools read.
    void InvalidateRows();

    // The height emptied rows have now; 0 when no collapse is running.
    int CollapseHeight() const { return m_collapseHeight; }
    // What the row at this index shows for assistive tools: name and status.
    QString AccessibleRowText(int row) const;

    // Paints one row of the given device into rect.
    void DrawRow(QPainter &painter, const QRect &rect, bool selected, CDevice *device);

    void OnTimer(unsigned id) override;

signals:
    // The Delete key asks for command 1005, as the "Remove" button does.
    void commandRequested(unsigned id);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void EmptyRow(int row);
    void SetRowHeight(int row, int height);

    QBrush m_selectedBrush;
    QBrush m_normalBrush;
    std::optional<QFont> m_boldFont;
    CGdiPlusBitmapResource m_lights{144};
    CGdiPlusBitmapResource m_locks{150};
    int m_collapseHeight = 0;
};

}  // namespace Tessaline::Ui
