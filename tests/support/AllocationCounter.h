#pragma once
// Counts the heap allocations of each thread through a replaced global
// operator new (AllocationCounter.cpp). Link it only into a program of its
// own: the replacement reaches every allocation of the program it is in.
// Plain standard C++.

namespace kvx_test {

// Heap allocations made so far by the calling thread.
unsigned long ThreadAllocations();

}  // namespace kvx_test
