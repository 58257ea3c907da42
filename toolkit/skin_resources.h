// Where the toolkit finds its files: the module that holds resources and the in-memory archive.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace Skin {

void SetResourceInstance(HINSTANCE instance);
HINSTANCE GetResourceInstance();

// Registers an in-memory zip archive as the source of every skin file. The buffer must stay
// valid for the rest of the process. False when it is not a readable archive.
bool SetResourceZip(const void* data, std::size_t size, const char* password);

// Reads one skin file (for example "main.xml" or "img/close.png") from the archive.
bool LoadSkinFile(const std::string& name, std::string* contents);

}  // namespace Skin
