// "Add new device": the user types a name, an address and, when the device asks for
// one, a password. The dialog works on a real new device from the moment it opens:
// the device's worker connects to each address as it is typed and the dialog shows
// the outcome live (status text, light, spinner). The password row stays hidden until
// the device needs a password; the dialog then grows smoothly to uncover it.
//
// Use:
//   auto dialog = CAddDeviceDialog::Create(parent);   // nullptr: no device, show nothing
//   if (dialog && RunModal(dialog.get()) == QDialog::Accepted)
//       add dialog->Device() to the list, save, make it current;
//
// The device stops receiving the dialog's notifications when the dialog closes
// (before the caller adds it to the list) and at the latest when it is destroyed.
#pragma once

#include "ui/framework/DialogTemplate.h"
#include "ui/framework/Timer.h"

#include <ambry/RefCount.h>

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class CDevice;
class QLabel;
class QLineEdit;

namespace Tessaline::Ui {

class CDeviceNotifyTarget;
class CExPictureCtrl;
class CProgressIndicatorCtrl;
struct LayoutRule;

// Control ids of template 148.
enum AddDeviceControl : int {
    IDD_ADD_DEVICE = 148,
    IDC_ADD_NAME = 1000,
    IDC_ADD_ADDRESS = 1001,
    IDC_ADD_STATUS = 1032,
    IDC_ADD_SPINNER = 1033,
    IDC_ADD_LIGHT = 1034,
    IDC_ADD_PASSWORD = 1035,
    IDC_ADD_PASSWORD_LABEL = 1036,
    IDC_ADD_OK = 1,
    IDC_ADD_CANCEL = 2,
};

// Timers of the dialog.
enum AddDeviceTimer : unsigned {
    ADD_TIMER_STATUS = 100,  // one second after the last change: "Searching..."
    ADD_TIMER_HEIGHT = 101,  // height animation, every 10 ms
};

// The status light's cells in PNG 144.
enum StatusLight : int { LIGHT_GREEN = 0, LIGHT_YELLOW = 1, LIGHT_RED = 2 };

// The dialog's template and anchor table.
const DialogTemplate &AddDeviceTemplate();
const LayoutRule *AddDeviceLayout();

// What the dialog shows for a connected device.
struct AddDeviceStatus {
    std::string text;
    int light = LIGHT_RED;
};
// login: the device's login status; signal: the video mode has width and height of
// at least 1; passwordEmpty: the stored password is empty.
AddDeviceStatus ChooseAddDeviceStatus(int32_t login, bool signal, bool passwordEmpty, const std::string &model,
                                      const std::string &serial);

// One step of the height animation from `current` towards `target` (pixels).
int HeightAnimationStep(int current, int target);

class CAddDeviceDialog : public QDialog, public CTimerHost {
    Q_OBJECT
public:
    // Makes the dialog with a new device; nullptr when the device cannot be made.
    static std::unique_ptr<CAddDeviceDialog> Create(QWidget *parent = nullptr);
    ~CAddDeviceDialog() override;

    // The dialog's device (no reference added).
    CDevice *Device() const { return m_device.get(); }

    void OnTimer(unsigned id) override;

    // The client heights of the collapsed and the expanded form (0 until measured),
    // and the height being animated to.
    int CollapsedHeight() const { return m_collapsedHeight; }
    int ExpandedHeight() const { return m_expandedHeight; }
    int TargetHeight() const { return m_targetHeight; }

    QLineEdit *NameEdit() const { return m_name; }
    QLineEdit *AddressEdit() const { return m_address; }
    QLineEdit *PasswordEdit() const { return m_password; }
    QLabel *PasswordLabel() const { return m_passwordLabel; }
    QLabel *StatusText() const { return m_status; }
    CProgressIndicatorCtrl *Spinner() const { return m_spinner; }
    CExPictureCtrl *StatusLightCtrl() const { return m_light; }
    // The light cell shown (LIGHT_GREEN, ...).
    int StatusLightIndex() const;

    // Dialog initialisation; runs when the dialog is first shown (tests that drive
    // the dialog without showing it call it themselves).
    void InitDialog();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void done(int result) override;

private:
    explicit CAddDeviceDialog(QWidget *parent, Ambry::Ref<CDevice> device);

    void OnDeviceNotify(uint32_t bits);
    void ShowConnectedResult();
    void OnNameChanged(const QString &text);
    void OnAddressChanged(const QString &text);
    void OnPasswordChanged(const QString &text);
    void ChooseTargetHeight();
    void UpdatePasswordRow();
    void UpdateDefaultName();
    void SetLight(int light);
    void Detach();
    bool PasswordInvolved() const;

    Ambry::Ref<CDevice> m_device;
    CDeviceNotifyTarget *m_notify = nullptr;  // child object
    std::string m_lastAddress;
    std::string m_lastPassword;
    bool m_userEditedName = false;
    bool m_passwordRetry = false;  // a password was applied to a connected device
    bool m_writingName = false;
    bool m_opened = false;
    bool m_heightsMeasured = false;
    int m_collapsedHeight = 0;
    int m_expandedHeight = 0;
    int m_targetHeight = 0;

    QLineEdit *m_name = nullptr;
    QLineEdit *m_address = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_passwordLabel = nullptr;
    QLabel *m_status = nullptr;
    CProgressIndicatorCtrl *m_spinner = nullptr;
    CExPictureCtrl *m_light = nullptr;
};

}  // namespace Tessaline::Ui
