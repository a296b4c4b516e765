#include "platform/qt/address_entry.h"

#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>

namespace {
// A field's number, or -1 when it is empty.
int fieldValue(const QLineEdit* f) { return f->text().isEmpty() ? -1 : f->text().toInt(); }
}  // namespace

AddressEntry::AddressEntry(QWidget* parent) : QWidget(parent) {
    // A bordered, empty edit behind the fields draws the control's frame.
    auto* frame = new QLineEdit(this);
    frame->setObjectName("frame");
    frame->setReadOnly(true);
    frame->setFocusPolicy(Qt::NoFocus);
    auto* validator = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int i = 0; i < 4; ++i) {
        auto* f = new QLineEdit(this);
        f->setFrame(false);
        f->setAlignment(Qt::AlignCenter);
        f->setValidator(validator);
        // Tab enters the control through its first field (a proxy's own
        // policy does not count) and leaves it from any field.
        f->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        f->installEventFilter(this);
        connect(f, &QLineEdit::textEdited, this, [this, i] {
            if (fields_[i]->text().size() == 3) {
                clampField(i);
                if (i < 3) moveTo(i + 1, true);
            }
            if (edited_) edited_();
        });
        fields_[i] = f;
        if (i < 3) {
            auto* dot = new QLabel(".", this);
            dot->setObjectName(QString("dot%1").arg(i));
            dot->setAlignment(Qt::AlignCenter);
        }
    }
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(fields_[0]);
}

std::string AddressEntry::text() const {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        int v = fieldValue(fields_[i]);
        if (v < 0) v = 0;
        if (v > 255) v = 255;
        if (i) out += '.';
        out += std::to_string(v);
    }
    return out;
}

void AddressEntry::setText(const std::string& text) {
    QStringList parts = QString::fromStdString(text).split('.');
    for (int i = 0; i < 4; ++i) fields_[i]->setText(i < parts.size() ? parts[i].left(3) : QString());
}

void AddressEntry::clampField(int index) {
    if (fieldValue(fields_[index]) > 255) fields_[index]->setText("255");
}

void AddressEntry::moveTo(int index, bool atStart) {
    QLineEdit* f = fields_[index];
    f->setFocus(Qt::OtherFocusReason);
    if (atStart) f->selectAll();
    else f->setCursorPosition(static_cast<int>(f->text().size()));
}

bool AddressEntry::eventFilter(QObject* watched, QEvent* event) {
    int i = 0;
    while (i < 4 && fields_[i] != watched) ++i;
    if (i == 4) return QWidget::eventFilter(watched, event);
    QLineEdit* f = fields_[i];
    if (event->type() == QEvent::FocusOut) {
        QString before = f->text();
        clampField(i);
        if (before != f->text() && edited_) edited_();
        return false;
    }
    if (event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    bool atStart = f->cursorPosition() == 0 && !f->hasSelectedText();
    bool atEnd = f->cursorPosition() == f->text().size() && !f->hasSelectedText();
    if (key->text() == "." || key->key() == Qt::Key_Period) {
        if (!f->text().isEmpty() && i < 3) moveTo(i + 1, true);
        return true;
    }
    bool backtab =
        key->key() == Qt::Key_Backtab || (key->key() == Qt::Key_Tab && (key->modifiers() & Qt::ShiftModifier));
    if (backtab && i > 0) {  // from the first field, Shift+Tab leaves the control
        fields_[0]->setFocus(Qt::BacktabFocusReason);
        focusPreviousChild();
        return true;
    }
    if (key->key() == Qt::Key_Backspace && atStart && i > 0) {
        moveTo(i - 1, false);
        return true;
    }
    if (key->key() == Qt::Key_Left && atStart && i > 0) {
        moveTo(i - 1, false);
        return true;
    }
    if (key->key() == Qt::Key_Right && atEnd && i < 3) {
        fields_[i + 1]->setFocus(Qt::OtherFocusReason);
        fields_[i + 1]->setCursorPosition(0);
        return true;
    }
    return false;
}

// Four equal fields with a dot between each two, inside the frame.
void AddressEntry::resizeEvent(QResizeEvent*) {
    findChild<QLineEdit*>("frame")->setGeometry(rect());
    const int border = 2, dot = 6;
    int inner = width() - 2 * border - 3 * dot;
    int x = border;
    for (int i = 0; i < 4; ++i) {
        int w = inner * (i + 1) / 4 - inner * i / 4;
        fields_[i]->setGeometry(x, border, w, height() - 2 * border);
        x += w;
        if (i < 3) {
            findChild<QLabel*>(QString("dot%1").arg(i))->setGeometry(x, border, dot, height() - 2 * border);
            x += dot;
        }
    }
}
