// Host layer: system strings are declared with the other Windows calls.
#pragma once
#include <windows.h>
