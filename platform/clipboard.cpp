#include "platform/clipboard.h"

#include <SDL.h>

#include <string>

bool SetClipboardText(std::string_view utf8) {
  if (!SDL_WasInit(SDL_INIT_VIDEO)) return false;
  return SDL_SetClipboardText(std::string(utf8).c_str()) == 0;
}
