// The identities tests plug boards in with, and the registry settings they start them
// with.
#pragma once

#include "driver/core/board_kinds.h"

namespace test_support {

// A DWORD value written under the board's driver key before it starts.
struct Setting {
  const char16_t* name;
  ULONG value;
};

// The first identity of a board kind, and the identity of a board variant.
inline PCI_IDENTITY Kind(BoardKind k) {
  PCI_IDENTITY id{};
  BoardKindIdentity(k, &id);
  return id;
}
inline PCI_IDENTITY Variant(BoardVariant v) {
  PCI_IDENTITY id{};
  BoardVariantIdentity(v, &id);
  return id;
}

}  // namespace test_support
