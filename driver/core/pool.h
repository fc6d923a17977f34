// The pool routines behind the image library's memory hooks.
#pragma once

#include <cstdint>

void* DriverMalloc(uint64_t size);
void* DriverCalloc(uint64_t count, uint64_t size);
void* DriverRealloc(void* block, uint64_t size);
void DriverFree(void* block);
