// Failure injection for test builds: an allocation budget that the tests set.
#include "fault.h"

#include <stdlib.h>

static int s_mallocBudget = -1;

void FaultSetMallocBudget(int budget)
{
    s_mallocBudget = budget;
}

void *FaultMalloc(size_t size)
{
    if (s_mallocBudget == 0)
        return NULL;
    if (s_mallocBudget > 0)
        --s_mallocBudget;
    return malloc(size);
}
