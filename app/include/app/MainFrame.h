// The main window: menu 128, the status bar that shows menu prompts, and a static
// splitter with the device list pane on the left and the properties view on the
// right. It is the notification target of every device of the list while it is
// shown, and hands search results to the list pane.
#pragma once

#include <ui/framework/Command.h>
#include <ui/framework/DeviceNotify.h>

#include <QDialog>
#include <QMainWindow>

class CConfigDoc;
class QSplitter;
struct DiscoveryRecord;

namespace Tessaline::Ui {
class CLeftPane;
class CDevicePropertiesView;
}  // namespace Tessaline::Ui

// Framework command ids the frame handles.
inline constexpr unsigned ID_FILE_NEW = 57600;
inline constexpr unsigned ID_FILE_OPEN = 57601;
inline constexpr unsigned ID_WINDOW_SPLIT = 57653;
inline constexpr unsigned ID_APP_ABOUT = 57664;
inline constexpr unsigned ID_APP_EXIT = 57665;
inline constexpr unsigned ID_HELP_FINDER = 57667;
inline constexpr unsigned ID_CONTEXT_HELP = 57669;
inline constexpr unsigned ID_HELP = 57670;
inline constexpr unsigned ID_DEFAULT_HELP = 57671;
inline constexpr unsigned ID_NEXT_PANE = 57680;
inline constexpr unsigned ID_PREV_PANE = 57681;
inline constexpr unsigned ID_VIEW_STATUS_BAR = 59393;

// The about box (dialog 100).
class CAboutDlg final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 100;
    explicit CAboutDlg(QWidget *parent = nullptr);
    // The text of the version line (control 1037).
    QString VersionText() const;
};

class CMainFrame final : public QMainWindow, public Tessaline::Ui::CCommandTarget {
    Q_OBJECT
public:
    static constexpr int kShownWidth = 750;
    static constexpr int kShownHeight = 530;
    static constexpr int kMinimumWidth = 600;
    static constexpr int kMinimumHeight = 440;

    // Builds the window with its panes and attaches the panes to the document.
    explicit CMainFrame(CConfigDoc *document, QWidget *parent = nullptr);
    ~CMainFrame() override;

    CConfigDoc *Document() const { return m_document; }
    Tessaline::Ui::CCommandRouter *Router() const { return m_router; }
    Tessaline::Ui::CDeviceNotifyTarget *NotifyTarget() const { return m_notify; }
    QSplitter *Splitter() const { return m_splitter; }
    Tessaline::Ui::CLeftPane *LeftPane() const { return m_left; }
    Tessaline::Ui::CDevicePropertiesView *PropertiesView() const { return m_right; }

    bool OnCommand(unsigned id) override;
    std::optional<bool> QueryCommandEnabled(unsigned id) const override;

    // WM_DEVICE_NOTIFY and WM_DEVICE_FOUND.
    void OnDeviceNotify(uint32_t bits, CDevice *device);
    void OnDeviceFound(const DiscoveryRecord &record);

    // Moves the keyboard focus to the other pane (F6 / Shift+F6).
    void ActivateNextPane(bool forward);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void CreateMenus();
    void CreateAccelerators();
    void BeginSplitterTracking();
    bool eventFilter(QObject *watched, QEvent *event) override;

    CConfigDoc *m_document;
    Tessaline::Ui::CCommandRouter *m_router = nullptr;
    Tessaline::Ui::CDeviceNotifyTarget *m_notify = nullptr;
    QSplitter *m_splitter = nullptr;
    Tessaline::Ui::CLeftPane *m_left = nullptr;
    Tessaline::Ui::CDevicePropertiesView *m_right = nullptr;
    bool m_trackingSplitter = false;
};
