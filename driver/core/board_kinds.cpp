// The identity table of the board kinds. Every value here is ours: the kinds' pairs and
// the subsystem bytes of their variants.
#include "driver/core/board_kinds.h"

namespace {

constexpr USHORT kVendor = 0x1D8A;

struct KindPair {
  BoardKind kind;
  USHORT vendorId;
  USHORT deviceId;
};

// A pair listed under two kinds belongs to both; where kinds disagree, the user of the
// kinds decides which one wins (PCI start: the first of A to H, then the encoder).
const KindPair kKindPairs[] = {
    {BOARD_KIND_A, kVendor, 0x0A01},
    {BOARD_KIND_A, kVendor, 0x0A02},
    {BOARD_KIND_B, kVendor, 0x0B01},
    {BOARD_KIND_C, kVendor, 0x0C01},
    {BOARD_KIND_C, kVendor, 0x0C04},
    {BOARD_KIND_D, kVendor, 0x0D01},
    {BOARD_KIND_E, kVendor, 0x0E01},
    {BOARD_KIND_F, kVendor, 0x0F01},
    {BOARD_KIND_G, kVendor, 0x1001},
    {BOARD_KIND_G, kVendor, 0x1003},
    {BOARD_KIND_H, kVendor, 0x1101},
    {BOARD_KIND_I, kVendor, 0x1201},
    {BOARD_KIND_J, kVendor, 0x1301},
    {BOARD_KIND_K, kVendor, 0x1401},
    {BOARD_KIND_N, kVendor, 0x1501},
    {BOARD_KIND_P, kVendor, 0x1601},
    {BOARD_KIND_Q, kVendor, 0x1701},
    {BOARD_KIND_R, kVendor, 0x1801},
    {BOARD_KIND_T, kVendor, 0x1901},
    {BOARD_KIND_U, kVendor, 0x1A01},
    {BOARD_KIND_V, kVendor, 0x1B01},
    {BOARD_KIND_W, kVendor, 0x1C01},
    {BOARD_KIND_ENCODER, kVendor, 0x7160},
    // Further identities that only device start tells apart.
    {BOARD_KIND_A, kVendor, 0x0A10},
    {BOARD_KIND_A, kVendor, 0x0A11},
    {BOARD_KIND_A, kVendor, 0x0A12},
    {BOARD_KIND_A, kVendor, 0x0A13},
    {BOARD_KIND_B, kVendor, 0x0B10},
    {BOARD_KIND_B, kVendor, 0x0B11},
    {BOARD_KIND_B, kVendor, 0x0B12},
    {BOARD_KIND_B, kVendor, 0x0B13},
    {BOARD_KIND_E, kVendor, 0x0E02},
    {BOARD_KIND_G, kVendor, 0x1004},
    {BOARD_KIND_I, kVendor, 0x1202},
    {BOARD_KIND_N, kVendor, 0x1502},
    {BOARD_KIND_P, kVendor, 0x1602},
    {BOARD_KIND_P, kVendor, 0x1603},
    {BOARD_KIND_P, kVendor, 0x1604},
    {BOARD_KIND_P, kVendor, 0x1605},
};

// Kinds recognised by the high four bits of nSubsystemVendorIdLow, on the three-input
// crossbar family (kinds I and J) only.
struct NibbleKind {
  BoardKind kind;
  UCHAR highNibble;
};
const NibbleKind kNibbleKinds[] = {{BOARD_KIND_L, 0xA}, {BOARD_KIND_M, 0xB}};

struct VariantBytes {
  BoardVariant variant;
  USHORT deviceId;  // the identity pair it applies to (vendor kVendor); 0 = any pair of the kind
  BoardKind kind;
  UCHAR subsystemLow;   // nSubsystemVendorIdLow
  UCHAR subsystemHigh;  // nSubsystemVendorIdHigh
  UCHAR matchLow;       // 0: only the high byte is compared; 1: both bytes; 2: the pair alone;
                        // 3: the high byte's low nibble alone
};

const VariantBytes kVariants[] = {
    {BOARD_VARIANT_A_LARGE_FRAME, 0, BOARD_KIND_A, 0x10, 0xA0, 1},
    {BOARD_VARIANT_A_LARGE_FRAME, 0, BOARD_KIND_A, 0x11, 0xA0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0x0C04, BOARD_KIND_C, 0x01, 0xC0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0x0C04, BOARD_KIND_C, 0x02, 0xC0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0x0C04, BOARD_KIND_C, 0x03, 0xC0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0, BOARD_KIND_B, 0x01, 0xC0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0, BOARD_KIND_B, 0x02, 0xC0, 1},
    {BOARD_VARIANT_NO_FRAME_BUFFER, 0, BOARD_KIND_B, 0x03, 0xC0, 1},
    {BOARD_VARIANT_D_BOUNCE_FORCED, 0, BOARD_KIND_D, 0x20, 0xD0, 1},
    {BOARD_VARIANT_D_BOUNCE_FORCED, 0, BOARD_KIND_D, 0x21, 0xD0, 1},
    {BOARD_VARIANT_D_NEVER_BOUNCE, 0, BOARD_KIND_D, 0x30, 0xD0, 1},
    {BOARD_VARIANT_D_LARGE_SENSOR, 0, BOARD_KIND_D, 0x40, 0xD0, 1},
    {BOARD_VARIANT_D_LENGTH_STAMP, 0, BOARD_KIND_D, 0x50, 0xD0, 1},
    {BOARD_VARIANT_G_THREE_STREAM, 0x1003, BOARD_KIND_G, 0x00, 0x00, 2},
    {BOARD_VARIANT_G_CLASS1_SUB_A, 0, BOARD_KIND_G, 0x01, 0x61, 1},
    {BOARD_VARIANT_G_CLASS2, 0, BOARD_KIND_G, 0x00, 0x62, 0},
    {BOARD_VARIANT_G_CLASS2_TINY, 0, BOARD_KIND_G, 0x0F, 0x62, 1},
    {BOARD_VARIANT_A_QUAD, 0x0A10, BOARD_KIND_A, 0, 0, 2},
    {BOARD_VARIANT_A_QUAD, 0x0A11, BOARD_KIND_A, 0, 0, 2},
    {BOARD_VARIANT_A_QUAD, 0x0A12, BOARD_KIND_A, 0, 0, 2},
    {BOARD_VARIANT_A_QUAD, 0x0A13, BOARD_KIND_A, 0, 0, 2},
    {BOARD_VARIANT_B_QUAD, 0x0B10, BOARD_KIND_B, 0, 0, 2},
    {BOARD_VARIANT_B_QUAD, 0x0B11, BOARD_KIND_B, 0, 0, 2},
    {BOARD_VARIANT_B_QUAD, 0x0B12, BOARD_KIND_B, 0, 0, 2},
    {BOARD_VARIANT_B_QUAD, 0x0B13, BOARD_KIND_B, 0, 0, 2},
    {BOARD_VARIANT_B_STEREO, 0, BOARD_KIND_B, 0x10, 0xB0, 1},
    {BOARD_VARIANT_B_STEREO, 0, BOARD_KIND_B, 0x11, 0xB0, 1},
    {BOARD_VARIANT_B_STEREO, 0, BOARD_KIND_B, 0x12, 0xB0, 1},
    {BOARD_VARIANT_B_STEREO, 0, BOARD_KIND_B, 0x13, 0xB0, 1},
    {BOARD_VARIANT_C_FOUR_CHANNEL, 0x0C04, BOARD_KIND_C, 0x00, 0xC4, 0},
    {BOARD_VARIANT_C_PROCAMP_IDENTITY, 0x0C01, BOARD_KIND_C, 0, 0, 2},
    {BOARD_VARIANT_C_PROCAMP_SET2, 0x0C01, BOARD_KIND_C, 0x21, 0xC2, 1},
    {BOARD_VARIANT_C_PROCAMP_SET2, 0x0C01, BOARD_KIND_C, 0x22, 0xC2, 1},
    {BOARD_VARIANT_C_PROCAMP_SET3, 0x0C01, BOARD_KIND_C, 0x31, 0xC3, 1},
    {BOARD_VARIANT_C_PROCAMP_SET3, 0x0C01, BOARD_KIND_C, 0x32, 0xC3, 1},
    {BOARD_VARIANT_E_SECOND, 0x0E02, BOARD_KIND_E, 0, 0, 2},
    {BOARD_VARIANT_F_FIVE_CHANNEL, 0, BOARD_KIND_F, 0x00, 0xF5, 0},
    {BOARD_VARIANT_F_SINGLE_INPUT, 0, BOARD_KIND_F, 0x00, 0x01, 3},
    {BOARD_VARIANT_F_SINGLE_INPUT, 0, BOARD_KIND_F, 0x00, 0x02, 3},
    {BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL, 0, BOARD_KIND_G, 0x04, 0x61, 1},
    {BOARD_VARIANT_H_EIGHT_CHANNEL, 0, BOARD_KIND_H, 0x00, 0x88, 0},
    {BOARD_VARIANT_I_PAL_ONLY, 0x1202, BOARD_KIND_I, 0, 0, 2},
    {BOARD_VARIANT_N_NO_AUDIO, 0x1502, BOARD_KIND_N, 0, 0, 2},
    {BOARD_VARIANT_P_CLONE_FOLLOWING, 0x1602, BOARD_KIND_P, 0, 0, 2},
    {BOARD_VARIANT_P_NO_AUDIO, 0x1603, BOARD_KIND_P, 0, 0, 2},
    {BOARD_VARIANT_P_SLOT_PATTERN, 0x1604, BOARD_KIND_P, 0, 0, 2},
    {BOARD_VARIANT_P_QUAD_PATTERN, 0x1605, BOARD_KIND_P, 0, 0, 2},
    {BOARD_VARIANT_G_THREE_STREAM, 0x1004, BOARD_KIND_G, 0x00, 0x00, 2},
    {BOARD_VARIANT_G_TINY_KEEPS_AUDIO, 0x1004, BOARD_KIND_G, 0, 0, 2},
};

bool PairIs(const PCI_IDENTITY* id, BoardKind kind) {
  for (const KindPair& p : kKindPairs)
    if (p.kind == kind && p.vendorId == id->nVendorId && p.deviceId == id->nDeviceId) return true;
  return false;
}

}  // namespace

BOOLEAN IsBoardKind(const PCI_IDENTITY* pIdentity, BoardKind kind) {
  if (!pIdentity) return FALSE;
  for (const NibbleKind& n : kNibbleKinds)
    if (n.kind == kind)
      return (PairIs(pIdentity, BOARD_KIND_I) || PairIs(pIdentity, BOARD_KIND_J)) &&
             (pIdentity->nSubsystemVendorIdLow >> 4) == n.highNibble;
  return PairIs(pIdentity, kind);
}

BOOLEAN IsBoardVariant(const PCI_IDENTITY* pIdentity, BoardVariant variant) {
  if (!pIdentity) return FALSE;
  for (const VariantBytes& v : kVariants) {
    if (v.variant != variant || !PairIs(pIdentity, v.kind)) continue;
    if (v.deviceId && v.deviceId != pIdentity->nDeviceId) continue;
    if (v.matchLow == 2) return TRUE;  // the pair alone decides
    if (v.matchLow == 3) {
      if ((pIdentity->nSubsystemVendorIdHigh & 0x0F) == v.subsystemHigh) return TRUE;
      continue;
    }
    if (pIdentity->nSubsystemVendorIdHigh != v.subsystemHigh) continue;
    if (v.matchLow && pIdentity->nSubsystemVendorIdLow != v.subsystemLow) continue;
    return TRUE;
  }
  return FALSE;
}

BOOLEAN BoardKindIdentity(BoardKind kind, PCI_IDENTITY* pIdentity) {
  for (const KindPair& p : kKindPairs) {
    if (p.kind != kind) continue;
    *pIdentity = PCI_IDENTITY{p.vendorId, p.deviceId, 0, 0, 0, 0};
    return TRUE;
  }
  for (const NibbleKind& n : kNibbleKinds) {
    if (n.kind != kind) continue;
    BoardKindIdentity(BOARD_KIND_I, pIdentity);
    pIdentity->nSubsystemVendorIdLow = (UCHAR)(n.highNibble << 4);
    return TRUE;
  }
  return FALSE;
}

BOOLEAN BoardVariantIdentity(BoardVariant variant, PCI_IDENTITY* pIdentity) {
  for (const VariantBytes& v : kVariants) {
    if (v.variant != variant) continue;
    BoardKindIdentity(v.kind, pIdentity);
    if (v.deviceId) pIdentity->nDeviceId = v.deviceId;
    pIdentity->nSubsystemVendorIdLow = v.subsystemLow;
    pIdentity->nSubsystemVendorIdHigh = v.subsystemHigh;
    return TRUE;
  }
  return FALSE;
}
