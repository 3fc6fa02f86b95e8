// Module resources: the bytes of a resource of the program's own module.
//
// Windows: FindResourceW, SizeofResource, LoadResource, LockResource. Linux builds and tests:
// the resources a test or tool gave the simulated machine (sim/).
#pragma once
#include "platform/types.h"

// Finds resource id of the named type. 1 with a pointer to its bytes (valid for the life of
// the process, read-only) and its size, or 0 when there is no such resource.
int32_t PlatFindResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size);
