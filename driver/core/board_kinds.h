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
  BOARD_VARIANT_A_LARGE_FRAME,    // BOARD_KIND_A: the larger frame-buffer group
  BOARD_VARIANT_NO_FRAME_BUFFER,  // BOARD_KIND_B, and one identity pair of BOARD_KIND_C
  BOARD_VARIANT_D_BOUNCE_FORCED,  // BOARD_KIND_D: bounce buffers always on
  BOARD_VARIANT_D_NEVER_BOUNCE,   // BOARD_KIND_D: bounce buffers always off
  BOARD_VARIANT_D_LARGE_SENSOR,   // BOARD_KIND_D: the fixed large frame buffer
  BOARD_VARIANT_D_LENGTH_STAMP,   // BOARD_KIND_D: row 0 stamps the data-used count
  BOARD_VARIANT_G_THREE_STREAM,   // BOARD_KIND_G: the three-stream model (else one-stream)
  BOARD_VARIANT_G_CLASS1_SUB_A,   // BOARD_KIND_G: class 1, sub-class a
  BOARD_VARIANT_G_CLASS2,         // BOARD_KIND_G: class 2
  BOARD_VARIANT_G_CLASS2_TINY,    // BOARD_KIND_G: class 2, tiny variant
  // Device start: the filters a card gets and the template edits of its kind.
  BOARD_VARIANT_A_QUAD,                 // BOARD_KIND_A: the four quad members (position = device id - 0x0A10)
  BOARD_VARIANT_B_QUAD,                 // BOARD_KIND_B: the four quad members (position = device id - 0x0B10)
  BOARD_VARIANT_B_STEREO,               // BOARD_KIND_B: the four stereo subsystem variants
  BOARD_VARIANT_C_FOUR_CHANNEL,         // BOARD_KIND_C: four channels, on the no-frame-buffer identity
  BOARD_VARIANT_C_PROCAMP_IDENTITY,     // BOARD_KIND_C: the identity with the ProcAmp and audio switches
  BOARD_VARIANT_C_PROCAMP_SET2,         // ... its subsystem variants of ProcAmp set 2
  BOARD_VARIANT_C_PROCAMP_SET3,         // ... and of set 3
  BOARD_VARIANT_E_SECOND,               // BOARD_KIND_E: the second identity
  BOARD_VARIANT_F_FIVE_CHANNEL,         // BOARD_KIND_F: five video channels
  BOARD_VARIANT_F_SINGLE_INPUT,         // BOARD_KIND_F: the two single-input classes (low nibble of the high byte)
  BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL,  // BOARD_KIND_G: class 1, four channels
  BOARD_VARIANT_H_EIGHT_CHANNEL,        // BOARD_KIND_H: eight channels
  BOARD_VARIANT_I_PAL_ONLY,             // BOARD_KIND_I: the ninth identity, 625-line only
  BOARD_VARIANT_N_NO_AUDIO,             // BOARD_KIND_N: the member without audio
  BOARD_VARIANT_P_CLONE_FOLLOWING,      // BOARD_KIND_P: follows the clone-filters setting
  BOARD_VARIANT_P_NO_AUDIO,             // BOARD_KIND_P: the identifier pattern without audio
  BOARD_VARIANT_P_SLOT_PATTERN,         // BOARD_KIND_P: keeps a channel number per board index
  BOARD_VARIANT_P_QUAD_PATTERN,         // BOARD_KIND_P: channel by the board index's low two bits
  BOARD_VARIANT_G_TINY_KEEPS_AUDIO,     // BOARD_KIND_G: the second three-stream identity, audio on every variant
  BOARD_VARIANT_COUNT
};

// The 32-bit identity words a BOARD_KIND_F board's EEPROM holds (read over the hardware
// I2C controller at start): the high-contrast variant, and the two audio classes, each
// two values compared under its mask.
#define BOARD_F_WORD_HIGH_CONTRAST 0x46430001u
#define BOARD_F_AUDIO_CLASS1_MASK 0xFF0F0000u
#define BOARD_F_AUDIO_CLASS1_A 0x4A010000u
#define BOARD_F_AUDIO_CLASS1_B 0x4A020000u
#define BOARD_F_AUDIO_CLASS2_MASK 0xF00F0000u
#define BOARD_F_AUDIO_CLASS2_A 0x50010000u
#define BOARD_F_AUDIO_CLASS2_B 0x60020000u

BOOLEAN IsBoardKind(const PCI_IDENTITY* pIdentity, BoardKind kind);
BOOLEAN IsBoardVariant(const PCI_IDENTITY* pIdentity, BoardVariant variant);

// A representative identity of a kind (its first identity pair, subsystem bytes 0), and
// of a variant (the kind's pair plus the variant's first subsystem bytes). FALSE when
// the table has none.
BOOLEAN BoardKindIdentity(BoardKind kind, PCI_IDENTITY* pIdentity);
BOOLEAN BoardVariantIdentity(BoardVariant variant, PCI_IDENTITY* pIdentity);
