// The console lines of -install, -uninstall, -run and the usage text.
#pragma once

namespace varnelo {

// Formats a wide printf-style line (wide arguments only: "%ls", never "%hs") and writes it to
// standard output: as UTF-16 through the console when standard output is one, so any code page
// shows it; as UTF-8 otherwise, so a file or a pipe gets every character. The C runtime's own
// narrowing would turn a Chinese folder name into the console code page's idea of its bytes.
void PrintConsole(const wchar_t* format, ...);

}  // namespace varnelo
