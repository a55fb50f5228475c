// Sarnik's version, for the version resource and for the run log's first line.
#pragma once

#define SARNIK_VERSION_NUMBERS 1,0,0,0
#define SARNIK_VERSION_TEXT "1.0.0.0"
