// The words of every window backend when a dialog's entry holds a
// character that code page 1252 lacks: the entry is refused when its dialog
// is confirmed, never sent as a look-alike.
#pragma once

inline constexpr char REFUSED_PASSWORD_TEXT[] =
    "The password contains a character that cannot be sent to the ULX as typed.\r\n\r\n"
    "Please type it again using only the characters of the Western European (Windows-1252) "
    "character set.";
inline constexpr char REFUSED_ENTRY_TEXT[] =
    "This entry contains a character that cannot be sent to the ULX as typed.\r\n\r\n"
    "Please type it again using only the characters of the Western European (Windows-1252) "
    "character set.";
inline constexpr char REFUSED_CAPTION[] = "Error";
