// The structured-exception guard (FaultGuard.cpp) is Windows' own machinery and stays out of the
// host build. Here a guarded call runs straight through: a fault inside it is exactly what the
// sanitizers are to report, not something to survive.
#include "FaultGuard.h"

bool CallGuarded(void (*fn)(void*), void* context, DWORD* code)
{
    fn(context);
    if (code)
        *code = 0;
    return true;
}
