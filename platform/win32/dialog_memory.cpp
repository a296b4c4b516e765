#include "platform/win32/dialog_memory.h"

#include <commctrl.h>

namespace {

// Predefined dialog control classes, as ordinals after 0xFFFF.
constexpr WORD CLASS_BUTTON = 0x0080;
constexpr WORD CLASS_EDIT = 0x0081;
constexpr WORD CLASS_STATIC = 0x0082;
constexpr WORD CLASS_COMBOBOX = 0x0085;

class Writer {
public:
    explicit Writer(DialogMemory* m) : m_(m) {}
    bool ok() const { return ok_; }

    void word(WORD w) {
        if (pos_ >= DIALOG_MEMORY_WORDS) {
            ok_ = false;
            return;
        }
        m_->words[pos_++] = w;
    }
    void dword(DWORD d) {
        word(LOWORD(d));
        word(HIWORD(d));
    }
    // Texts of the table are ASCII; templates hold UTF-16.
    void text(const char* s) {
        for (; s && *s; ++s) word(static_cast<unsigned char>(*s));
        word(0);
    }
    void ordinal(WORD value) {
        word(0xFFFF);
        word(value);
    }
    // Every item starts on a DWORD boundary.
    void alignDword() {
        if (pos_ % 2) word(0);
    }

private:
    DialogMemory* m_;
    int pos_ = 0;
    bool ok_ = true;
};

DWORD alignmentStyle(uint16_t style, DWORD left, DWORD right, DWORD center) {
    if (style & STY_RIGHT) return right;
    if (style & STY_CENTER) return center;
    return left;
}

// The class and style of one control kind.
void describe(const DialogControl& c, DWORD* style, WORD* atom, const char** className) {
    DWORD s = WS_CHILD | WS_VISIBLE;
    if (c.style & STY_TABSTOP) s |= WS_TABSTOP;
    *atom = 0;
    *className = nullptr;
    DWORD editAlign = alignmentStyle(c.style, ES_LEFT, ES_RIGHT, ES_CENTER);
    switch (c.kind) {
        case CTL_BUTTON:
            *atom = CLASS_BUTTON;
            s |= (c.style & STY_DEFAULT) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
            break;
        case CTL_TEXT_AREA:
            // Multi-line without ES_AUTOHSCROLL would wrap; with it a long
            // line scrolls sideways and "\r\n" breaks lines.
            *atom = CLASS_EDIT;
            s |= ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | editAlign;
            break;
        case CTL_TEXT_LINE:
            *atom = CLASS_EDIT;
            s |= ES_READONLY | ES_AUTOHSCROLL | editAlign;
            break;
        case CTL_FIELD:
            *atom = CLASS_EDIT;
            s |= WS_BORDER | ES_READONLY | ES_AUTOHSCROLL | editAlign;
            break;
        case CTL_ENTRY_FIELD:
            *atom = CLASS_EDIT;
            s |= WS_BORDER | ES_AUTOHSCROLL | editAlign;
            if (c.style & STY_PASSWORD) s |= ES_PASSWORD;
            break;
        case CTL_LABEL:
            *atom = CLASS_STATIC;
            s |= alignmentStyle(c.style, SS_LEFT, SS_RIGHT, SS_CENTER);
            break;
        case CTL_PROGRESS:
            *className = PROGRESS_CLASSA;
            s |= WS_BORDER;
            break;
        case CTL_COMBO:
            *atom = CLASS_COMBOBOX;
            s |= CBS_DROPDOWNLIST;
            if (c.style & STY_VSCROLL) s |= WS_VSCROLL;
            break;
        case CTL_ICON:
            *atom = CLASS_STATIC;
            s |= SS_ICON;
            break;
        case CTL_IP_ADDRESS: *className = WC_IPADDRESSA; break;
    }
    *style = s;
}

}  // namespace

int buildDialogMemory(const DialogTemplate* tmpl, bool visible, DialogMemory* memory) {
    Writer w(memory);
    DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    if (visible) style |= WS_VISIBLE;
    // DLGTEMPLATE: style, extended style, item count, x, y, cx, cy; then
    // menu (none), class (the dialog class), caption, font size and face.
    w.dword(style);
    w.dword(0);
    w.word(static_cast<WORD>(tmpl->controlCount));
    w.word(0);
    w.word(0);
    w.word(static_cast<WORD>(tmpl->cx));
    w.word(static_cast<WORD>(tmpl->cy));
    w.word(0);
    w.word(0);
    w.text(tmpl->caption);
    w.word(static_cast<WORD>(tmpl->fontPoints));
    w.text(tmpl->fontFace);

    for (int i = 0; i < tmpl->controlCount; ++i) {
        const DialogControl& c = tmpl->controls[i];
        DWORD itemStyle;
        WORD atom;
        const char* className;
        describe(c, &itemStyle, &atom, &className);
        // DLGITEMTEMPLATE: style, extended style, x, y, cx, cy, id; then
        // class, title (an icon's is the ordinal of its resource), and no
        // creation data. A control without id has 0xFFFF, as -1 in a
        // resource script.
        w.alignDword();
        w.dword(itemStyle);
        w.dword(0);
        w.word(static_cast<WORD>(c.x));
        w.word(static_cast<WORD>(c.y));
        w.word(static_cast<WORD>(c.cx));
        w.word(static_cast<WORD>(c.cy));
        w.word(static_cast<WORD>(c.id));
        if (className) w.text(className);
        else w.ordinal(atom);
        if (c.kind == CTL_ICON) w.ordinal(static_cast<WORD>(c.iconId));
        else w.text(c.text);
        w.word(0);
    }
    return w.ok() ? 1 : 0;
}
