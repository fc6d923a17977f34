// Intrusive doubly linked lists, as the kernel keeps them: the head is a LIST_ENTRY
// whose links point at itself when the list is empty.
#pragma once

#include "platform/kernel/ntdef.h"

inline VOID InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return (BOOLEAN)(ListHead->Flink == ListHead); }

// Unlinks Entry; TRUE when the list is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY blink = Entry->Blink;
  PLIST_ENTRY flink = Entry->Flink;
  blink->Flink = flink;
  flink->Blink = blink;
  return (BOOLEAN)(flink == blink);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY entry = ListHead->Flink;
  PLIST_ENTRY flink = entry->Flink;
  ListHead->Flink = flink;
  flink->Blink = ListHead;
  return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY entry = ListHead->Blink;
  PLIST_ENTRY blink = entry->Blink;
  ListHead->Blink = blink;
  blink->Flink = ListHead;
  return entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = blink;
  blink->Flink = Entry;
  ListHead->Blink = Entry;
}

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY flink = ListHead->Flink;
  Entry->Flink = flink;
  Entry->Blink = ListHead;
  flink->Blink = Entry;
  ListHead->Flink = Entry;
}

// Moves every entry of ListToAppend (a list without its own head) before ListHead's end.
inline VOID AppendTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListToAppend) {
  PLIST_ENTRY listEnd = ListHead->Blink;
  ListHead->Blink->Flink = ListToAppend;
  ListHead->Blink = ListToAppend->Blink;
  ListToAppend->Blink->Flink = ListHead;
  ListToAppend->Blink = listEnd;
}

inline VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
  Entry->Next = ListHead->Next;
  ListHead->Next = Entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  if (first) ListHead->Next = first->Next;
  return first;
}
