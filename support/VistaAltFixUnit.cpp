#include "support/VistaAltFixUnit.h"

#include "platform/system_theme.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QPointer>
#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>

// One watched form. The hook stays on the form for as long as the record lives; freeing the
// record puts the form's own window procedure back, so a form that outlives its record never
// calls into a record that is gone.
struct TFormObj {
    TFormObj(QWidget& form, bool wholeForm, SystemTheme& system)
        : TargetForm(&form), WholeForm(wholeForm) {
        SavedWndProc =
            system.HookWindowProc(form, [this](std::uint32_t message) { HookedWndProc(message); });
    }

    // Called after the form has handled the message itself. Only a flag is set: the repaint
    // waits for idle, so a burst of changes costs one repaint.
    void HookedWndProc(std::uint32_t message) {
        if (message == WM_UPDATEUISTATE)
            RepaintPending = true;
    }

    void RepaintIfPending() {
        if (!RepaintPending)
            return;
        RepaintPending = false;
        if (TargetForm == nullptr)
            return;
        const RepaintControl now = [](QWidget& control) { control.repaint(); };
        if (WholeForm)
            RepaintAllControls(*TargetForm, now);
        else
            RepaintButtonControls(*TargetForm, now);
    }

    // Followed by identity; a form destroyed between two idle passes reads as null here, so
    // another form that happens to get its address is not mistaken for it.
    QPointer<QWidget> TargetForm;
    std::unique_ptr<WindowProcHook> SavedWndProc;
    bool Present = true;
    bool RepaintPending = false;
    bool WholeForm;
};

namespace {

bool IsHiddenTabPage(const QWidget& control) {
    const auto* stack = qobject_cast<const QStackedWidget*>(control.parentWidget());
    if (stack == nullptr)
        return false;
    const auto* tabs = qobject_cast<const QTabWidget*>(stack->parentWidget());
    return tabs != nullptr && tabs->indexOf(&control) != tabs->currentIndex();
}

// The controls inside control; a child that is a window of its own is a form of its own.
QList<QWidget*> ChildControls(const QWidget& control) {
    QList<QWidget*> controls;
    for (QObject* child : control.children())
        if (auto* widget = qobject_cast<QWidget*>(child); widget != nullptr && !widget->isWindow())
            controls.append(widget);
    return controls;
}

} // namespace

TVistaAltFix::TVistaAltFix(QObject* owner, SystemTheme& system) : QObject(owner), system_(system) {
    if (!AltFixNeeded(system_))
        return;
    FFormObjs.emplace();
    FAppEvents = std::make_unique<QObject>();
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, FAppEvents.get(),
                [this] { AppIdle(); });
}

TVistaAltFix::~TVistaAltFix() {
    FAppEvents.reset();
    FFormObjs.reset();
}

void TVistaAltFix::AppIdle() {
    if (!FFormObjs)
        return;
    std::vector<std::unique_ptr<TFormObj>>& records = *FFormObjs;
    for (const std::unique_ptr<TFormObj>& record : records)
        record->Present = false;
    for (QWidget* form : ApplicationForms()) {
        bool found = false;
        for (const std::unique_ptr<TFormObj>& record : records)
            if (record->TargetForm == form) {
                record->Present = true;
                found = true;
                break;
            }
        if (!found)
            records.push_back(std::make_unique<TFormObj>(*form, FRepaintAll, system_));
    }
    // Backwards, so that deleting a record does not move the ones still to be visited.
    for (std::size_t i = records.size(); i-- > 0;) {
        if (records[i]->Present)
            records[i]->RepaintIfPending();
        else
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

bool AltFixNeeded(SystemTheme& system) {
    const std::optional<OsVersion> version = system.GetVersionEx();
    return version && version->major >= 6 && system.ThemesEnabled();
}

QList<QWidget*> ApplicationForms() {
    QList<QWidget*> forms;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        switch (widget->windowType()) {
        case Qt::Window:
        case Qt::Dialog:
        case Qt::Sheet:
        case Qt::Drawer:
        case Qt::Tool:
            forms.append(widget);
            break;
        default:
            break;
        }
    }
    return forms;
}

void RepaintAllControls(QObject& control, const RepaintControl& repaint) {
    auto* widget = qobject_cast<QWidget*>(&control);
    if (widget == nullptr)
        return;
    repaint(*widget);
    for (QWidget* child : ChildControls(*widget))
        RepaintAllControls(*child, repaint);
}

void RepaintButtonControls(QObject& control, const RepaintControl& repaint) {
    auto* widget = qobject_cast<QWidget*>(&control);
    if (widget == nullptr)
        return;
    if (qobject_cast<QAbstractButton*>(widget) != nullptr) {
        repaint(*widget);
        return;
    }
    if (IsHiddenTabPage(*widget))
        return;
    for (QWidget* child : ChildControls(*widget))
        RepaintButtonControls(*child, repaint);
}
