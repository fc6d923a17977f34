// Board kinds: named families of PCI identities, and the subsystem-byte variants some of
// them split into. One identity may belong to several kinds, so the interface is a
// predicate per kind and per variant. The values live in one table (board_kinds.cpp);
// tests and the simulated machine take identities from it by name.
#pragma once

#include "driver/core/pci_base.h"

enum BoardKind {
  BOARD_KIND_A,
  BOARD_KIND_B,
  BOARD_KIND_C,
  BOARD_KIND_D,
  BOARD_KIND_E,
  BOARD_KIND_F,
  BOARD_KIND_G,
  BOARD_KIND_H,
  BOARD_KIND_I,
  BOARD_KIND_J,
  BOARD_KIND_K,
  BOARD_KIND_L,
  BOARD_KIND_M,
  BOARD_KIND_N,
  BOARD_KIND_P,
  BOARD_KIND_Q,
  BOARD_KIND_R,
  BOARD_KIND_T,
  BOARD_KIND_U,
  BOARD_KIND_V,
  BOARD_KIND_W,
  BOARD_KIND_ENCODER,
  BOARD_KIND_COUNT
};

// Variants named by their effect.
enum BoardVariant {
  BOARD_VARIANT_A_LARGE_FRAME,      // BOARD_KIND_A: the larger frame-buffer group
  BOARD_VARIANT_NO_FRAME_BUFFER,    // BOARD_KIND_B, and one identity pair of BOARD_KIND_C
  BOARD_VARIANT_D_BOUNCE_FORCED,    // BOARD_KIND_D: bounce buffers always on
  BOARD_VARIANT_D_NEVER_BOUNCE,     // BOARD_KIND_D: bounce buffers always off
  BOARD_VARIANT_D_LARGE_SENSOR,     // BOARD_KIND_D: the fixed large frame buffer
  BOARD_VARIANT_D_LENGTH_STAMP,     // BOARD_KIND_D: row 0 stamps the data-used count
  BOARD_VARIANT_G_THREE_STREAM,     // BOARD_KIND_G: the three-stream model (else one-stream)
  BOARD_VARIANT_G_CLASS1_SUB_A,     // BOARD_KIND_G: class 1, sub-class a
  BOARD_VARIANT_G_CLASS2,           // BOARD_KIND_G: class 2
  BOARD_VARIANT_G_CLASS2_TINY,      // BOARD_KIND_G: class 2, tiny variant
  BOARD_VARIANT_COUNT
};

BOOLEAN IsBoardKind(const PCI_IDENTITY* pIdentity, BoardKind kind);
BOOLEAN IsBoardVariant(const PCI_IDENTITY* pIdentity, BoardVariant variant);

// A representative identity of a kind (its first identity pair, subsystem bytes 0), and
// of a variant (the kind's pair plus the variant's first subsystem bytes). FALSE when
// the table has none.
BOOLEAN BoardKindIdentity(BoardKind kind, PCI_IDENTITY* pIdentity);
BOOLEAN BoardVariantIdentity(BoardVariant variant, PCI_IDENTITY* pIdentity);
