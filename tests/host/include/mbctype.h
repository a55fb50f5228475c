// Host layer: the runtime's multibyte functions live in hostcrt.h.
#pragma once
#include "hostcrt.h"
