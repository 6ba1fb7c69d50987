// What the backend and the stand-in of the terminal's shell say to each other, beyond what the
// terminal's own programs say: the shell's window class, and the request to unload a font that
// the shell loaded (Windows keeps such a font for the program that added it, where the terminal
// keeps one table for every program).
#pragma once

#include <string>

namespace win32 {

inline constexpr wchar_t kShellWindowClass[] = L"QUENBYSHELLCLASS";
// WM_COPYDATA's dwData of a font request ("FONT"); the data is the font file's host path, UTF-16
// with its terminator. The shell answers 1 when it unloaded the font and let go of its file.
inline constexpr unsigned long kRemoveFontRequest = 0x544E4F46;

// Asks the running shell to unload the font; false when no shell runs or it had no such font.
bool AskShellToRemoveFont(const std::wstring& hostPath);

}  // namespace win32
