// Process entry on Windows: the raw command line is the text after the program name.
#include <windows.h>

#include "app/dispatch.h"
#include "platform/process.h"
#include "platform/text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
  tolvi::platform::prepare_process_start();
  const auto* text = reinterpret_cast<const char16_t*>(command_line ? command_line : L"");
  return tolvi::process_entry(tolvi::to_utf8(text));
}
