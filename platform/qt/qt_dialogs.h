// Dialog widgets of the Qt backend, built from the template table.
//
// Every dialog is a real top-level window with a title bar and a close
// box. Sizes and control rectangles come from the template in dialog
// units, converted to pixels with the base units of the dialog font.
// Widgets only show state and report what the user does: a click, a key
// or typed text is handed to the window's input callback, which turns it
// into a message for the thread that owns the window. Widgets never run a
// dialog procedure themselves.
#pragma once

#include <QDialog>
#include <QFont>
#include <QPixmap>
#include <QRect>
#include <functional>
#include <string>

#include "platform/dialog_template.h"

// The program's texts are Windows-1252 (the dialogs' code page, and what a
// device's page holds): shown through Unicode, read back into the code
// page, a character it lacks becoming '?'.
QString fromCodePage(const char* text);
// '?' for a character the code page lacks; *lost (when given) is set then.
std::string toCodePage(const QString& text, bool* lost = nullptr);

// What the user did to a window.
struct UserInput {
    enum Kind { PRESS, TYPE, SELECT, FOCUS, RETURN, ESCAPE, CLOSE } kind;
    int control;       // PRESS, TYPE, SELECT, FOCUS
    int number;        // SELECT: the item
    std::string text;  // TYPE: the control's whole text
};
typedef std::function<void(const UserInput&)> InputCallback;

// The base units of a font, the way the dialog manager computes them: the
// average width of "A".."Z" and "a".."z" (the sum divided by 52, rounded)
// and the character height (the line spacing of text, rounded up). A horizontal dialog unit is a quarter of the
// first, a vertical one an eighth of the second.
struct BaseUnits {
    int x, y;
};

// Installs the substitute of the dialog face where the system lacks it
// ("MS Sans Serif" becomes a metric-compatible sans face). Call once after
// the application object exists.
void installDialogFontSubstitution();
// The template's font, at its point size.
QFont dialogFont(const DialogTemplate* tmpl);
BaseUnits baseUnitsOf(const QFont& font);
// Dialog units to pixels, rounded to the nearest pixel.
int dialogUnitsToPixelsX(int units, BaseUnits base);
int dialogUnitsToPixelsY(int units, BaseUnits base);
// The pixel rectangle of a control of the template (a drop-down list's
// height is its closed height; an icon is the picture's size).
QRect controlRect(const QWidget* widget, const DialogControl& control, BaseUnits base);

// A dialog window built from a template, or a message box.
class UlxDialog : public QDialog {
public:
    UlxDialog(int number, InputCallback input);
    int number() const { return number_; }
    void report(const UserInput& in) const { input_(in); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override {}  // Escape and the close box are reported, not obeyed
    void accept() override {}

private:
    int number_;
    InputCallback input_;
};

// Builds the window of the template with number `number`, hidden. Its
// client area and controls have the template's sizes; the tab order is
// the template order.
UlxDialog* buildDialog(const DialogTemplate* tmpl, int number, InputCallback input);
// A message box: the text, one OK button (id 1), sized to the text.
UlxDialog* buildMessageBox(int number, const char* caption, InputCallback input);
void setMessageBoxText(UlxDialog* box, const char* text);

// The control with the id (0: a message box's text), or null.
QWidget* dialogControl(QWidget* dialog, int id);
// Shows a text the way the control kind does ("\r\n" as line breaks).
void setControlText(QWidget* control, const char* text);
// The text as the program reads it back ("\r\n" between lines; the
// address entry as "a.b.c.d").
std::string controlText(QWidget* control);

// The pictures 106 (the adapter box) and 286 (the telephone), 32 x 32.
QPixmap iconPixmap(int iconId);
