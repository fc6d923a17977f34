// Object bags and copy-on-write edits. A filter or pin starts out pointing at shared
// descriptors; before changing one it edits a private copy that its bag owns and frees
// with the object.
#pragma once

#include "platform/ks/types.h"

// Makes *PointerToPointer an item of ObjectBag: an item already in the bag is kept (or
// grown to NewSize, the old bytes kept); anything else is copied into a new NewSize
// block of pool tagged Tag (OldSize bytes copied, the rest zero), added to the bag and
// pointed at. On failure the pointer is left as it was.
NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointer, ULONG NewSize, ULONG OldSize, ULONG Tag);

#define KsEdit(Object, PointerToPointer, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)), sizeof(**(PointerToPointer)), (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))
