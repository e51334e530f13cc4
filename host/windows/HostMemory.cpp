#include "HostMemory.h"

#include <malloc.h>

void ReleaseFreeMemory() { _heapmin(); }
