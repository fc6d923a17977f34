// Preview and encoder properties with rules of their own: the quality, GOP and key-frame
// sets that also feed the VideoCompression arrays the settings pass reads, and the crop
// record.
#include "driver/properties/custom_device.h"

namespace {

ULONG* Array(CustomRequest& r, USHORT offset) {
  return reinterpret_cast<ULONG*>(reinterpret_cast<PUCHAR>(static_cast<CDeviceSettings*>(r.device)) + offset);
}

}  // namespace

// Ids 404 and 405 store the flagged value in their own array and in the VideoCompression
// array of the same index; id 406 stores the request as given in both.
NTSTATUS OnSetCustomEncoderVideoCompressionProperty(CustomRequest& r) {
  ULONG v = r.Word();
  DbgPrint(
      "CDevice::OnSet%s( %d "
      "\xA1"
      "\xD1"
      " %d )\n",
      r.row->name, r.channelIndex, v);
  ULONG stored = r.row->id == 406 ? v : v | CUSTOM_FLAG;
  StoreWord(Array(r, r.row->member)[r.channelIndex], stored);
  StoreWord(Array(r, (USHORT)r.row->arg)[r.channelIndex], stored);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomEncoderVideoCropProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG i = r.channelIndex;
  ULONG w[4] = {
      LoadWord(d->m_nEncoderVideoCropX[i]) & CUSTOM_GET_MASK, LoadWord(d->m_nEncoderVideoCropY[i]) & CUSTOM_GET_MASK,
      LoadWord(d->m_nEncoderVideoCropW[i]) & CUSTOM_GET_MASK, LoadWord(d->m_nEncoderVideoCropH[i]) & CUSTOM_GET_MASK};
  for (ULONG k = 0; k < 4; k++) r.PutWord(w[k], k);
  DbgPrint(
      "CDevice::OnGetCustomEncoderVideoCropProperty( %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d )\n",
      i, w[0], w[1], w[2], w[3]);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomEncoderVideoCropProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG i = r.channelIndex;
  ULONG w[4] = {r.Word(0), r.Word(1), r.Word(2), r.Word(3)};
  DbgPrint(
      "CDevice::OnSetCustomEncoderVideoCropProperty( %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d "
      "\xA1\xD1"
      " %d )\n",
      i, w[0], w[1], w[2], w[3]);
  StoreWord(d->m_nEncoderVideoCropX[i], w[0]);
  StoreWord(d->m_nEncoderVideoCropY[i], w[1]);
  StoreWord(d->m_nEncoderVideoCropW[i], w[2]);
  StoreWord(d->m_nEncoderVideoCropH[i], w[3] | CUSTOM_FLAG);
  return STATUS_SUCCESS;
}
