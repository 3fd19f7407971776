// The application's document: the device list loaded from the settings store, the
// current device, and every device command of the menus and panes.
//
// The list is written to the store after adding by hand, after removing, after
// removing all, after each edit in the properties view, when a search stops with a
// changed list, and when the document goes away with a changed list.
#pragma once

#include <ui/listpane/DeviceDocument.h>

#include <ambry/RefCount.h>
#include <store/DeviceList.h>

#include <QPointer>

#include <memory>

class CNotifyTarget;

class CConfigDoc final : public Tessaline::Ui::CDeviceDocument {
    Q_OBJECT
public:
    explicit CConfigDoc(QObject *parent = nullptr);
    ~CConfigDoc() override;

    // Loads the device list from the settings store.
    bool OnNewDocument() override;

    CDeviceList *DeviceList() const override { return m_list.get(); }
    CDevice *CurrentDevice() const override { return m_current.get(); }
    void SetCurrentDevice(CDevice *device) override;
    void SaveDeviceList() override;
    void StopSearch() override;
    QWidget *MainWindow() const override { return m_mainWindow; }

    // The window that owns dialogs and receives search results.
    void SetMainWindow(QWidget *window, CNotifyTarget *target);

    bool OnCommand(unsigned id) override;
    std::optional<bool> QueryCommandEnabled(unsigned id) const override;

    // The commands.
    void OnAddDevice();
    void OnRemoveDevice();
    void OnRemoveAllDevices();
    void OnRefreshDevice();
    void OnSearch();
    void OnAdvanced();
    void OnWebConfig();

private:
    void ClearCurrentDevice();
    // Asks about one device and, on OK, removes it and picks the next current device.
    void RemoveDevice(Ambry::Ref<CDevice> device);

    std::unique_ptr<CDeviceList> m_list;
    Ambry::Ref<CDevice> m_current;
    QPointer<QWidget> m_mainWindow;
    CNotifyTarget *m_searchTarget = nullptr;
};
