// The sibling-model mailbox: id 995 delivers a command with an optional payload, id 996
// collects the reply prepared in the 256-byte mailbox. Lengths come from the caller, so
// every copy is bounded by the mailbox and by the buffer that carries it.
#include "driver/properties/custom_device.h"

namespace {

constexpr ULONG kPayloadOffset = 10;
constexpr ULONG kReplyOffset = 4;

}  // namespace

NTSTATUS OnSetCustomVQ377Interface(CustomRequest& r) {
  CDevice* d = r.device;
  UCHAR command = r.data[0], flags = r.data[1];
  USHORT length;
  RtlCopyMemory(&length, r.data + 8, sizeof(length));
  // A payload larger than the mailbox, or than the request carries, is refused whole.
  if (length > sizeof(d->m_abMailbox) || kPayloadOffset + length > r.dataLength) return STATUS_INVALID_PARAMETER;
  if (length) RtlCopyMemory(d->m_abMailbox, r.data + kPayloadOffset, length);
  switch (command) {
    case 0:
    case 1:
      StoreWord(d->m_nMailboxReplySize, (flags & 0x80) ? length : 0);
      break;
    case 2:
      DbgPrint("OnSetCustomVQ377Interface() Start Thread \n");
      break;
    case 4: {
      ULONG v = LoadWord(d->m_nDigitalCaptureStreamPowerReference);
      DbgPrint("OnSetCustomVQ377Interface() Get  m_nDigitalCaptureStreamPowerReference = %d \n", v);
      d->m_abMailbox[0] = 0xAA;
      d->m_abMailbox[1] = 0x55;
      d->m_abMailbox[2] = (UCHAR)(v & 0xFF);
      d->m_abMailbox[3] = (UCHAR)(0xFF - (v & 0xFF));
      StoreWord(d->m_nMailboxReplySize, 4);
      break;
    }
    default:
      break;
  }
  return STATUS_SUCCESS;
}

// The returned count is the size field plus 7, as the sibling model's applications
// expect, never more than the buffer. A pending reply larger than the buffer is not
// cut: the caller is told the count it needs.
NTSTATUS OnGetCustomVQ377Data(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG pending = LoadWord(d->m_nMailboxReplySize);
  DbgPrint("OnGetCustomVQ377Data(), size = 0x%x, structure size 0x%x, data 0x%x, 0x%x\n", pending, 8, r.data[4],
           r.data[5]);
  ULONG room = r.dataLength - kReplyOffset;
  ULONG size;
  if (pending) {
    if (pending > room) {
      r.irp->IoStatus.Information = pending + 7;
      return STATUS_BUFFER_OVERFLOW;
    }
    size = pending;
    r.PutWord(size);
    RtlCopyMemory(r.data + kReplyOffset, d->m_abMailbox, size);
  } else {
    size = r.Word();
    RtlZeroMemory(r.data + kReplyOffset, size < room ? size : room);
  }
  ULONGLONG count = (ULONGLONG)size + 7;
  r.irp->IoStatus.Information = (ULONG_PTR)(count < r.dataLength ? count : r.dataLength);
  return STATUS_SUCCESS;
}
