// What the panes need from the application's document: the device list, the current
// device and the hints by which the document announces changes. The application's
// document implements it; the panes see nothing else of it.
#pragma once

#include "ui/framework/Document.h"

class CDevice;
class CDeviceList;
class QWidget;

namespace Tessaline::Ui {

// Update hints (the object argument is unused).
inline constexpr long HINT_CURRENT_DEVICE = 260;
inline constexpr long HINT_SEARCH_STARTED = 288;
inline constexpr long HINT_SEARCH_STOPPED = 289;

// Command ids of the panes, the menus and the document.
inline constexpr unsigned ID_DEVICE_ADVANCED = 1002;
inline constexpr unsigned ID_DEVICE_REMOVE = 1005;
inline constexpr unsigned ID_DEVICE_ADD = 1006;
inline constexpr unsigned ID_DEVICE_REFRESH = 1012;
inline constexpr unsigned ID_DEVICE_SEARCH = 1013;
inline constexpr unsigned ID_DEVICE_WEBCONFIG = 1025;
inline constexpr unsigned ID_DEVICE_REMOVE_ALL = 32777;

class CDeviceDocument : public CDocument {
    Q_OBJECT
public:
    using CDocument::CDocument;

    // The device list, or none when it could not be made.
    virtual CDeviceList *DeviceList() const = 0;
    // The current device (no reference added), or none.
    virtual CDevice *CurrentDevice() const = 0;
    // Makes device (or none) current; a change is announced with HINT_CURRENT_DEVICE.
    virtual void SetCurrentDevice(CDevice *device) = 0;
    // Writes the list to the settings store.
    virtual void SaveDeviceList() = 0;
    // Ends a running search and announces HINT_SEARCH_STOPPED; nothing when none runs.
    virtual void StopSearch() = 0;
    // The window dialogs and message boxes are owned by.
    virtual QWidget *MainWindow() const = 0;

    // Sends a command along the window's route (or straight to the document when
    // there is no route), as a button or menu item does.
    void RouteCommand(unsigned id)
    {
        if (CCommandRouter *router = CommandRouter())
            router->SendCommand(id);
        else
            OnCommand(id);
    }
};

// The document of a view, or none.
inline CDeviceDocument *DocumentOf(const CView *view)
{
    return static_cast<CDeviceDocument *>(view->GetDocument());
}

}  // namespace Tessaline::Ui
