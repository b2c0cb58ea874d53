#pragma once

#include <span>

class QFont;
class QWidget;

// Dialog templates: each control with its id, kind, text and rectangle in dialog units, in
// template (and so creation and tab) order.
namespace approbe::ui {

enum class ControlKind { PushButton, Label, Edit, PasswordEdit, ReadOnlyEdit, ListBox, GroupBox, ProgressBar };

enum ControlFlags : unsigned {
    kTabStop = 1u << 0,
    kDefaultButton = 1u << 1,
};

struct ControlTemplate {
    int id; // -1 for controls that are never addressed
    ControlKind kind;
    const char* text;
    int x, y, w, h;
    unsigned flags = 0;
};

struct DialogTemplate {
    const char* caption;
    int w, h; // dialog units
    std::span<const ControlTemplate> controls;
};

extern const DialogTemplate kProbeDialogTemplate;
extern const DialogTemplate kAboutDialogTemplate;

// Pixels per dialog unit come from the dialog font: a horizontal unit is a quarter of its
// average character width, a vertical unit an eighth of its height.
struct DialogUnits {
    explicit DialogUnits(const QFont& font);
    int x(int du) const;
    int y(int du) const;
    int baseX, baseY;
};

// The desktop's sans-serif at 8 pt: small enough for the dialog's fixed 260 x 272 unit layout.
QFont DialogFont();

// Creates the template's controls as children of parent, placed and sized, fixes the parent's
// size and sets the tab order. Each created widget carries its id in the "controlId" property and
// its place in the template in "templateIndex".
void BuildDialog(QWidget& parent, const DialogTemplate& tmpl);

} // namespace approbe::ui
