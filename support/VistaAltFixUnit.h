#pragma once

// TVistaAltFix: on Windows 6.0 and later with visual themes, a form's controls do not redraw
// their underlined accelerator letters when the Alt key shows or hides them. The component
// watches every form of the application for the system's keyboard-cue change and repaints the
// form once the application is idle. Elsewhere it is inert and hooks nothing.

#include <QList>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QWidget;
class SystemTheme;
struct TFormObj;

class TVistaAltFix : public QObject {
    Q_OBJECT
public:
    // Asks the system once whether the repaint is needed; the system must outlive the
    // component.
    TVistaAltFix(QObject* owner, SystemTheme& system);
    // Unhooks every form still hooked.
    ~TVistaAltFix() override;

    // Whether forms are repainted whole, or only their buttons. Each form keeps the choice made
    // when it was first seen.
    bool RepaintAll() const { return FRepaintAll; }
    void SetRepaintAll(bool repaintAll) { FRepaintAll = repaintAll; }

    // Whether the component watches forms at all; settled at creation.
    bool Active() const { return FFormObjs.has_value(); }
    // How many forms are watched.
    std::size_t WatchedForms() const { return FFormObjs ? FFormObjs->size() : 0; }

    // Runs whenever the application has nothing else to do: hooks forms not seen before, drops
    // the records of forms that are gone and repaints the forms whose keyboard cues changed.
    void AppIdle();

private:
    SystemTheme& system_;
    std::optional<std::vector<std::unique_ptr<TFormObj>>> FFormObjs;
    // The idle notification's connection lives as long as this object.
    std::unique_ptr<QObject> FAppEvents;
    bool FRepaintAll = true;
};

// True on Windows 6.0 and later with visual themes on.
bool AltFixNeeded(SystemTheme& system);

// The application's forms: its top-level windows, dialogs and tool windows, shown or not.
// Popups and tool tips are not forms.
QList<QWidget*> ApplicationForms();

using RepaintControl = std::function<void(QWidget& control)>;

// The control, then every control inside it, depth first in the order of their creation, pages
// of a tab control that are not shown included. Windows of their own (dialogs, popups) are not
// part of the control that owns them.
void RepaintAllControls(QObject& control, const RepaintControl& repaint);

// Only the buttons (push buttons, check boxes, radio buttons) inside the control, in the same
// order, leaving out the pages of a tab control that are not shown.
void RepaintButtonControls(QObject& control, const RepaintControl& repaint);
