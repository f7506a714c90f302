// Counts the allocations made on the calling thread between start and stop.
#pragma once

struct AllocationCount {
  long news;     // calls of any global operator new
  long mallocs;  // calls of malloc, calloc or realloc, also those behind new
};

void startCountingAllocations();
AllocationCount stopCountingAllocations();
