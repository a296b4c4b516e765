#include "platform/qt/qt_dialogs.h"

#include "platform/posix/code_page.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <cmath>

#include "platform/qt/address_entry.h"

#include "platform/qt/icons/ulx-adapter.xpm"
#include "platform/qt/icons/ulx-phone.xpm"

QString fromCodePage(const char* text) { return QString::fromUtf8(cp1252ToUtf8(text)); }

std::string toCodePage(const QString& text, bool* lost) {
    std::string out;
    for (char32_t cp : text.toUcs4()) {
        out += toCp1252(cp);
        if (lost && out.back() == '?' && cp != U'?') *lost = true;
    }
    return out;
}

namespace {

const char ID_PROPERTY[] = "ulxId";
const char KIND_PROPERTY[] = "ulxKind";
constexpr int ICON_SIZE = 32;
constexpr int MESSAGE_TEXT = 0;

// "\r\n" (and a lone "\r") become the widgets' line breaks.
QString fromProgramText(const char* text) {
    QString s = fromCodePage(text);
    s.replace("\r\n", "\n");
    s.remove('\r');
    return s;
}

std::string toProgramText(const QString& s) {
    QString out = s;
    out.replace("\n", "\r\n");
    return toCodePage(out);
}

// Read-only edits show the dialog's face colour, as the system draws them.
void readOnlyLook(QWidget* w) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Window));
    w->setPalette(pal);
}

int kindOf(const QWidget* w) {
    QVariant v = w->property(KIND_PROPERTY);
    return v.isValid() ? v.toInt() : -1;
}

QWidget* makeControl(UlxDialog* dlg, const DialogControl& c, BaseUnits base) {
    QWidget* w = nullptr;
    Qt::Alignment align = (c.style & STY_RIGHT)    ? Qt::AlignRight
                          : (c.style & STY_CENTER) ? Qt::AlignHCenter
                                                   : Qt::AlignLeft;
    switch (c.kind) {
        case CTL_BUTTON: {
            auto* b = new QPushButton(fromCodePage(c.text), dlg);
            b->setAutoDefault(false);
            b->setDefault(c.style & STY_DEFAULT);
            QObject::connect(b, &QPushButton::clicked, dlg, [dlg, id = c.id] {
                dlg->report({UserInput::PRESS, id, 0, {}});
            });
            w = b;
            break;
        }
        case CTL_TEXT_AREA: {
            auto* t = new QPlainTextEdit(dlg);
            t->setReadOnly(true);
            t->setLineWrapMode(QPlainTextEdit::NoWrap);
            t->setFrameShape(QFrame::NoFrame);
            t->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            t->document()->setDocumentMargin(0);
            t->setTabChangesFocus(true);
            t->setPlainText(fromProgramText(c.text));
            readOnlyLook(t);
            t->viewport()->installEventFilter(dlg);
            w = t;
            break;
        }
        case CTL_TEXT_LINE:
        case CTL_FIELD:
        case CTL_ENTRY_FIELD: {
            auto* e = new QLineEdit(fromCodePage(c.text), dlg);
            e->setFrame(c.kind != CTL_TEXT_LINE);
            e->setAlignment(align | Qt::AlignVCenter);
            if (c.kind == CTL_TEXT_LINE) e->setTextMargins(-2, 0, 0, 0);  // no border: the text starts at the edge
            if (c.kind == CTL_ENTRY_FIELD) {
                if (c.style & STY_PASSWORD) e->setEchoMode(QLineEdit::Password);
                QObject::connect(e, &QLineEdit::textEdited, dlg, [dlg, id = c.id](const QString& s) {
                    dlg->report({UserInput::TYPE, id, 0, s.toStdString()});
                });
            } else {
                e->setReadOnly(true);
                readOnlyLook(e);
            }
            w = e;
            break;
        }
        case CTL_LABEL: {
            auto* l = new QLabel(fromProgramText(c.text), dlg);
            l->setTextFormat(Qt::PlainText);
            l->setWordWrap(true);
            l->setAlignment(align | Qt::AlignTop);
            w = l;
            break;
        }
        case CTL_PROGRESS: {
            auto* p = new QProgressBar(dlg);
            p->setTextVisible(false);
            p->setRange(0, 100);
            p->setValue(0);
            w = p;
            break;
        }
        case CTL_COMBO: {
            auto* box = new QComboBox(dlg);
            // The list drops as far as the template's height allows.
            int listHeight = dialogUnitsToPixelsY(c.cy, base);
            box->setMaxVisibleItems(qMax(1, listHeight / qMax(1, base.y)));
            QObject::connect(box, QOverload<int>::of(&QComboBox::activated), dlg, [dlg, id = c.id](int index) {
                dlg->report({UserInput::SELECT, id, index, {}});
            });
            w = box;
            break;
        }
        case CTL_ICON: {
            auto* l = new QLabel(dlg);
            l->setPixmap(iconPixmap(c.iconId));
            w = l;
            break;
        }
        case CTL_IP_ADDRESS: {
            auto* a = new AddressEntry(dlg);
            a->onEdited([dlg, a, id = c.id] { dlg->report({UserInput::TYPE, id, 0, a->text()}); });
            for (int i = 0; i < 4; ++i) a->field(i)->installEventFilter(dlg);
            w = a;
            break;
        }
    }
    w->setProperty(ID_PROPERTY, c.id);
    w->setProperty(KIND_PROPERTY, static_cast<int>(c.kind));
    w->setGeometry(controlRect(w, c, base));
    // Controls with a tab stop take the focus by Tab and by click; the
    // others by click at most.
    bool focusable = c.kind != CTL_LABEL && c.kind != CTL_PROGRESS && c.kind != CTL_ICON;
    if (c.kind != CTL_IP_ADDRESS)
        w->setFocusPolicy(!focusable ? Qt::NoFocus : (c.style & STY_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
    w->installEventFilter(dlg);
    return w;
}

}  // namespace

// ---------------------------------------------------------------- font

void installDialogFontSubstitution() {
    // A face the system lacks is replaced by one of the same metrics.
    if (!QFontDatabase::families().contains("MS Sans Serif"))
        QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Arimo", "Arial", "Helvetica"});
}

QFont dialogFont(const DialogTemplate* tmpl) {
    QFont f(QString::fromUtf8(tmpl && tmpl->fontFace ? tmpl->fontFace : "MS Sans Serif"));
    f.setPointSize(tmpl && tmpl->fontPoints > 0 ? tmpl->fontPoints : 8);
    f.setStyleHint(QFont::SansSerif);
    // Whole-pixel glyph advances, as the system's bitmap face has: texts
    // then measure the same on every screen and fit their controls.
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// The character height is the distance at which text layouts put one line
// below the other (rounded up), so that a control n units high holds as
// many lines as on the system the templates were drawn for.
BaseUnits baseUnitsOf(const QFont& font) {
    QFontMetrics m(font);
    int letters = m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return BaseUnits{(letters + 26) / 52, static_cast<int>(std::ceil(QFontMetricsF(font).lineSpacing()))};
}

int dialogUnitsToPixelsX(int units, BaseUnits base) { return (units * base.x + 2) / 4; }
int dialogUnitsToPixelsY(int units, BaseUnits base) { return (units * base.y + 4) / 8; }

QRect controlRect(const QWidget* widget, const DialogControl& c, BaseUnits base) {
    int x = dialogUnitsToPixelsX(c.x, base), y = dialogUnitsToPixelsY(c.y, base);
    if (c.kind == CTL_ICON) return QRect(x, y, ICON_SIZE, ICON_SIZE);
    int w = dialogUnitsToPixelsX(c.cx, base), h = dialogUnitsToPixelsY(c.cy, base);
    // A drop-down list's rectangle includes its dropped list; closed, it
    // is as high as its text needs.
    if (c.kind == CTL_COMBO) h = widget ? widget->sizeHint().height() : base.y + 8;
    return QRect(x, y, w, h);
}

// ---------------------------------------------------------------- window

UlxDialog::UlxDialog(int number, InputCallback input) : number_(number), input_(std::move(input)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(false);  // modality is the program's own loop, never the toolkit's
    setSizeGripEnabled(false);
}

void UlxDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    report({UserInput::CLOSE, 0, 0, {}});
}

void UlxDialog::keyPressEvent(QKeyEvent* event) {
    if (!eventFilter(this, event)) QDialog::keyPressEvent(event);
}

// Enter and Escape anywhere in the window are the dialog's keys; a change
// of the keyboard focus is reported so that Enter knows the focused button.
bool UlxDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (!key->isAutoRepeat()) report({UserInput::RETURN, 0, 0, {}});
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            if (!key->isAutoRepeat()) report({UserInput::ESCAPE, 0, 0, {}});
            return true;
        }
    } else if (event->type() == QEvent::FocusIn) {
        for (QObject* o = watched; o && o != this; o = o->parent()) {
            QVariant id = o->property(ID_PROPERTY);
            if (id.isValid()) {
                report({UserInput::FOCUS, id.toInt(), 0, {}});
                break;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

UlxDialog* buildDialog(const DialogTemplate* tmpl, int number, InputCallback input) {
    auto* dlg = new UlxDialog(number, std::move(input));
    QFont font = dialogFont(tmpl);
    dlg->setFont(font);
    BaseUnits base = baseUnitsOf(font);
    dlg->setWindowTitle(fromCodePage(tmpl->caption ? tmpl->caption : ""));
    dlg->setFixedSize(dialogUnitsToPixelsX(tmpl->cx, base), dialogUnitsToPixelsY(tmpl->cy, base));
    QWidget* previous = nullptr;
    for (int i = 0; i < tmpl->controlCount; ++i) {
        const DialogControl& c = tmpl->controls[i];
        QWidget* w = makeControl(dlg, c, base);
        if (!(c.style & STY_TABSTOP)) continue;
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
    return dlg;
}

UlxDialog* buildMessageBox(int number, const char* caption, InputCallback input) {
    auto* box = new UlxDialog(number, std::move(input));
    QFont font = dialogFont(nullptr);
    box->setFont(font);
    box->setWindowTitle(fromCodePage(caption));
    auto* text = new QLabel(box);
    text->setTextFormat(Qt::PlainText);
    text->setProperty(ID_PROPERTY, MESSAGE_TEXT);
    text->setProperty(KIND_PROPERTY, static_cast<int>(CTL_LABEL));
    auto* ok = new QPushButton("OK", box);
    ok->setProperty(ID_PROPERTY, 1);
    ok->setProperty(KIND_PROPERTY, static_cast<int>(CTL_BUTTON));
    ok->setDefault(true);
    ok->setFocus();
    ok->installEventFilter(box);
    QObject::connect(ok, &QPushButton::clicked, box, [box] { box->report({UserInput::PRESS, 1, 0, {}}); });
    setMessageBoxText(box, "");
    return box;
}

// The box fits its text: margins of 11 x 7 dialog units around it, and an
// OK button of 50 x 14 units centred below.
void setMessageBoxText(UlxDialog* box, const char* text) {
    BaseUnits base = baseUnitsOf(box->font());
    auto* label = static_cast<QLabel*>(dialogControl(box, MESSAGE_TEXT));
    auto* ok = dialogControl(box, 1);
    label->setText(fromProgramText(text));
    QSize textSize =
        QFontMetrics(box->font()).boundingRect(QRect(0, 0, 2000, 2000), Qt::AlignLeft, label->text()).size();
    int mx = dialogUnitsToPixelsX(11, base), my = dialogUnitsToPixelsY(7, base);
    int bw = dialogUnitsToPixelsX(50, base), bh = dialogUnitsToPixelsY(14, base);
    int width = qMax(textSize.width(), bw) + 2 * mx;
    width = qMax(width, QFontMetrics(box->font()).horizontalAdvance(box->windowTitle()) + 4 * mx);
    label->setGeometry(mx, my, width - 2 * mx, textSize.height());
    ok->setGeometry((width - bw) / 2, my + textSize.height() + my, bw, bh);
    box->setFixedSize(width, my + textSize.height() + my + bh + my);
}

// ---------------------------------------------------------------- controls

QWidget* dialogControl(QWidget* dialog, int id) {
    for (QWidget* w : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        QVariant v = w->property(ID_PROPERTY);
        if (v.isValid() && v.toInt() == id) return w;
    }
    return nullptr;
}

void setControlText(QWidget* w, const char* text) {
    if (auto* t = qobject_cast<QPlainTextEdit*>(w)) t->setPlainText(fromProgramText(text));
    else if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(fromCodePage(text)), e->setCursorPosition(0);
    else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(fromProgramText(text));
    else if (auto* b = qobject_cast<QPushButton*>(w)) b->setText(fromCodePage(text));
    else if (kindOf(w) == CTL_IP_ADDRESS) static_cast<AddressEntry*>(w)->setText(text);
}

std::string controlText(QWidget* w) {
    if (auto* t = qobject_cast<QPlainTextEdit*>(w)) return toProgramText(t->toPlainText());
    if (auto* e = qobject_cast<QLineEdit*>(w)) return toCodePage(e->text());
    if (auto* l = qobject_cast<QLabel*>(w)) return toProgramText(l->text());
    if (auto* b = qobject_cast<QPushButton*>(w)) return toCodePage(b->text());
    if (auto* c = qobject_cast<QComboBox*>(w)) return toCodePage(c->currentText());
    if (kindOf(w) == CTL_IP_ADDRESS) return static_cast<AddressEntry*>(w)->text();
    return std::string();
}

QPixmap iconPixmap(int iconId) { return QPixmap(iconId == 286 ? ulx_phone_xpm : ulx_adapter_xpm); }
