// The left pane of the main window: the device list with "Add...", "Remove" and
// "Search". It mirrors the document's active set from its first update on (as a
// listener of that set), keeps the list's selection and the document's current
// device in step, runs the busy animation (timer 100) while some device connects or
// waits for a frame, and ends a search after 20 seconds (timer 101).
#pragma once

#include "ui/framework/Document.h"
#include "ui/framework/Timer.h"
#include "ui/listpane/DeviceDocument.h"

#include <store/DeviceList.h>

#include <QWidget>

class QMenu;
class QPushButton;
struct DiscoveryRecord;

namespace Tessaline::Ui {

class CDevicesListBox;

class CLeftPane final : public QWidget, public CView, public CTimerHost, public CDeviceListListener {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 130;
    static constexpr unsigned kBusyTimer = 100;
    static constexpr int kBusyPeriodMs = 100;
    static constexpr unsigned kSearchTimer = 101;
    static constexpr int kSearchTimeoutMs = 20000;
    static constexpr int kContextMenuId = 134;

    explicit CLeftPane(QWidget *parent = nullptr);
    ~CLeftPane() override;

    CDeviceDocument *Document() const { return DocumentOf(this); }

    void OnInitialUpdate() override;
    void OnUpdate(CView *sender, long hint, void *object) override;
    void OnTimer(unsigned id) override;

    void OnDeviceAdded(CDeviceSet *set, CDevice *device) override;
    void OnDeviceRemoved(CDeviceSet *set, CDevice *device) override;
    void OnDeviceListCleared(CDeviceSet *set) override;

    // A device changed: redraw the rows and animate while some device is busy.
    void OnDeviceNotify();
    // Merges one search result into the device list.
    void MergeDiscoveryRecord(const DiscoveryRecord &record);

    CDevicesListBox *ListBox() const { return m_list; }
    QPushButton *AddButton() const { return m_add; }
    QPushButton *RemoveButton() const { return m_remove; }
    QPushButton *SearchButton() const { return m_search; }
    bool IsBusyAnimationRunning() const { return m_busyAnimation; }

    // Builds menu 134 with its commands bound to the document's route.
    QMenu *CreateContextMenu(QWidget *parent) const;
    // Shows menu 134 at a global position; the commands act on the current device.
    void ShowContextMenu(const QPoint &globalPos);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Layout();
    void StartBusyAnimation();
    void SelectCurrentDevice();
    void OnSelectionChanged();
    void SendCommand(unsigned id);
    void UpdateRemoveButton();

    CDevicesListBox *m_list = nullptr;
    QPushButton *m_add = nullptr;
    QPushButton *m_remove = nullptr;
    QPushButton *m_search = nullptr;
    bool m_busyAnimation = false;
    bool m_listening = false;
    CDeviceSet *m_listenedSet = nullptr;
};

}  // namespace Tessaline::Ui
