#include "app/MainFrame.h"

#include "app/ConfigDoc.h"
#include "app/Strings.h"

#include <ui/framework/DialogTemplate.h>
#include <ui/framework/Prompts.h>
#include <ui/framework/StringTable.h>
#include <ui/listpane/LeftPane.h>
#include <ui/properties/DevicePropertiesView.h>

#include <resources/Resources.h>

#include <discovery/Discovery.h>
#include <store/Device.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>

#include <array>

using namespace Tessaline::Ui;

namespace {

constexpr int kVersionId = 1037;
constexpr int kSplitterStepPx = 8;

const std::array<ControlTemplate, 5> kAboutControls{{
    {-1, ControlKind::Custom, "", 11, 17, 21, 20, CS_NONE, "Tessaline icon"},
    {-1, ControlKind::Static, "Tessaline DirectShow configuration utility", 40, 14, 149, 8},
    {kVersionId, ControlKind::Static, "Version", 40, 26, 149, 8},
    {-1, ControlKind::Static, "Publishes network video grabbers as capture sources of this workstation.", 40, 40, 149,
     32},
    {IDOK, ControlKind::DefPushButton, "OK", 139, 85, 50, 14},
}};

const DialogTemplate kAboutTemplate{CAboutDlg::kTemplateId, "About Tessaline DirectShow Setup", 196, 106,
                                    kAboutControls};

}  // namespace

// ---- about box ----

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent)
{
    RegisterApplicationStrings();
    InstantiateTemplate(this, kAboutTemplate, [](const ControlTemplate &entry, QWidget *owner) -> QWidget * {
        if (entry.kind != ControlKind::Custom)
            return nullptr;
        auto *icon = new QLabel(owner);
        icon->setPixmap(QIcon(Tessaline::Resources::IconPath(128)).pixmap(32, 32));
        return icon;
    });
    if (auto *ok = qobject_cast<QPushButton *>(GetDlgItem(this, IDOK)))
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    if (auto *version = qobject_cast<QLabel *>(GetDlgItem(this, kVersionId))) {
        const std::optional<QString> pattern = FindString(IDS_VERSION);
        if (pattern) {
            if (std::optional<QString> text = FormatMessageText(*pattern, {int64_t{3}, int64_t{24}, int64_t{9}}))
                version->setText(*text);
        }
    }
}

QString CAboutDlg::VersionText() const
{
    auto *version = qobject_cast<QLabel *>(GetDlgItem(this, kVersionId));
    return version ? version->text() : QString();
}

// ---- main frame ----

CMainFrame::CMainFrame(CConfigDoc *document, QWidget *parent) : QMainWindow(parent), m_document(document)
{
    RegisterApplicationStrings();
    setWindowTitle(LoadString(IDS_APP_TITLE));
    setWindowIcon(QIcon(Tessaline::Resources::IconPath(128, 48)));
    setMinimumSize(kMinimumWidth, kMinimumHeight);

    m_router = new CCommandRouter(this);
    m_router->AddTarget(m_document);
    m_router->AddTarget(this);
    m_document->SetCommandRouter(m_router);

    m_notify = new CDeviceNotifyTarget(this);
    m_notify->SetNotifyHandler([this](uint32_t bits, CDevice *device) { OnDeviceNotify(bits, device); });
    m_notify->SetFoundHandler([this](const DiscoveryRecord &record) { OnDeviceFound(record); });
    m_document->SetMainWindow(this, m_notify);

    statusBar()->setObjectName(QStringLiteral("statusBar"));
    statusBar()->setAccessibleName(QStringLiteral("Status bar"));

    // The static splitter: one row, two columns; the right column takes what the
    // window gains or loses.
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setAccessibleName(QStringLiteral("Panes"));
    m_left = new CLeftPane(m_splitter);
    m_right = new CDevicePropertiesView(m_splitter);
    m_left->resize(250, 455);
    m_right->resize(485, 455);
    m_left->setMinimumWidth(245);
    m_right->setMinimumWidth(265);
    m_splitter->addWidget(m_left);
    m_splitter->addWidget(m_right);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({250, 485});
    setCentralWidget(m_splitter);

    m_document->AddView(m_left);
    m_document->AddView(m_right);

    CreateMenus();
    CreateAccelerators();
    QWidget::setTabOrder(m_left, m_right);
}

CMainFrame::~CMainFrame()
{
    // Nothing may post to the target once it is gone: end the search, whose thread
    // posts to it, and detach every device.
    if (CDeviceList *list = m_document ? m_document->DeviceList() : nullptr) {
        list->StopSearch();
        list->SetNotifyTarget(nullptr);
    }
    if (m_document) {
        m_document->SetMainWindow(nullptr, nullptr);
        m_document->SetCommandRouter(nullptr);
    }
}

void CMainFrame::CreateMenus()
{
    auto add = [this](QMenu *menu, const QString &text, unsigned id) {
        QAction *action = menu->addAction(text);
        action->setStatusTip(LoadString(id));
        m_router->Bind(action, id);
        return action;
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("E&xit"), ID_APP_EXIT);

    QMenu *device = menuBar()->addMenu(QStringLiteral("Device"));
    add(device, QStringLiteral("Refresh"), ID_DEVICE_REFRESH);
    device->addSeparator();
    add(device, QStringLiteral("Remove"), ID_DEVICE_REMOVE);
    add(device, QStringLiteral("Remove All Devices"), ID_DEVICE_REMOVE_ALL);

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    QAction *statusBarAction = add(view, QStringLiteral("&Status Bar"), ID_VIEW_STATUS_BAR);
    statusBarAction->setCheckable(true);
    statusBarAction->setChecked(true);
    add(view, QStringLiteral("S&plit"), ID_WINDOW_SPLIT);

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("&Help Topics"), ID_HELP_FINDER);
    help->addSeparator();
    add(help, QStringLiteral("&About..."), ID_APP_ABOUT);

    for (QMenu *menu : {file, device, view, help})
        m_router->WatchMenu(menu);
}

void CMainFrame::CreateAccelerators()
{
    const std::array<std::pair<QKeySequence, unsigned>, 4> accelerators{{
        {QKeySequence(Qt::Key_F1), ID_HELP},
        {QKeySequence(Qt::SHIFT | Qt::Key_F1), ID_CONTEXT_HELP},
        {QKeySequence(Qt::Key_F6), ID_NEXT_PANE},
        {QKeySequence(Qt::SHIFT | Qt::Key_F6), ID_PREV_PANE},
    }};
    for (const auto &[keys, id] : accelerators) {
        auto *shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        const unsigned command = id;
        connect(shortcut, &QShortcut::activated, this, [this, command] { m_router->SendCommand(command); });
    }
}

bool CMainFrame::OnCommand(unsigned id)
{
    switch (id) {
    case ID_APP_EXIT:
        close();
        return true;
    case ID_APP_ABOUT: {
        CAboutDlg about(this);
        RunModal(&about);
        return true;
    }
    case ID_VIEW_STATUS_BAR:
        statusBar()->setVisible(!statusBar()->isVisible());
        return true;
    case ID_WINDOW_SPLIT:
        BeginSplitterTracking();
        return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        ActivateNextPane(id == ID_NEXT_PANE);
        return true;
    case ID_HELP:
    case ID_HELP_FINDER:
    case ID_DEFAULT_HELP:
    case ID_CONTEXT_HELP:
        // No help file belongs to the program; the status bar says so.
        statusBar()->showMessage(LoadString(IDS_NO_HELP), 5000);
        return true;
    default:
        return false;
    }
}

std::optional<bool> CMainFrame::QueryCommandEnabled(unsigned id) const
{
    (void)id;
    return std::nullopt;
}

void CMainFrame::ActivateNextPane(bool forward)
{
    // Two panes: either direction lands on the other one.
    (void)forward;
    QWidget *focus = QApplication::focusWidget();
    const bool inLeft = focus && (focus == m_left || m_left->isAncestorOf(focus));
    QWidget *pane = inLeft ? static_cast<QWidget *>(m_right) : static_cast<QWidget *>(m_left);
    for (QWidget *w = pane->nextInFocusChain(); w && w != pane; w = w->nextInFocusChain()) {
        if (pane->isAncestorOf(w) && w->isEnabled() && w->isVisible() && (w->focusPolicy() & Qt::TabFocus)) {
            w->setFocus(Qt::ShortcutFocusReason);
            return;
        }
    }
    pane->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::BeginSplitterTracking()
{
    // Keyboard tracking of the divider: arrows move it, Enter or Escape ends.
    m_trackingSplitter = true;
    statusBar()->showMessage(LoadString(IDS_SPLIT_TRACKING));
    qApp->installEventFilter(this);
}

bool CMainFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (m_trackingSplitter && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        QList<int> sizes = m_splitter->sizes();
        switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right: {
            const int step = key->key() == Qt::Key_Left ? -kSplitterStepPx : kSplitterStepPx;
            if (sizes.size() == 2) {
                sizes[0] += step;
                sizes[1] -= step;
                m_splitter->setSizes(sizes);
            }
            return true;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            m_trackingSplitter = false;
            statusBar()->clearMessage();
            qApp->removeEventFilter(this);
            return true;
        default:
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::OnDeviceNotify(uint32_t bits, CDevice *device)
{
    (void)bits;
    m_left->OnDeviceNotify();
    if (m_document && m_document->CurrentDevice() == device)
        m_right->RefreshFromDevice();
}

void CMainFrame::OnDeviceFound(const DiscoveryRecord &record)
{
    m_left->MergeDiscoveryRecord(record);
}

void CMainFrame::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    if (CDeviceList *list = m_document->DeviceList())
        list->SetNotifyTarget(m_notify);
    resize(kShownWidth, kShownHeight);
}

void CMainFrame::closeEvent(QCloseEvent *event)
{
    if (m_trackingSplitter) {
        m_trackingSplitter = false;
        qApp->removeEventFilter(this);
    }
    QMainWindow::closeEvent(event);
}
