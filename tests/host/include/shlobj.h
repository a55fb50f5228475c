// Host layer: shell folders are machine-tied; SHGetFolderPathA is declared in windows.h.
#pragma once
#include <windows.h>
