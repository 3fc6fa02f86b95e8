// Text for the terminal view. What the view shows comes from the package (its title and
// messages) and from the drives (model, serial number): it is decoded leniently, kept free of
// control characters so that nothing can reach the terminal as an escape sequence, and cut or
// wrapped by terminal columns (a wide character takes two).
#pragma once
#include <string>
#include <vector>

namespace lab::term {

// UTF-8 to wide characters; each byte of a broken, overlong or surrogate sequence becomes
// U+FFFD.
std::wstring Decode(const std::string& text);
// Control characters (C0, DEL, C1, line and paragraph separators) become '?', a tab a blank.
std::wstring Printable(const std::wstring& text);
// Decode, then Printable.
std::wstring Show(const std::string& utf8);

// Columns the text takes on a terminal (a character the locale cannot measure counts as one).
int Width(const std::wstring& text);
// The text cut to at most width columns; a cut text ends with '~'.
std::wstring Fit(const std::wstring& text, int width);
// Fit, then blanks up to width columns.
std::wstring Pad(const std::wstring& text, int width);
// Word wrap to width columns, each line Printable; "\n" ends a line ("\r" before it is
// dropped); a word longer than a line is cut with Fit.
std::vector<std::wstring> Wrap(const std::string& utf8, int width);

} // namespace lab::term
