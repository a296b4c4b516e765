// The IPv4 address entry: four numeric fields separated by dots, like the
// system address control it stands in for.
//  - a field takes digits only, at most three, and holds at most 255 (a
//    larger number becomes 255 when the field is left or filled);
//  - '.' in a field with digits, or the third digit, moves to the next
//    field; Backspace in an empty field and the arrow keys at a field's
//    edge move to the neighbour;
//  - the text reads back "a.b.c.d", each field as a decimal number without
//    leading zeros and an empty field as 0: an empty entry reads
//    "0.0.0.0", which the address dialog rejects as it rejects any
//    address 0;
//  - Tab enters and leaves the control as a whole.
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <functional>
#include <string>

class AddressEntry : public QWidget {
public:
    explicit AddressEntry(QWidget* parent);
    std::string text() const;
    // Fills the fields from a dotted text ("" empties them).
    void setText(const std::string& text);
    // Called after every change the user makes.
    void onEdited(std::function<void()> edited) { edited_ = std::move(edited); }
    QLineEdit* field(int i) const { return fields_[i]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void moveTo(int index, bool atStart);
    void clampField(int index);
    QLineEdit* fields_[4];
    std::function<void()> edited_;
};
