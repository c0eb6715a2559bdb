// Failure injection for test builds: the platform can be told to fail an allocation.
#pragma once

#include <stddef.h>

// Number of further allocations that succeed before every later one fails; -1 never fails.
void FaultSetMallocBudget(int budget);
void *FaultMalloc(size_t size);

// Builds of the system's code for the tests route its allocations through the budget above;
// release builds never see this.
#ifdef ZEMBREL_FAULT_INJECTION
#define malloc(size) FaultMalloc(size)
#endif
