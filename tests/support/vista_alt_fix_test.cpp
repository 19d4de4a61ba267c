#include "platform/linux/desktop/linux_system_theme.h"
#include "support/VistaAltFixUnit.h"
#include "tests/fakes/fake_system_theme.h"

#include <QCheckBox>
#include <QDialog>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;
using NameSet = std::set<std::string>;

// A small form like the main window: a tab control whose second page is not shown, buttons,
// labels and a group box; with a dialog of its own when asked.
std::unique_ptr<QWidget> MakeForm(const QString& name, bool withDialog = false) {
    auto form = std::make_unique<QWidget>();
    form->setObjectName(name);
    const auto add = [&](QWidget* control, const char* suffix, QRect geometry) {
        control->setObjectName(name + QString::fromLatin1(suffix));
        control->setGeometry(geometry);
        return control;
    };
    auto* tabs = new QTabWidget(form.get());
    add(tabs, ".Tabs", {0, 0, 300, 150});
    QWidget* page1 = add(new QWidget, ".Page1", {});
    QWidget* page2 = add(new QWidget, ".Page2", {});
    tabs->addTab(page1, QStringLiteral("One"));
    tabs->addTab(page2, QStringLiteral("Two"));
    add(new QPushButton(QStringLiteral("&Play"), page1), ".Button1", {5, 5, 80, 25});
    add(new QLabel(QStringLiteral("&Name"), page1), ".Label1", {5, 35, 80, 20});
    QWidget* group = add(new QGroupBox(QStringLiteral("&Box"), page1), ".Group", {100, 5, 150, 60});
    add(new QCheckBox(QStringLiteral("&Loud"), group), ".Check", {5, 20, 80, 20});
    add(new QPushButton(QStringLiteral("&Stop"), page2), ".Button2", {5, 5, 80, 25});
    add(new QLabel(QStringLiteral("State"), form.get()), ".Status", {5, 160, 80, 20});
    if (withDialog)
        add(new QDialog(form.get()), ".Dialog", {0, 0, 100, 50});
    form->resize(310, 190);
    return form;
}

// The controls a walk visits among those MakeForm made (Qt's own inner widgets left out).
Names Visits(QWidget& form, bool wholeForm) {
    Names visited;
    const RepaintControl record = [&](QWidget& control) {
        if (control.objectName().startsWith(form.objectName()))
            visited.push_back(control.objectName().toStdString());
    };
    wholeForm ? RepaintAllControls(form, record) : RepaintButtonControls(form, record);
    return visited;
}

// The next count names after name in visited.
NameSet Following(const Names& visited, const std::string& name, std::ptrdiff_t count) {
    const auto at = std::find(visited.begin(), visited.end(), name);
    return visited.end() - at > count ? NameSet(at + 1, at + 1 + count) : NameSet{};
}

TEST(RepaintWalks, WholeFormIsEveryControlDepthFirstHiddenPageIncluded) {
    for (int shownPage : {0, 1}) {
        SCOPED_TRACE(shownPage);
        const std::unique_ptr<QWidget> form = MakeForm(QStringLiteral("F"), true);
        form->findChild<QTabWidget*>()->setCurrentIndex(shownPage);
        const Names visited = Visits(*form, true);
        // Each control once, the form first; not the dialog, which is a form of its own.
        ASSERT_EQ(visited.size(), 10u);
        EXPECT_EQ(visited.front(), "F");
        EXPECT_EQ(visited.back(), "F.Status");
        // Each container is followed at once by everything inside it; which tab page comes
        // first is the tab control's stacking order.
        EXPECT_EQ(Following(visited, "F.Tabs", 7),
                  (NameSet{"F.Page1", "F.Button1", "F.Label1", "F.Group", "F.Check", "F.Page2",
                           "F.Button2"}));
        EXPECT_EQ(Following(visited, "F.Page1", 4),
                  (NameSet{"F.Button1", "F.Label1", "F.Group", "F.Check"}));
        EXPECT_EQ(Following(visited, "F.Group", 1), NameSet{"F.Check"});
        EXPECT_EQ(Following(visited, "F.Page2", 1), NameSet{"F.Button2"});
    }
    QObject notAControl;
    RepaintAllControls(notAControl, [](QWidget&) { FAIL(); });
}

TEST(RepaintWalks, ButtonsOnlyOnTheShownPage) {
    const std::vector<std::pair<int, Names>> cases = {{0, {"F.Button1", "F.Check"}},
                                                      {1, {"F.Button2"}}};
    for (const auto& [shownPage, buttons] : cases) {
        const std::unique_ptr<QWidget> form = MakeForm(QStringLiteral("F"), true);
        form->findChild<QTabWidget*>()->setCurrentIndex(shownPage);
        EXPECT_EQ(Visits(*form, false), buttons) << shownPage;
    }
}

// Counts the paint events of the controls of the forms a test made.
class PaintCounter : public QObject {
public:
    void Watch(QWidget& form) {
        form.installEventFilter(this);
        for (QWidget* control : form.findChildren<QWidget*>())
            if (control->objectName().startsWith(form.objectName()))
                control->installEventFilter(this);
    }
    // Containers draw too when a button in them is repainted, as the background under it; the
    // controls that contain nothing tell the kinds of repaint apart.
    NameSet PaintedLeaves() const {
        NameSet painted;
        for (const auto& [name, count] : paints)
            if (name.ends_with("Button1") || name.ends_with("Label1") || name.ends_with("Check") ||
                name.ends_with("Status"))
                painted.insert(name);
        return painted;
    }
    std::map<std::string, int> paints;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints[watched->objectName().toStdString()];
        return false;
    }
};

class KeyboardCueRepaint : public testing::Test {
protected:
    // Shown and drawn before the component exists: every paint counted later is its own.
    QWidget& ShownForm(const QString& name) {
        forms.push_back(MakeForm(name));
        forms.back()->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(forms.back().get()));
        counter.Watch(*forms.back());
        return *forms.back();
    }
    void StartCounting() {
        QCoreApplication::processEvents();
        counter.paints.clear();
    }
    // Hooks set and removed since the last look; the application lists its forms unordered.
    NameSet NewHooks() {
        NameSet hooks;
        for (; seenCalls < system.calls.size(); ++seenCalls)
            if (system.calls[seenCalls].find("hook ") != std::string::npos)
                hooks.insert(system.calls[seenCalls]);
        return hooks;
    }

    FakeSystemTheme system = FakeSystemTheme::ThemedVista();
    std::size_t seenCalls = 0;
    PaintCounter counter;
    std::vector<std::unique_ptr<QWidget>> forms;
};

TEST_F(KeyboardCueRepaint, InertUnlessWindows6WithThemes) {
    QWidget& form = ShownForm(QStringLiteral("A"));
    struct Case {
        std::optional<OsVersion> version;
        bool themes;
        bool active;
    };
    const std::vector<Case> cases = {
        {std::nullopt, true, false},     {OsVersion{5, 2}, true, false},
        {OsVersion{6, 0}, false, false}, {OsVersion{6, 0}, true, true},
        {OsVersion{10, 0}, true, true},
    };
    for (const Case& c : cases) {
        system.version = c.version;
        system.themesEnabled = c.themes;
        TVistaAltFix fix(nullptr, system);
        EXPECT_EQ(fix.Active(), c.active);
        fix.AppIdle();
        StartCounting();
        EXPECT_EQ(system.Send(form, WM_UPDATEUISTATE), c.active);
        fix.AppIdle();
        EXPECT_EQ(counter.PaintedLeaves().empty(), !c.active);
    }
    LinuxSystemTheme linuxSystem;
    EXPECT_FALSE(TVistaAltFix(nullptr, linuxSystem).Active());
}

TEST_F(KeyboardCueRepaint, FormsAreHookedAtTheIdleAfterTheyComeAndDroppedAfterTheyGo) {
    auto first = MakeForm(QStringLiteral("First"), true);
    TVistaAltFix fix(nullptr, system);
    EXPECT_EQ(NewHooks(), NameSet{});
    fix.AppIdle();
    EXPECT_EQ(NewHooks(), (NameSet{"hook First", "hook First.Dialog"}));

    // Shown or not, every window is a form; a popup is not.
    auto second = MakeForm(QStringLiteral("Second"));
    QMenu popup;
    popup.setObjectName(QStringLiteral("Popup"));
    popup.show();
    fix.AppIdle();
    fix.AppIdle();
    EXPECT_EQ(NewHooks(), NameSet{"hook Second"});

    first.reset();
    EXPECT_EQ(fix.WatchedForms(), 3u);
    fix.AppIdle();
    EXPECT_EQ(NewHooks(), (NameSet{"unhook First", "unhook First.Dialog"}));
    EXPECT_EQ(fix.WatchedForms(), 1u);
    auto third = MakeForm(QStringLiteral("Third"));
    fix.AppIdle();
    EXPECT_EQ(NewHooks(), NameSet{"hook Third"});
}

TEST_F(KeyboardCueRepaint, CueChangeRepaintsOnceAtIdleWholeOrOnlyTheButtons) {
    QWidget& form = ShownForm(QStringLiteral("A"));
    ShownForm(QStringLiteral("B")); // gets no cue change: nothing of it may be painted
    const std::vector<std::pair<bool, NameSet>> cases = {
        {true, {"A.Button1", "A.Label1", "A.Check", "A.Status"}},
        {false, {"A.Button1", "A.Check"}},
    };
    for (const auto& [repaintAll, painted] : cases) {
        SCOPED_TRACE(repaintAll);
        TVistaAltFix fix(nullptr, system);
        fix.SetRepaintAll(repaintAll);
        fix.AppIdle();
        StartCounting();
        for (int burst = 0; burst < 3; ++burst)
            system.Send(form, WM_UPDATEUISTATE);
        EXPECT_TRUE(counter.paints.empty()); // nothing in the message itself
        fix.AppIdle();
        EXPECT_EQ(counter.PaintedLeaves(), painted);
        if (!repaintAll) {
            EXPECT_EQ(counter.paints["A.Button1"], 1); // once for the burst
        }
        // No further repaint without a further change; other messages change nothing.
        StartCounting();
        for (std::uint32_t other : {0x000Fu, 0x0100u, 0x0127u, 0x0129u})
            system.Send(form, other);
        fix.AppIdle();
        EXPECT_TRUE(counter.paints.empty());
    }
}

TEST_F(KeyboardCueRepaint, FormsKeepTheChoiceMadeWhenTheyWereFirstSeen) {
    QWidget& early = ShownForm(QStringLiteral("Early"));
    TVistaAltFix fix(nullptr, system);
    fix.AppIdle();
    fix.SetRepaintAll(false);
    QWidget& late = ShownForm(QStringLiteral("Late"));
    fix.AppIdle();
    StartCounting();
    system.Send(early, WM_UPDATEUISTATE);
    system.Send(late, WM_UPDATEUISTATE);
    fix.AppIdle();
    EXPECT_EQ(counter.PaintedLeaves(), (NameSet{"Early.Button1", "Early.Label1", "Early.Check",
                                                "Early.Status", "Late.Button1", "Late.Check"}));
}

TEST_F(KeyboardCueRepaint, TheApplicationsIdleDrivesIt) {
    QWidget& form = ShownForm(QStringLiteral("A"));
    TVistaAltFix fix(nullptr, system);
    const auto runUntilIdle = [] {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    };
    runUntilIdle();
    EXPECT_EQ(NewHooks(), NameSet{"hook A"});
    StartCounting();
    system.Send(form, WM_UPDATEUISTATE);
    runUntilIdle();
    EXPECT_TRUE(counter.PaintedLeaves().contains("A.Label1"));
}

} // namespace
