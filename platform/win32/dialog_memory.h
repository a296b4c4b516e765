// Dialog templates built in memory from the template table, in the binary
// form DialogBoxIndirectParam and CreateDialogIndirectParam take (a
// DLGTEMPLATE with its items), so every dialog is a real Windows dialog
// laid out by the dialog manager in dialog units of its own font.
#pragma once

#include <windows.h>

#include "platform/dialog_template.h"

// Room for the largest dialog of the table with plenty to spare; a template
// that does not fit is refused, never cut.
constexpr int DIALOG_MEMORY_WORDS = 4096;

struct DialogMemory {
    alignas(4) WORD words[DIALOG_MEMORY_WORDS];
};

// Fills memory with the dialog; visible chooses WS_VISIBLE (modal dialogs
// are shown by DialogBox either way, modeless ones are created hidden).
// 1 on success, 0 when the template does not fit.
int buildDialogMemory(const DialogTemplate* tmpl, bool visible, DialogMemory* memory);
