// The document's commands through the real main window: which device becomes
// current, what is asked, what is saved.
#include "AppTest.h"

#include <ui/adddialog/AddDeviceDialog.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSplitter>
#include <QTimer>
#include <QPushButton>

using namespace AppTest;
using namespace Tessaline::Ui;

namespace {

// A device that never answers: nothing listens on port 1 of the loopback address.
constexpr const char *kDeadAddress = "127.0.0.1:1";

class DocumentTest : public AppFixture {};

TEST_F(DocumentTest, EmptyListShowsNothingAndDisablesDeviceCommands)
{
    ShowFrame();
    EXPECT_EQ(Rows()->count(), 0);
    EXPECT_EQ(m_doc->CurrentDevice(), nullptr);
    EXPECT_FALSE(Pane()->RemoveButton()->isEnabled());
    EXPECT_FALSE(m_frame->Router()->IsCommandEnabled(ID_DEVICE_REMOVE));
    EXPECT_FALSE(m_frame->Router()->IsCommandEnabled(ID_DEVICE_REFRESH));
    EXPECT_TRUE(m_frame->Router()->IsCommandEnabled(ID_DEVICE_REMOVE_ALL));
    EXPECT_TRUE(Props()->NameEdit()->text().isEmpty());
    EXPECT_FALSE(Props()->NameEdit()->isEnabled());
    EXPECT_FALSE(Props()->AddressEdit()->isEnabled());
    EXPECT_FALSE(Props()->PasswordEdit()->isEnabled());
    EXPECT_FALSE(Props()->RefreshButton()->isEnabled());
    EXPECT_FALSE(Props()->AdvancedButton()->isEnabled());
    EXPECT_FALSE(Props()->WebConfigButton()->isEnabled());
    EXPECT_TRUE(Props()->VideoModeText()->text().isEmpty());

    // Nothing to remove: no question at all, with or without "all".
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE_ALL);
    m_doc->OnRemoveDevice();
    EXPECT_TRUE(m_answers.questions.empty());
}

TEST_F(DocumentTest, WindowHasCaptionSizeAndMinimum)
{
    ShowFrame();
    EXPECT_EQ(m_frame->windowTitle(), QStringLiteral("Tessaline DirectShow Setup"));
    EXPECT_EQ(m_frame->size(), QSize(750, 530));
    EXPECT_EQ(m_frame->minimumSize(), QSize(600, 440));
    m_frame->hide();
    m_frame->resize(900, 700);
    m_frame->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(m_frame->size(), QSize(750, 530));
    const QList<int> sizes = m_frame->Splitter()->sizes();
    ASSERT_EQ(sizes.size(), 2);
    EXPECT_GE(sizes[0], 245);
    EXPECT_GE(sizes[1], 265);
}

TEST_F(DocumentTest, AboutBoxAndKeyboardBetweenPanes)
{
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Tessaline DirectShow Setup"));
    EXPECT_EQ(about.VersionText(), QStringLiteral("Version 3.24.9"));
    Screenshot(&about, QStringLiteral("about"));

    AddDevice("Keys", kDeadAddress);
    ShowFrame();
    m_frame->activateWindow();
    Rows()->setFocus();
    ASSERT_TRUE(WaitFor([this] { return Rows()->hasFocus(); }, 1000));
    QTest::keyClick(m_frame.get(), Qt::Key_F6);
    EXPECT_TRUE(Props()->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClick(m_frame.get(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_TRUE(Pane()->isAncestorOf(QApplication::focusWidget()));

    // Every control of both panes can be told apart by assistive tools.
    for (QWidget *pane : {static_cast<QWidget *>(Pane()), static_cast<QWidget *>(Props())}) {
        for (QWidget *child : pane->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QLineEdit *>(child) || qobject_cast<QPushButton *>(child) ||
                qobject_cast<QListWidget *>(child)) {
                EXPECT_FALSE(child->accessibleName().isEmpty()) << child->metaObject()->className();
            }
        }
    }
    EXPECT_EQ(Rows()->item(0)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("Keys, Connecting..."));
}

TEST_F(DocumentTest, FirstUpdateMakesFirstDeviceCurrent)
{
    CDevice *first = AddDevice("Alpha", kDeadAddress);
    AddDevice("Beta", kDeadAddress);
    ShowFrame();
    ASSERT_EQ(Rows()->count(), 2);
    EXPECT_EQ(m_doc->CurrentDevice(), first);
    EXPECT_EQ(Rows()->currentRow(), 0);
    EXPECT_TRUE(Pane()->RemoveButton()->isEnabled());
    EXPECT_TRUE(m_frame->Router()->IsCommandEnabled(ID_DEVICE_REFRESH));
    EXPECT_EQ(Props()->NameEdit()->text(), QStringLiteral("Alpha"));
    EXPECT_EQ(Props()->AddressEdit()->text(), QString::fromLatin1(kDeadAddress));

    // Clicking the second row makes it current and fills the properties.
    Rows()->setCurrentRow(1);
    EXPECT_EQ(m_doc->CurrentDevice(), ActiveAt(1));
    EXPECT_EQ(Props()->NameEdit()->text(), QStringLiteral("Beta"));
}

TEST_F(DocumentTest, RemovingPicksTheDeviceThatTookItsPlace)
{
    AddDevice("A", kDeadAddress);
    AddDevice("B", kDeadAddress);
    CDevice *c = AddDevice("C", kDeadAddress);
    ShowFrame();

    // Cancel changes nothing.
    m_doc->SetCurrentDevice(c);
    m_answers.answer = IDCANCEL;
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE);
    ASSERT_EQ(m_answers.questions.size(), 1u);
    EXPECT_EQ(m_answers.questions[0], QStringLiteral("Are you sure to delete device \"C\"?"));
    EXPECT_EQ(m_answers.types[0] & 0xF, static_cast<unsigned>(MB_OKCANCEL));
    EXPECT_EQ(ActiveCount(), 3u);

    // The last of three: the new last becomes current.
    m_answers.answer = IDOK;
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE);
    ASSERT_EQ(ActiveCount(), 2u);
    EXPECT_EQ(QString::fromStdString(m_doc->CurrentDevice()->GetName()), QStringLiteral("B"));
    EXPECT_FALSE(List().IsDirty());

    // The first: the former second becomes current.
    m_doc->SetCurrentDevice(ActiveAt(0));
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE);
    ASSERT_EQ(ActiveCount(), 1u);
    EXPECT_EQ(QString::fromStdString(m_doc->CurrentDevice()->GetName()), QStringLiteral("B"));

    // The only one: nothing is current, Remove and Refresh are off.
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE);
    EXPECT_EQ(ActiveCount(), 0u);
    EXPECT_EQ(m_doc->CurrentDevice(), nullptr);
    EXPECT_FALSE(Pane()->RemoveButton()->isEnabled());
    EXPECT_FALSE(m_frame->Router()->IsCommandEnabled(ID_DEVICE_REFRESH));
    EXPECT_TRUE(Props()->NameEdit()->text().isEmpty());

    // The removals were saved: a new document loads an empty list.
    EXPECT_TRUE(StoredDevices().empty());
}

TEST_F(DocumentTest, RemoveAllAsksTheRightQuestion)
{
    AddDevice("Solo", kDeadAddress);
    ShowFrame();
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE_ALL);
    ASSERT_EQ(m_answers.questions.size(), 1u);
    EXPECT_EQ(m_answers.questions[0], QStringLiteral("Are you sure to delete device \"Solo\"?"));
    EXPECT_EQ(ActiveCount(), 0u);

    m_answers.questions.clear();
    m_answers.types.clear();
    AddDevice("One", kDeadAddress);
    AddDevice("Two", kDeadAddress);
    m_doc->SetCurrentDevice(ActiveAt(1));
    m_answers.answer = IDCANCEL;
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE_ALL);
    ASSERT_EQ(m_answers.questions.size(), 1u);
    EXPECT_EQ(m_answers.questions[0],
              QStringLiteral("You're about to delete ALL your devices.\nThis action can not be undone. "
                             "Are you really sure?"));
    EXPECT_EQ(m_answers.types[0], static_cast<unsigned>(MB_OKCANCEL | MB_ICONEXCLAMATION));
    EXPECT_EQ(ActiveCount(), 2u);

    m_answers.answer = IDOK;
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE_ALL);
    EXPECT_EQ(ActiveCount(), 0u);
    EXPECT_EQ(m_doc->CurrentDevice(), nullptr);
    EXPECT_FALSE(List().IsDirty());
    // Clearing several rows at once deletes them without a collapse.
    EXPECT_EQ(Rows()->count(), 0);
}

TEST_F(DocumentTest, DeleteKeyAndContextMenuActOnTheCurrentDevice)
{
    CDevice *first = AddDevice("First", kDeadAddress);
    AddDevice("Second", kDeadAddress);
    AddDevice("Third", kDeadAddress);
    ShowFrame();
    ASSERT_EQ(m_doc->CurrentDevice(), first);

    // A right click on another row leaves the selection alone.
    const QRect second = Rows()->visualItemRect(Rows()->item(1));
    QTest::mouseClick(Rows()->viewport(), Qt::RightButton, Qt::NoModifier, second.center());
    EXPECT_EQ(m_doc->CurrentDevice(), first);
    EXPECT_EQ(Rows()->currentRow(), 0);

    // The menu's "Remove device" removes the current device, not the clicked one.
    QTimer::singleShot(50, [] {
        QWidget *popup = QApplication::activePopupWidget();
        ASSERT_NE(popup, nullptr);
        for (QAction *action : popup->actions()) {
            if (action->text() == QStringLiteral("Remove device"))
                action->trigger();
        }
        popup->close();
    });
    Pane()->ShowContextMenu(Rows()->viewport()->mapToGlobal(second.center()));
    ASSERT_EQ(m_answers.questions.size(), 1u);
    EXPECT_EQ(m_answers.questions[0], QStringLiteral("Are you sure to delete device \"First\"?"));
    EXPECT_EQ(ActiveCount(), 2u);

    // Delete in the list is "Remove".
    const QString current = QString::fromStdString(m_doc->CurrentDevice()->GetName());
    Rows()->setFocus();
    QTest::keyClick(Rows(), Qt::Key_Delete);
    ASSERT_EQ(m_answers.questions.size(), 2u);
    EXPECT_EQ(m_answers.questions[1], QStringLiteral("Are you sure to delete device \"%1\"?").arg(current));
    EXPECT_EQ(ActiveCount(), 1u);
}

TEST_F(DocumentTest, QuickRemovalsCollapseTogether)
{
    AddDevice("A", kDeadAddress);
    AddDevice("B", kDeadAddress);
    AddDevice("C", kDeadAddress);
    ShowFrame();
    CDevice *a = ActiveAt(0);
    CDevice *b = ActiveAt(1);
    const int refsBefore = b->RefCount();

    List().Remove(a);
    List().Remove(b);
    // Both rows stay, emptied, while they shrink; their references are back.
    ASSERT_EQ(Rows()->count(), 3);
    EXPECT_EQ(Rows()->DeviceAt(0), nullptr);
    EXPECT_EQ(Rows()->DeviceAt(1), nullptr);
    EXPECT_EQ(b->RefCount(), refsBefore - 1);
    EXPECT_GT(Rows()->CollapseHeight(), 0);

    ASSERT_TRUE(WaitFor([this] { return Rows()->count() == 1; }));
    EXPECT_EQ(Rows()->CollapseHeight(), 0);
    EXPECT_EQ(Rows()->DeviceAt(0), ActiveAt(0));
}

TEST_F(DocumentTest, WebConfigOpensTheAdminPageOnTheStoredPort)
{
    AddDevice("Web", "127.0.0.5:8080");
    ShowFrame();

    // Nothing registered: xdg-open with the URL.
    m_frame->Router()->SendCommand(ID_DEVICE_WEBCONFIG);
    ASSERT_EQ(m_launches.size(), 1u);
    EXPECT_EQ(m_launches[0].program, "xdg-open");
    EXPECT_EQ(m_launches[0].argv, (std::vector<std::string>{"xdg-open", "http://127.0.0.5:8080/admin"}));

    // A registered command with "%1" gets the URL in its place.
    {
        CKey key(CreateKeyPath(HKEY_CLASSES_ROOT, "http\\shell\\open\\command"));
        ASSERT_TRUE(key);
        ASSERT_TRUE(WriteText(key.get(), nullptr, "\"/opt/Web Browser/browse\" --new-tab \"%1\""));
    }
    m_frame->Router()->SendCommand(ID_DEVICE_WEBCONFIG);
    ASSERT_EQ(m_launches.size(), 2u);
    EXPECT_EQ(m_launches[1].program, "/opt/Web Browser/browse");
    EXPECT_EQ(m_launches[1].argv, (std::vector<std::string>{"/opt/Web Browser/browse", "--new-tab",
                                                            "http://127.0.0.5:8080/admin"}));
}

// The launch really starts a program with posix_spawn and no shell: a script
// records the arguments it was given.
TEST_F(DocumentTest, BrowserStartsWithoutAShell)
{
    SetBrowserSpawner({});
    const QString folder = QString::fromStdString(m_store->Dir());
    const QString script = QDir(folder).filePath(QStringLiteral("record.sh"));
    const QString out = QDir(folder).filePath(QStringLiteral("args.txt"));
    {
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1'\n").arg(out).toUtf8());
    }
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        CKey key(CreateKeyPath(HKEY_CLASSES_ROOT, "http\\shell\\open\\command"));
        ASSERT_TRUE(WriteText(key.get(), nullptr, (script.toStdString() + " %1").c_str()));
    }
    // An address with a space and a shell character stays one argument.
    EXPECT_GT(OpenAdminPage("host name;true"), 0);
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(out) && QFileInfo(out).size() > 0; }));
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()), QStringLiteral("http://host%20name;true/admin\n"));
}

}  // namespace

namespace {

class AddByHandTest : public AppFixture {};

TEST_F(AddByHandTest, AddedDeviceIsSavedAndCurrentCancelChangesNothing)
{
    AddDevice("Existing", kDeadAddress);
    ShowFrame();
    List().Save();

    // Cancel: nothing added, nothing saved.
    m_answers.modal = [](QDialog *dialog) -> std::optional<int> {
        auto *add = qobject_cast<CAddDeviceDialog *>(dialog);
        EXPECT_NE(add, nullptr);
        if (add) {
            add->InitDialog();
            add->AddressEdit()->setText(QStringLiteral("127.0.0.1:2"));
        }
        return QDialog::Rejected;
    };
    m_frame->Router()->SendCommand(ID_DEVICE_ADD);
    EXPECT_EQ(ActiveCount(), 1u);
    EXPECT_FALSE(List().IsDirty());

    // Add: the typed device joins the list, is saved and becomes current.
    m_answers.modal = [](QDialog *dialog) -> std::optional<int> {
        auto *add = qobject_cast<CAddDeviceDialog *>(dialog);
        if (!add)
            return QDialog::Rejected;
        add->InitDialog();
        add->NameEdit()->setText(QStringLiteral("By hand"));
        add->AddressEdit()->setText(QStringLiteral("127.0.0.1:3"));
        return QDialog::Accepted;
    };
    m_frame->Router()->SendCommand(ID_DEVICE_ADD);
    ASSERT_EQ(ActiveCount(), 2u);
    CDevice *added = ActiveAt(1);
    EXPECT_EQ(m_doc->CurrentDevice(), added);
    EXPECT_EQ(added->GetAddress(), "127.0.0.1:3");
    EXPECT_EQ(Rows()->count(), 2);
    EXPECT_EQ(Rows()->currentRow(), 1);
    EXPECT_FALSE(List().IsDirty());
    EXPECT_EQ(Props()->NameEdit()->text(), QStringLiteral("By hand"));

    const auto stored = StoredDevices();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1], (std::vector<std::string>{"By hand", "127.0.0.1:3", ""}));
}

}  // namespace
