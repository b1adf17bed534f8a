// One running instance per game: the first instance of a game holds a key
// (an abstract local socket named after the game's folder); a later one
// finds it taken, asks the first to raise its window, and steps back.
#pragma once
#include <string_view>

// True when this is the only instance of the game at `key` (the module
// path). on_raise runs (on a listener thread) whenever a later instance asks
// the first one to come to the front. False when another instance holds the
// key; that instance has then been asked to raise its window.
bool ClaimSingleInstance(std::string_view key, void (*on_raise)());
