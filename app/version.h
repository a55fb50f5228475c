// Sarnik's version, for the version resource and for the run log's first line: made from the
// CMake project version, the one place it is kept.
#pragma once

#include "SarnikVersion.h"
