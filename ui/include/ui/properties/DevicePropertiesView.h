// The right pane of the main window: the current device's preview picture and video
// mode, and its name, address and password, which the user edits in place. Each edit
// goes to the device at once and the device list is written to the store; a new
// preview is asked for one second after the last keystroke in the address or
// password (timer 100).
#pragma once

#include "ui/framework/Document.h"
#include "ui/framework/Timer.h"
#include "ui/listpane/DeviceDocument.h"

#include <ambry/RefCount.h>

#include <QWidget>

class CFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Tessaline::Ui {

// Shows one preview frame fitted into its area, or the spinner while a frame is
// awaited. Painted through an off-screen pixmap of the control's size.
class CDevicePreviewCtrl final : public QWidget, public CTimerHost {
    Q_OBJECT
public:
    static constexpr unsigned kSpinnerTimer = 100;
    static constexpr int kSpinnerPeriodMs = 100;

    explicit CDevicePreviewCtrl(QWidget *parent = nullptr);
    ~CDevicePreviewCtrl() override;

    // Shows frame (a reference is taken) or nothing; a frame ends the waiting.
    void SetFrame(CFrame *frame);
    CFrame *Frame() const { return m_frame.get(); }
    void SetWaiting(bool waiting) { m_waiting = waiting; }
    bool IsWaiting() const { return m_waiting; }

    void OnTimer(unsigned id) override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    Ambry::Ref<CFrame> m_frame;
    QPixmap m_canvas;
    bool m_waiting = false;
};

class CDevicePropertiesView final : public QWidget, public CView, public CTimerHost {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 101;
    static constexpr unsigned kRequestTimer = 100;
    static constexpr int kRequestDelayMs = 1000;

    explicit CDevicePropertiesView(QWidget *parent = nullptr);
    ~CDevicePropertiesView() override;

    CDeviceDocument *Document() const { return DocumentOf(this); }

    void OnInitialUpdate() override;
    void OnUpdate(CView *sender, long hint, void *object) override;
    void OnTimer(unsigned id) override;

    // Shows the current device's values (or none).
    void RefreshFromDevice();

    QLineEdit *NameEdit() const { return m_name; }
    QLineEdit *AddressEdit() const { return m_address; }
    QLineEdit *PasswordEdit() const { return m_password; }
    QLabel *VideoModeText() const { return m_mode; }
    CDevicePreviewCtrl *Preview() const { return m_preview; }
    QPushButton *RefreshButton() const { return m_refresh; }
    QPushButton *AdvancedButton() const { return m_advanced; }
    QPushButton *WebConfigButton() const { return m_webConfig; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void Layout();
    void SendCommand(unsigned id);
    void OnNameChanged();
    void OnAddressChanged();
    void OnPasswordChanged();

    CDevicePreviewCtrl *m_preview = nullptr;
    QLabel *m_mode = nullptr;
    QLineEdit *m_name = nullptr;
    QLineEdit *m_address = nullptr;
    QLineEdit *m_password = nullptr;
    QPushButton *m_refresh = nullptr;
    QPushButton *m_advanced = nullptr;
    QPushButton *m_webConfig = nullptr;
    bool m_initialised = false;
    bool m_updating = false;
};

}  // namespace Tessaline::Ui
