// The framework layer: string table and formatter, timers, documents and command
// routing, posted device notifications, dialog templates and the prompt seam.
#include "screens/UiTestSupport.h"

#include <ui/framework/Command.h>
#include <ui/framework/DeviceNotify.h>
#include <ui/framework/DialogTemplate.h>
#include <ui/framework/Document.h>
#include <ui/framework/Prompts.h>
#include <ui/framework/StringTable.h>
#include <ui/framework/Timer.h>

#include <discovery/Discovery.h>
#include <store/Device.h>
#include <store/Guid.h>

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

using namespace Tessaline::Ui;

TEST(FrameworkStrings, TablesFromSeveralModulesAndPositionalInserts)
{
    static const StringEntry first[] = {{129, "Version %1!d!.%2!d!.%3!d!"}, {61001, "old"}};
    static const StringEntry second[] = {{61001, "Are you sure to delete device \"%1!ls!\"?"}, {61002, "100%% done%n"}};
    RegisterStringTable(first);
    RegisterStringTable(second);

    EXPECT_EQ(FormatMessageText(LoadString(129), {int64_t{3}, int64_t{24}, int64_t{9}}), QStringLiteral("Version 3.24.9"));
    // A later table replaces an id; inserts take texts.
    EXPECT_EQ(FormatMessageText(LoadString(61001), {QStringLiteral("Desk \u00e9")}),
              QStringLiteral("Are you sure to delete device \"Desk \u00e9\"?"));
    EXPECT_EQ(FormatMessageText(LoadString(61002), {}), QStringLiteral("100% done\n"));
    EXPECT_FALSE(FindString(61999).has_value());
    EXPECT_TRUE(LoadString(61999).isEmpty());

    // Inserts in any order, repeated, with width and hex conversions.
    EXPECT_EQ(FormatMessageText(QStringLiteral("%2 %1 %2!04X!"), {QStringLiteral("a"), int64_t{255}}),
              QStringLiteral("255 a 00FF"));
}

TEST(FrameworkStrings, FormatterFailsInsteadOfGuessing)
{
    // Too few arguments, a number where a text is asked, an unterminated conversion,
    // a trailing percent sign, a conversion that is not printf's.
    EXPECT_FALSE(FormatMessageText(QStringLiteral("%1 %2"), {int64_t{1}}).has_value());
    EXPECT_FALSE(FormatMessageText(QStringLiteral("%1!ls!"), {int64_t{1}}).has_value());
    EXPECT_FALSE(FormatMessageText(QStringLiteral("%1!d"), {int64_t{1}}).has_value());
    EXPECT_FALSE(FormatMessageText(QStringLiteral("50%"), {}).has_value());
    EXPECT_FALSE(FormatMessageText(QStringLiteral("%1!n!"), {int64_t{1}}).has_value());
    EXPECT_FALSE(FormatMessageText(QStringLiteral("%1!*d!"), {int64_t{1}}).has_value());
    EXPECT_EQ(FormatMessageText(QStringLiteral("a%0b"), {}), QStringLiteral("a"));
}

namespace {
class RecordingTimers : public CTimerHost {
public:
    void OnTimer(unsigned id) override
    {
        fired.push_back(id);
        if (id == 7 && ++sevens == 3)
            KillTimer(7);  // killed from inside its own expiry
    }
    std::vector<unsigned> fired;
    int sevens = 0;
};
}  // namespace

TEST(FrameworkTimers, RepeatUntilKilledAndRestartWithNewPeriod)
{
    RecordingTimers timers;
    timers.SetTimer(7, 5);
    EXPECT_TRUE(timers.IsTimerRunning(7));
    EXPECT_EQ(timers.TimerPeriod(7), 5);
    ASSERT_TRUE(UiTest::WaitUntil([&] { return timers.sevens == 3; }, 2000));
    UiTest::Pump(40);
    EXPECT_EQ(timers.sevens, 3);
    EXPECT_FALSE(timers.IsTimerRunning(7));
    EXPECT_FALSE(timers.KillTimer(7));

    // Restarting pushes the expiry out: a 300 ms timer restarted every 50 ms never fires.
    timers.SetTimer(9, 300);
    for (int i = 0; i < 8; ++i) {
        UiTest::Pump(50);
        timers.SetTimer(9, 300);
    }
    EXPECT_EQ(std::count(timers.fired.begin(), timers.fired.end(), 9u), 0);
    ASSERT_TRUE(UiTest::WaitUntil([&] { return std::count(timers.fired.begin(), timers.fired.end(), 9u) > 0; }, 2000));
    timers.KillTimer(9);

    // Scaled timers for tests: 10 s at 1 % fire within a second.
    SetTimerScalePercent(1);
    timers.SetTimer(11, 10000);
    SetTimerScalePercent(100);
    EXPECT_EQ(timers.TimerPeriod(11), 10000);
    EXPECT_TRUE(UiTest::WaitUntil([&] { return std::count(timers.fired.begin(), timers.fired.end(), 11u) > 0; }, 1000));
}

namespace {
class RecordingView : public CView {
public:
    void OnUpdate(CView *sender, long hint, void *object) override
    {
        updates.push_back({sender, hint, object});
        if (leaveOnHint && hint == leaveOnHint)
            GetDocument()->RemoveView(other);
    }
    struct Update {
        CView *sender;
        long hint;
        void *object;
    };
    std::vector<Update> updates;
    long leaveOnHint = 0;
    CView *other = nullptr;
};

class CountingDocument : public CDocument {
public:
    bool OnCommand(unsigned id) override
    {
        if (id != 1005 && id != 1012)
            return false;
        handled.push_back(id);
        return true;
    }
    std::optional<bool> QueryCommandEnabled(unsigned id) const override
    {
        if (id == 1005 || id == 1012)
            return hasCurrent;
        return std::nullopt;
    }
    bool hasCurrent = false;
    std::vector<unsigned> handled;
};

class FrameTarget : public CCommandTarget {
public:
    bool OnCommand(unsigned id) override
    {
        handled.push_back(id);
        return id == 57664;
    }
    std::vector<unsigned> handled;
};
}  // namespace

TEST(FrameworkDocument, UpdatesReachEveryViewButTheSender)
{
    CountingDocument doc;
    RecordingView a, b, c;
    doc.AddView(&a);
    doc.AddView(&b);
    doc.AddView(&c);
    doc.SendInitialUpdate();
    ASSERT_EQ(a.updates.size(), 1u);
    EXPECT_EQ(a.updates[0].hint, 0);

    int payload = 0;
    doc.UpdateAllViews(&a, 260, &payload);
    EXPECT_EQ(a.updates.size(), 1u);
    ASSERT_EQ(b.updates.size(), 2u);
    EXPECT_EQ(b.updates[1].sender, &a);
    EXPECT_EQ(b.updates[1].hint, 260);
    EXPECT_EQ(b.updates[1].object, &payload);

    // A view that takes another out of the document during an update: the other one
    // is not called any more.
    b.leaveOnHint = 288;
    b.other = &c;
    doc.UpdateAllViews(nullptr, 288);
    EXPECT_EQ(c.updates.size(), 2u);
    EXPECT_EQ(c.GetDocument(), nullptr);
    EXPECT_EQ(doc.Views().size(), 2u);
}

TEST(FrameworkDocument, CommandsFollowTheRouteAndTheEnabledState)
{
    CountingDocument doc;
    FrameTarget frame;
    CCommandRouter router;
    router.AddTarget(&doc);
    router.AddTarget(&frame);
    doc.SetCommandRouter(&router);

    QAction remove;
    QAction about;
    QPushButton refresh;
    router.Bind(&remove, 1005);
    router.Bind(&about, 57664);
    router.Bind(&refresh, 1012, true);
    EXPECT_FALSE(remove.isEnabled());
    EXPECT_FALSE(refresh.isEnabled());
    EXPECT_TRUE(about.isEnabled());

    // Disabled commands are not sent, even when triggered directly.
    EXPECT_FALSE(router.SendCommand(1005));
    EXPECT_TRUE(doc.handled.empty());

    // A document change refreshes the bound items.
    doc.hasCurrent = true;
    doc.UpdateAllViews(nullptr, 260);
    EXPECT_TRUE(remove.isEnabled());
    EXPECT_TRUE(refresh.isEnabled());

    remove.trigger();
    refresh.click();
    about.trigger();
    EXPECT_EQ(doc.handled, (std::vector<unsigned>{1005, 1012}));
    // The document declines 57664; the frame after it takes it.
    EXPECT_EQ(frame.handled, (std::vector<unsigned>{57664}));
    EXPECT_EQ(CCommandRouter::CommandId(&refresh), 1012u);
    // Nobody handles an unknown id.
    EXPECT_FALSE(router.SendCommand(4242));
}

namespace {
// Devices that never connect: loaded from an empty store, not started.
Ambry::Ref<CDevice> IdleDevice()
{
    return CDevice::LoadFromStore(NewGuid());
}
}  // namespace

TEST(FrameworkNotify, PostsFromThreadsArriveInOrderAndBalanceReferences)
{
    UiTest::TempStore store;
    Ambry::Ref<CDevice> one = IdleDevice();
    Ambry::Ref<CDevice> two = IdleDevice();
    ASSERT_TRUE(one && two);

    CDeviceNotifyTarget target;
    std::vector<std::pair<uint32_t, CDevice *>> seen;
    target.SetNotifyHandler([&](uint32_t bits, CDevice *device) { seen.emplace_back(bits, device); });

    constexpr int kPerThread = 200;
    auto poster = [&target](CDevice *device, uint32_t bits) {
        for (int i = 0; i < kPerThread; ++i) {
            device->AddRef();
            if (!target.PostDeviceNotify(bits, device))
                device->Release();
        }
    };
    std::thread a(poster, one.get(), NOTIFY_FRAME);
    std::thread b(poster, two.get(), NOTIFY_NAME);
    a.join();
    b.join();
    EXPECT_EQ(target.PendingNotifyCount(), 2u * kPerThread);
    EXPECT_EQ(one->RefCount(), 1 + kPerThread);

    ASSERT_TRUE(UiTest::WaitUntil([&] { return seen.size() == 2u * kPerThread; }, 5000));
    EXPECT_EQ(one->RefCount(), 1);
    EXPECT_EQ(two->RefCount(), 1);
    EXPECT_EQ(target.PendingNotifyCount(), 0u);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [&](auto &s) { return s.second == one.get() && s.first == NOTIFY_FRAME; }),
              kPerThread);
}

TEST(FrameworkNotify, WithdrawalDropsOneDeviceOnlyAndDestructionReleasesTheRest)
{
    UiTest::TempStore store;
    Ambry::Ref<CDevice> one = IdleDevice();
    Ambry::Ref<CDevice> two = IdleDevice();
    ASSERT_TRUE(one && two);

    std::vector<CDevice *> seen;
    {
        CDeviceNotifyTarget target;
        target.SetNotifyHandler([&](uint32_t, CDevice *device) { seen.push_back(device); });
        for (int i = 0; i < 3; ++i) {
            for (CDevice *d : {one.get(), two.get()}) {
                d->AddRef();
                ASSERT_TRUE(target.PostDeviceNotify(NOTIFY_STATE, d));
            }
        }
        target.WithdrawDeviceNotify(one.get());
        EXPECT_EQ(one->RefCount(), 1);
        EXPECT_EQ(target.PendingNotifyCount(one.get()), 0u);
        EXPECT_EQ(target.PendingNotifyCount(two.get()), 3u);
        EXPECT_TRUE(UiTest::WaitUntil([&] { return seen.size() >= 3; }, 2000));
        EXPECT_EQ(seen, (std::vector<CDevice *>{two.get(), two.get(), two.get()}));

        // Queued and never delivered: the target's end gives the references back.
        two->AddRef();
        ASSERT_TRUE(target.PostDeviceNotify(NOTIFY_STATE, two.get()));
        EXPECT_EQ(two->RefCount(), 2);
    }
    EXPECT_EQ(two->RefCount(), 1);

    // Attaching a device elsewhere withdraws what it queued at the old target, and the
    // receiver clears the delivered bits so the same change posts again.
    CDeviceNotifyTarget first, second;
    int firstSeen = 0, secondSeen = 0;
    first.SetNotifyHandler([&](uint32_t, CDevice *) { ++firstSeen; });
    second.SetNotifyHandler([&](uint32_t, CDevice *) { ++secondSeen; });
    one->AttachWindow(&first);
    one->SetName("changed");
    EXPECT_EQ(first.PendingNotifyCount(one.get()), 1u);
    one->AttachWindow(&second);
    EXPECT_EQ(first.PendingNotifyCount(), 0u);
    one->SetName("again");
    EXPECT_TRUE(UiTest::WaitUntil([&] { return secondSeen == 1; }, 2000));
    EXPECT_EQ(firstSeen, 0);
    EXPECT_EQ(one->NotifyInFlight(), 0u);
    one->SetName("third");
    EXPECT_TRUE(UiTest::WaitUntil([&] { return secondSeen == 2; }, 2000));
    one->AttachWindow(nullptr);
    EXPECT_EQ(one->RefCount(), 1);
}

TEST(FrameworkNotify, FoundRecordsAreCopied)
{
    CDeviceNotifyTarget target;
    std::vector<std::string> serials;
    target.SetFoundHandler([&](const DiscoveryRecord &r) { serials.emplace_back(r.serial_number); });
    {
        DiscoveryRecord record;
        std::snprintf(record.serial_number, sizeof record.serial_number, "TS0042");
        record.address = 0x7F000002;
        ASSERT_TRUE(target.PostDeviceFound(record));
        std::snprintf(record.serial_number, sizeof record.serial_number, "overwritten");
    }
    EXPECT_TRUE(UiTest::WaitUntil([&] { return !serials.empty(); }, 2000));
    EXPECT_EQ(serials, (std::vector<std::string>{"TS0042"}));
}

TEST(FrameworkTemplates, BaseUnitsAndInstantiation)
{
    EXPECT_EQ(MulDiv(7, 6, 4), 11);    // 10.5 rounds away from zero
    EXPECT_EQ(MulDiv(-7, 6, 4), -11);
    EXPECT_EQ(MulDiv(5, 6, 4), 8);     // 7.5
    EXPECT_EQ(MulDiv(1, 1, 3), 0);

    QWidget dialog;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    dialog.setFont(font);
    const DialogBaseUnits base = BaseUnitsFor(&dialog);
    const QFontMetrics metrics(font);
    EXPECT_EQ(base.y, metrics.height());
    const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ(base.x, (letters + 26) / 52);

    static const ControlTemplate controls[] = {
        {-1, ControlKind::Static, "&Name:", 10, 159, 37, 8},
        {1000, ControlKind::Edit, "", 54, 157, 165, 14, CS_DISABLED},
        {1035, ControlKind::Edit, "", 54, 197, 80, 14, CS_PASSWORD | CS_HIDDEN},
        {1012, ControlKind::DefPushButton, "Refresh", 92, 119, 50, 14},
        {1008, ControlKind::GroupBox, "Stream preview", 7, 4, 221, 135},
        {1003, ControlKind::Custom, "", 23, 20, 188, 76, CS_NONE, "Preview"},
    };
    static const DialogTemplate tmpl = {101, nullptr, 235, 242, controls};
    QLabel *custom = nullptr;
    ASSERT_TRUE(InstantiateTemplate(&dialog, tmpl, [&](const ControlTemplate &entry, QWidget *parent) -> QWidget * {
        if (entry.kind != ControlKind::Custom)
            return nullptr;
        custom = new QLabel(parent);
        return custom;
    }));
    EXPECT_EQ(dialog.size(), MapDialogRect(QRect(0, 0, 235, 242), base).size());
    auto *name = qobject_cast<QLineEdit *>(GetDlgItem(&dialog, 1000));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->geometry(), MapDialogRect(QRect(54, 157, 165, 14), base));
    EXPECT_EQ(name->geometry().left(), MulDiv(54, base.x, 4));
    EXPECT_FALSE(name->isEnabled());
    EXPECT_EQ(name->accessibleName(), QStringLiteral("Name"));
    auto *password = qobject_cast<QLineEdit *>(GetDlgItem(&dialog, 1035));
    ASSERT_NE(password, nullptr);
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(password->isHidden());
    auto *refresh = qobject_cast<QPushButton *>(GetDlgItem(&dialog, 1012));
    ASSERT_NE(refresh, nullptr);
    EXPECT_TRUE(refresh->isDefault());
    EXPECT_EQ(refresh->accessibleName(), QStringLiteral("Refresh"));
    EXPECT_EQ(GetDlgItem(&dialog, 1003), custom);
    EXPECT_EQ(custom->accessibleName(), QStringLiteral("Preview"));
    EXPECT_EQ(GetDlgItem(&dialog, 4242), nullptr);

    // A custom control that the factory does not make is reported.
    QWidget other;
    EXPECT_FALSE(InstantiateTemplate(&other, tmpl));
    EXPECT_NE(GetDlgItem(&other, 1000), nullptr);
}

namespace {
class ScriptedResponder : public CPromptResponder {
public:
    int OnMessageBox(QWidget *, const QString &text, unsigned type) override
    {
        questions.push_back(text);
        types.push_back(type);
        return answer;
    }
    std::optional<QString> OnFileDialog(QWidget *, bool save, const QString &, const QString &,
                                        const QString &) override
    {
        return save ? std::optional<QString>(QStringLiteral("/tmp/out.bmp")) : std::nullopt;
    }
    std::optional<int> OnModalDialog(QDialog *dialog) override
    {
        dialogs.push_back(dialog);
        return QDialog::Accepted;
    }
    int answer = IDCANCEL;
    std::vector<QString> questions;
    std::vector<unsigned> types;
    std::vector<QDialog *> dialogs;
};
}  // namespace

TEST(FrameworkPrompts, ResponderAnswersEveryQuestion)
{
    ScriptedResponder responder;
    {
        CScopedPromptResponder scope(&responder);
        responder.answer = IDOK;
        EXPECT_EQ(MessageBox(nullptr, QStringLiteral("Are you sure?"), MB_OKCANCEL | MB_ICONEXCLAMATION), IDOK);
        EXPECT_EQ(GetSaveFileName(nullptr, {}, {}, {}), QStringLiteral("/tmp/out.bmp"));
        EXPECT_FALSE(GetOpenFileName(nullptr, {}, {}, {}).has_value());
        QDialog dialog;
        EXPECT_EQ(RunModal(&dialog), QDialog::Accepted);
        EXPECT_EQ(responder.dialogs, (std::vector<QDialog *>{&dialog}));
    }
    EXPECT_EQ(responder.questions, (std::vector<QString>{QStringLiteral("Are you sure?")}));
    EXPECT_EQ(responder.types, (std::vector<unsigned>{MB_OKCANCEL | MB_ICONEXCLAMATION}));
    EXPECT_EQ(SetPromptResponder(nullptr), nullptr);
}
