// Dialog templates in dialog units.
//
// A template lists the controls of a dialog-like window: id, kind, caption, position
// and size in dialog units, styles. InstantiateTemplate creates the controls as
// children of a widget, in table order (which is also the Tab order), and sizes the
// widget. Dialog units become pixels through the base units of the widget's font:
// horizontal base = the average advance of "A".."Z","a".."z" (52 characters), rounded;
// vertical base = the font's height; x pixels = units × horizontal base / 4,
// y pixels = units × vertical base / 8 (rounded to the nearest pixel).
#pragma once

#include <QRect>
#include <QString>

#include <functional>
#include <span>

class QFont;
class QWidget;

namespace Tessaline::Ui {

enum class ControlKind {
    Static,         // text label (QLabel)
    Edit,           // one-line edit (QLineEdit)
    PushButton,     // QPushButton
    DefPushButton,  // the default button
    GroupBox,       // frame with a title (QGroupBox)
    ListBox,        // QListWidget
    CheckBox,       // QCheckBox
    Custom,         // made only by the caller's factory
};

// Style bits of a control.
enum ControlStyle : unsigned {
    CS_NONE = 0,
    CS_HIDDEN = 1u << 0,      // created hidden
    CS_DISABLED = 1u << 1,    // created disabled
    CS_RIGHT = 1u << 2,       // right-aligned text
    CS_CENTER = 1u << 3,      // centred text
    CS_PASSWORD = 1u << 4,    // edit hides its characters
    CS_AUTOHSCROLL = 1u << 5, // edit scrolls horizontally (the Qt edit always does)
    CS_BORDER = 1u << 6,
    CS_VSCROLL = 1u << 7,
    CS_NOTABSTOP = 1u << 8,
};

struct ControlTemplate {
    int id;  // -1 for a control nobody refers to
    ControlKind kind;
    const char *caption;  // UTF-8, may hold '&' for a mnemonic
    int x, y, width, height;  // dialog units
    unsigned styles = CS_NONE;
    const char *accessibleName = nullptr;  // default: the caption, or the label before it
};

struct DialogTemplate {
    int id;
    const char *caption;  // window title, or nullptr
    int width, height;    // dialog units
    std::span<const ControlTemplate> controls;
};

struct DialogBaseUnits {
    int x = 0;  // horizontal base unit, pixels
    int y = 0;  // vertical base unit, pixels
};

// Base units of a font by the rule above.
DialogBaseUnits BaseUnitsForFont(const QFont &font);
// Base units of a widget's font.
DialogBaseUnits BaseUnitsFor(const QWidget *widget);

// Multiplies and divides with rounding half away from zero (64-bit intermediate).
int MulDiv(int number, int numerator, int denominator);

// A rectangle in dialog units converted to pixels.
QRect MapDialogRect(const QRect &dialogUnits, DialogBaseUnits base);
QRect MapDialogRect(const QWidget *widget, const QRect &dialogUnits);

// Makes a control for a template entry, or returns nullptr to get the standard one.
// Custom controls must be made here.
using ControlFactory = std::function<QWidget *(const ControlTemplate &entry, QWidget *parent)>;

// Creates the template's controls as children of `parent` and gives the parent the
// template's size (its client size; a top-level window also gets the caption).
// Every control gets its id (see ControlId/GetDlgItem), its caption, styles and an
// accessible name. Returns false when a Custom entry got no control from the factory.
bool InstantiateTemplate(QWidget *parent, const DialogTemplate &dialog, const ControlFactory &factory = {});

// The child control with that id, or nullptr.
QWidget *GetDlgItem(const QWidget *parent, int id);
// The id of a control made from a template (or tagged with SetControlId), or -1.
int ControlId(const QWidget *control);
void SetControlId(QWidget *control, int id);

// The caption without mnemonic markers and a trailing colon, for accessible names.
QString PlainCaption(const QString &caption);

}  // namespace Tessaline::Ui
