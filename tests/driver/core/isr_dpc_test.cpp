// The interrupt routine's gate and status table, the DPC's gather, callback and
// completion rules, and the channel table, on a simulated encoder board in manual mode:
// the test raises a status, services the interrupt and drains the DPCs by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/pci_base.h"
#include "driver/hardware/registers.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/pci/host.h"
#include "tests/support/physical_address.h"

namespace board = platform::board;
namespace machine = platform::kernel;
namespace pci = platform::pci;

namespace {

struct HandlerCall {
  ULONG status;
  ULONG value;
};
std::vector<HandlerCall> g_handlerCalls;
std::mutex g_handlerMu;

// Stands in for the transfer path's status handler.
ULONG RecordStatus(CDevice* Device, ULONG Status, ULONG Value) {
  std::lock_guard<std::mutex> l(g_handlerMu);
  g_handlerCalls.push_back({Status, Value});
  return 1;
}

struct TestDevice : CPCIBaseDevice {};

// A pin as the channel table sees it: its context starts with its semaphore.
struct FakePin {
  KSEMAPHORE semaphore;
  KSPIN_LOCK lock;
  LIST_ENTRY pending;
  LIST_ENTRY done;
  CloneNode nodes[8];
  int queued = 0;
  FakePin() {
    KeInitializeSemaphore(&semaphore, 0, 0x7FFFFFFF);
    KeInitializeSpinLock(&lock);
    InitializeListHead(&pending);
    InitializeListHead(&done);
    memset(nodes, 0, sizeof nodes);
  }
  CloneNode* Queue() {
    CloneNode* n = &nodes[queued++];
    n->pClone = reinterpret_cast<struct _KSSTREAM_POINTER*>(0x1000 + queued);
    n->pData = reinterpret_cast<PUCHAR>(0x2000 + queued);
    InsertTailList(&pending, &n->Link);
    return n;
  }
  struct _KSPIN* pin() {
    return reinterpret_cast<struct _KSPIN*>(this);
  }
  LONG completed() { return KeReadStateSemaphore(&semaphore); }
  size_t Count(PLIST_ENTRY l) {
    size_t n = 0;
    for (PLIST_ENTRY e = l->Flink; e != l; e = e->Flink) ++n;
    return n;
  }
};

// What the frame-done callback saw, and what it answers per row.
struct CallbackScript {
  struct Call {
    std::vector<struct _KSPIN*> pins;
    std::vector<struct _KSSTREAM_POINTER*> clones;
    PVOID reserved3, reserved4;
    std::vector<PUCHAR> data;
    ULONG status, value;
    CDevice* device;
  };
  std::vector<Call> calls;
  UCHAR done[CHANNEL_ROWS] = {};
  ULONG lengths[CHANNEL_ROWS] = {};
  ULONGLONG values[CHANNEL_ROWS] = {};
  UCHAR flags[CHANNEL_ROWS] = {};
};
CallbackScript* g_script = nullptr;

VOID ScriptedCallback(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID r3, PVOID r4, PUCHAR* data,
                      ULONG* lengths, ULONGLONG* values, UCHAR* done, UCHAR* flags, CDevice* device, ULONG status,
                      ULONG value) {
  CallbackScript& s = *g_script;
  CallbackScript::Call c;
  c.pins.assign(pins, pins + CHANNEL_ROWS);
  c.clones.assign(clones, clones + CHANNEL_ROWS);
  c.data.assign(data, data + CHANNEL_ROWS);
  c.reserved3 = r3;
  c.reserved4 = r4;
  c.status = status;
  c.value = value;
  c.device = device;
  for (int r = 0; r < CHANNEL_ROWS; ++r) {
    EXPECT_EQ(lengths[r], 0u);
    EXPECT_EQ(done[r], 0);
    EXPECT_EQ(flags[r], 0);
    lengths[r] = s.lengths[r];
    values[r] = s.values[r];
    done[r] = s.done[r];
    flags[r] = s.flags[r];
  }
  s.calls.push_back(std::move(c));
}

using vorlix_test::Pa;

// What PCI start does for the interrupt path, on a board already plugged into `slot`:
// window 0 mapped, the identity and the channel table, the DPC lock and objects, the
// gate open, the interrupt connected (its status is the result).
NTSTATUS Wire(TestDevice* d, pci::Slot* slot, PCI_IDENTITY* identity, ChannelTable* table) {
  d->m_nBarLength[0] = 0x10000;
  d->m_pBar[0] = static_cast<PUCHAR>(MmMapIoSpace(Pa(slot->windowBase(0)), 0x10000, MmNonCached));
  d->m_pPciIdentity = identity;
  d->m_pChannelTable = table;
  KeInitializeSpinLock(&d->m_DpcLock);
  for (auto& dpc : d->m_aDpc) KeInitializeDpc(&dpc, CPCIBaseDevice::OnDpcHandle, d);
  d->m_pfnProcessStatus = RecordStatus;
  d->m_nIsrGate = 1;
  return IoConnectInterrupt(&d->m_pInterrupt, CPCIBaseDevice::OnInterruptHandle, d, nullptr, slot->vector(),
                            slot->level(), slot->level(), LevelSensitive, TRUE, 1, FALSE);
}

class IsrDpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::ResetMachine();
    pci::Reset();
    g_handlerCalls.clear();
    g_script = &script_;
    BoardKindIdentity(BOARD_KIND_ENCODER, &identity_);
    identity_.nSubsystemId = 0x5678;
    slot_ = pci::PlugIn(board_);
    ASSERT_EQ(Wire(d_.get(), slot_, &identity_, &table_), STATUS_SUCCESS);
    board_.ClearAccessLog();
  }
  void TearDown() override {
    if (d_->m_pInterrupt) IoDisconnectInterrupt(d_->m_pInterrupt);
    MmUnmapIoSpace(d_->m_pBar[0], 0x10000);
    pci::Unplug(slot_);
    machine::RunPendingDpcs();
    g_script = nullptr;
    pci::Reset();
    machine::ResetMachine();
  }
  // Raises a status on the board and lets the interrupt routine answer it.
  bool Interrupt(ULONG bits) {
    board_.RaiseStatus(bits);
    return pci::Service(slot_);
  }
  void Dpc(ULONG status, ULONG value = 0) {
    KeInsertQueueDpc(&d_->m_aDpc[0], reinterpret_cast<PVOID>((ULONG_PTR)status),
                     reinterpret_cast<PVOID>((ULONG_PTR)value));
    machine::RunPendingDpcs();
  }
  void Register(ULONG row, FakePin& p, FrameDoneCallback cb = ScriptedCallback) {
    CPCIBaseDevice::RegisterChannel(d_.get(), row, p.pin(), &p.lock, &p.pending, &p.done, &p.semaphore, cb);
  }
  void Run(ULONG row, FakePin& p) {
    Register(row, p);
    CPCIBaseDevice::StartChannel(d_.get(), row);
  }
  std::vector<std::string> Log() { return machine::DebugLogLines(); }

  board::EncoderBoard board_;
  pci::Slot* slot_ = nullptr;
  std::unique_ptr<TestDevice> d_{new TestDevice()};
  PCI_IDENTITY identity_{};
  ChannelTable table_{};
  CallbackScript script_;
};

// ---------------------------------------------------------------------------------------
// Interrupt service routine.

TEST_F(IsrDpcTest, ClosedGateRefusesWithoutTouchingTheBoard) {
  d_->m_nIsrGate = 0;
  EXPECT_FALSE(Interrupt(INT_DMA_DONE));
  EXPECT_TRUE(board_.AccessLog().empty());
  EXPECT_EQ(board_.PendingStatus(), INT_DMA_DONE);
  EXPECT_EQ(machine::PendingDpcCount(), 0u);
}

TEST_F(IsrDpcTest, StatusTableChoosesTheValueAndTheHandlerCalls) {
  struct Case {
    const char* name;
    ULONG status;
    bool answered;
    ULONG value;
    size_t handlerCalls;
  };
  const Case cases[] = {
      {"response", INT_MAILBOX_RESPONSE, true, 2, 1},
      {"transfer done, no callback", INT_DMA_DONE, true, 0x1FE0, 1},
      {"second transfer done", INT_DMA_DONE_ALT, true, 0x1FE0, 1},
      {"response with second transfer done", INT_MAILBOX_RESPONSE | INT_DMA_DONE_ALT, true, 2, 1},
      {"bus error A", INT_PCI_RESET_A, true, 0, 1},
      {"bus error B", INT_PCI_RESET_B, true, 0, 1},
      {"bit 17 only", 0x20000, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_handlerCalls.clear();
    board_.ClearAccessLog();
    board_.Poke(0, REG_RESP_TYPE, 2);
    board_.Poke(0, REG_DMA_STATUS, 0x1FE0);
    EXPECT_EQ(Interrupt(c.status), c.answered);
    // Acknowledged by writing back exactly what was read, in every case.
    EXPECT_EQ(board_.WritesTo(REG_INT_STATUS).front(), c.status);
    EXPECT_EQ(board_.PendingStatus(), 0u);
    if (c.answered) {
      EXPECT_EQ(d_->m_nIsrGate.load(), 0u);
      EXPECT_EQ(machine::PendingDpcCount(), 1u);
    }
    machine::RunPendingDpcs();
    EXPECT_EQ(d_->m_nIsrGate.load(), 1u);
    ASSERT_EQ(g_handlerCalls.size(), c.handlerCalls);
    for (const HandlerCall& h : g_handlerCalls) {
      EXPECT_EQ(h.status, c.status);
      EXPECT_EQ(h.value, c.value);
    }
  }
}

TEST_F(IsrDpcTest, BusErrorRunsTheRecoverySequence) {
  board_.Poke(0, REG_CORE_CONTROL, 0xBFFFFE3F);
  EXPECT_TRUE(Interrupt(INT_PCI_RESET_A));
  std::vector<std::string> seq;
  char buf[32];
  for (const auto& a : board_.AccessLog()) {
    snprintf(buf, sizeof buf, "%c%04X=%X", a.write ? 'W' : 'R', a.offset, a.value);
    seq.push_back(buf);
  }
  const std::vector<std::string> expected = {
      "R3930=100000",   "W3930=100000",   "W5040=30",       "R5040=30",       "W5040=0",
      "R5040=0",        "W5040=30",       "R5040=30",       "W5040=0",        "R5040=0",
      "R3C20=BFFFFE3F", "W3C20=BFFFFE37", "R3C20=BFFFFE37", "W3C20=BFFFFE3F", "R3C20=BFFFFE3F",
      "W3930=3F",       "R3930=0",        "W5040=30",       "R5040=30",       "W5040=0",
      "R5040=0",        "W5040=30",       "R5040=30",       "W5040=0",        "R5040=0",
  };
  EXPECT_EQ(seq, expected);
}

TEST_F(IsrDpcTest, ShortWindowIsNeverTouched) {
  d_->m_nBarLength[0] = 0x5040;  // one register short of the recovery pulses
  EXPECT_FALSE(Interrupt(INT_DMA_DONE));
  EXPECT_TRUE(board_.AccessLog().empty());
  d_->m_nBarLength[0] = 0x10000;
}

TEST_F(IsrDpcTest, BusyDpcObjectsAreSkippedAndReported) {
  // DPC object 0 already queued: object 1 takes the status.
  KeInsertQueueDpc(&d_->m_aDpc[0], reinterpret_cast<PVOID>((ULONG_PTR)INT_DMA_DONE_ALT), nullptr);
  EXPECT_TRUE(Interrupt(INT_MAILBOX_RESPONSE));
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], std::string("CPCIBaseDevice::OnInterruptHandle( KeInsertQueueDpc( 1D8A.7160.5678 \xA1\xD1 "
                                "status = 0x00010000 ) ) WRONG!! (1)"));
  EXPECT_EQ(machine::RunPendingDpcs(), 2u);
  EXPECT_EQ(g_handlerCalls.size(), 2u);  // the status is still handled

  // Every object queued: the status is dropped, the gate opens again.
  machine::ClearDebugLog();
  for (auto& dpc : d_->m_aDpc) KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_TRUE(Interrupt(INT_DMA_DONE));
  EXPECT_EQ(d_->m_nIsrGate.load(), 1u);
  log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], std::string("CPCIBaseDevice::OnInterruptHandle( KeInsertQueueDpc( 1D8A.7160.5678 \xA1\xD1 "
                                "status = 0x00040000 ) ) FAIL!!"));
  machine::RunPendingDpcs();
}

// ---------------------------------------------------------------------------------------
// Deferred procedure call.

TEST_F(IsrDpcTest, TicksGatherAndCallTheHandlerOnceWithItsBits) {
  FakePin p;
  Run(0, p);
  struct Case {
    ULONG status, value;
    ULONG handlerStatus;  // one call: the bits the handler owns, or a real tick as it is
  };
  for (const Case& c : {Case{TICK_VIDEO, 7, 0x390000}, Case{TICK_AUDIO, 7, 0x280000},
                        Case{TICK_VIDEO, TICK_VIDEO, TICK_VIDEO}, Case{TICK_AUDIO, TICK_AUDIO, TICK_AUDIO}}) {
    SCOPED_TRACE(c.status);
    g_handlerCalls.clear();
    script_.calls.clear();
    Dpc(c.status, c.value);
    ASSERT_EQ(script_.calls.size(), 1u);
    EXPECT_EQ(script_.calls[0].status, c.status);
    EXPECT_EQ(script_.calls[0].value, c.value);
    ASSERT_EQ(g_handlerCalls.size(), 1u);
    EXPECT_EQ(g_handlerCalls[0].status, c.handlerStatus);
    EXPECT_EQ(g_handlerCalls[0].value, c.value);
  }
  // No recovery: synthetic statuses never reach the board.
  EXPECT_TRUE(board_.AccessLog().empty());
}

// A status with several bits reaches the handler once, with bit 18 only when no callback
// took it.
TEST_F(IsrDpcTest, CombinedStatusesReachTheHandlerOnce) {
  const ULONG all = INT_MAILBOX_RESPONSE | INT_DMA_DONE | INT_DMA_DONE_ALT | INT_PCI_RESET_A;
  Dpc(all, 2);
  ASSERT_EQ(g_handlerCalls.size(), 1u);
  EXPECT_EQ(g_handlerCalls[0].status, all);
  FakePin p;
  Run(0, p);
  g_handlerCalls.clear();
  Dpc(all, 2);
  ASSERT_EQ(g_handlerCalls.size(), 1u);
  EXPECT_EQ(g_handlerCalls[0].status, all & ~INT_DMA_DONE);
  g_handlerCalls.clear();
  Dpc(INT_DMA_DONE, 2);
  EXPECT_TRUE(g_handlerCalls.empty());
}

TEST_F(IsrDpcTest, TransferDoneWithoutCallbackCompletesNothing) {
  FakePin p;
  Run(0, p);
  CPCIBaseDevice::RegisterChannel(d_.get(), 0, p.pin(), &p.lock, &p.pending, &p.done, &p.semaphore, nullptr);
  CPCIBaseDevice::StartChannel(d_.get(), 0);
  p.Queue();
  script_.done[0] = 1;
  Dpc(INT_DMA_DONE);
  EXPECT_EQ(p.completed(), 0);
  EXPECT_EQ(p.Count(&p.pending), 1u);
  ASSERT_EQ(g_handlerCalls.size(), 1u);
}

TEST_F(IsrDpcTest, CallbackSeesRunningRowsAndTheirOldestEntries) {
  FakePin running, idle, empty;
  Run(2, running);
  Register(5, idle);  // registered, never started
  Run(9, empty);
  CloneNode* first = running.Queue();
  running.Queue();
  idle.Queue();
  Dpc(INT_DMA_DONE, 0x40);
  ASSERT_EQ(script_.calls.size(), 1u);
  const auto& c = script_.calls[0];
  for (int r = 0; r < CHANNEL_ROWS; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(c.pins[r], r == 2 ? running.pin() : r == 9 ? empty.pin() : nullptr);
    EXPECT_EQ(c.clones[r], r == 2 ? first->pClone : nullptr);
    EXPECT_EQ(c.data[r], r == 2 ? first->pData : nullptr);
  }
  EXPECT_EQ(c.reserved3, nullptr);
  EXPECT_EQ(c.reserved4, nullptr);
  EXPECT_EQ(c.device, d_->AsDevice());
  EXPECT_EQ(c.status, INT_DMA_DONE);
  EXPECT_EQ(c.value, 0x40u);
  EXPECT_TRUE(g_handlerCalls.empty());  // bit 18 went to the callback
  EXPECT_EQ(d_->m_nIsrGate.load(), 1u);
}

TEST_F(IsrDpcTest, ImmediateCompletionStoresResultsAndReleases) {
  FakePin p;
  Run(0, p);
  CloneNode* a = p.Queue();
  CloneNode* b = p.Queue();
  script_.lengths[0] = 1234;
  script_.values[0] = 0x1122334455ull;
  script_.flags[0] = 0x02;
  a->nFlags = 0x01;
  Dpc(INT_DMA_DONE);  // not done: stays, results stored
  EXPECT_EQ(p.completed(), 0);
  EXPECT_EQ(a->nLength, 1234u);
  EXPECT_EQ((ULONGLONG)a->nValue, 0x1122334455ull);
  EXPECT_EQ(a->nFlags, 0x03);
  EXPECT_EQ(a->bDone, 0);
  script_.done[0] = 1;
  Dpc(INT_DMA_DONE);
  EXPECT_EQ(p.completed(), 1);
  EXPECT_EQ(a->bDone, 1);
  ASSERT_EQ(p.Count(&p.pending), 1u);
  EXPECT_EQ(CONTAINING_RECORD(p.pending.Flink, CloneNode, Link), b);
}

// A frame is queued and reported done in every pass; the table says after which passes
// how many frames were released.
TEST_F(IsrDpcTest, HoldRulesReleaseFramesLate) {
  struct Case {
    const char* name;
    BoardKind kind;
    ULONG row;
    ULONG length;
    std::vector<LONG> releasedAfterPass;
  };
  const Case cases[] = {
      {"C one-frame hold", BOARD_KIND_C, 3, 100, {0, 1, 2}},
      {"A row 0 one-frame hold", BOARD_KIND_A, 0, 100, {0, 1, 2}},
      {"A row 1 immediate", BOARD_KIND_A, 1, 100, {1, 2, 3}},
      {"D row 5 two-pass hold", BOARD_KIND_D, 5, 100, {0, 0, 1, 2}},
      {"D row 2, length with bit 31", BOARD_KIND_D, 2, 0x80000010, {0, 1, 2, 3}},
      {"D row 2, length all ones", BOARD_KIND_D, 2, 0xFFFFFFFF, {0, 0, 1, 2}},
      {"D row 5, length with bit 31", BOARD_KIND_D, 5, 0x80000010, {0, 0, 1, 2}},
      {"D row 8 immediate", BOARD_KIND_D, 8, 100, {1, 2, 3, 4}},
      {"encoder immediate", BOARD_KIND_ENCODER, 0, 100, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardKindIdentity(c.kind, &identity_);
    FakePin p;
    Run(c.row, p);
    script_ = CallbackScript{};
    script_.done[c.row] = 1;
    script_.lengths[c.row] = c.length;
    for (size_t pass = 0; pass < c.releasedAfterPass.size(); ++pass) {
      p.Queue();
      Dpc(INT_DMA_DONE);
      EXPECT_EQ(p.completed(), c.releasedAfterPass[pass]) << "pass " << pass + 1;
    }
    size_t queued = c.releasedAfterPass.size();
    EXPECT_EQ(p.Count(&p.done) + (size_t)p.completed(), queued);
    EXPECT_TRUE(IsListEmpty(&p.pending));
    CPCIBaseDevice::StopChannel(d_.get(), c.row);
    CPCIBaseDevice::UnregisterChannel(d_.get(), c.row);
  }
}

// Row 0 of the length-stamp variant stamps the data-used count of the frame it releases
// with the low 16 bits of this pass's length; other rows and variants leave it alone.
TEST_F(IsrDpcTest, LengthStampVariantStampsRowZeroOnRelease) {
  struct Case {
    const char* name;
    bool variant;
    ULONG row;
    std::vector<ULONG> expected;  // data-used of the three frames after four passes
  };
  const Case cases[] = {
      {"variant row 0", true, 0, {0x0002, 0x0003, 0xFFFFFFFF}},
      {"variant row 1", true, 1, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},
      {"plain kind D row 0", false, 0, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.variant)
      ASSERT_TRUE(BoardVariantIdentity(BOARD_VARIANT_D_LENGTH_STAMP, &identity_));
    else
      BoardKindIdentity(BOARD_KIND_D, &identity_);
    FakePin p;
    Run(c.row, p);
    KSSTREAM_HEADER headers[4] = {};
    KSSTREAM_POINTER pointers[4] = {};
    script_ = CallbackScript{};
    script_.done[c.row] = 1;
    for (int pass = 0; pass < 4; ++pass) {
      headers[pass].DataUsed = 0xFFFFFFFF;
      pointers[pass].StreamHeader = &headers[pass];
      p.Queue()->pClone = &pointers[pass];
      script_.lengths[c.row] = 0x10000u * 7 + (ULONG)pass;  // only the low 16 bits count
      Dpc(INT_DMA_DONE);
    }
    EXPECT_EQ(p.completed(), 2);  // two passes of hold: frames 0 and 1 left
    for (int i = 0; i < 3; ++i) EXPECT_EQ(headers[i].DataUsed, c.expected[i]) << "frame " << i;
    CPCIBaseDevice::StopChannel(d_.get(), c.row);
    CPCIBaseDevice::UnregisterChannel(d_.get(), c.row);
  }
}

TEST_F(IsrDpcTest, HeldFramesAreReleasedEvenWithoutANewEntry) {
  BoardKindIdentity(BOARD_KIND_C, &identity_);
  FakePin p;
  Run(0, p);
  script_.done[0] = 1;
  p.Queue();
  Dpc(INT_DMA_DONE);
  EXPECT_EQ(p.completed(), 0);
  Dpc(INT_DMA_DONE);  // nothing pending, but the held frame goes
  EXPECT_EQ(p.completed(), 1);
  EXPECT_TRUE(IsListEmpty(&p.done));
}

TEST_F(IsrDpcTest, DpcAfterTheTableIsGoneDoesNothing) {
  d_->m_pChannelTable = nullptr;
  d_->m_nIsrGate = 0;
  Dpc(INT_DMA_DONE | INT_MAILBOX_RESPONSE);
  EXPECT_TRUE(g_handlerCalls.empty());
  EXPECT_EQ(d_->m_nIsrGate.load(), 0u);
  d_->m_pChannelTable = &table_;
}

// ---------------------------------------------------------------------------------------
// Channel table.

TEST_F(IsrDpcTest, ChannelOperationsCountRowsAndSynchroniseWithTheInterrupt) {
  FakePin a, b;
  Register(0, a);
  Register(1, b);
  EXPECT_EQ(table_.nRegistered, 2u);
  EXPECT_EQ(table_.nState[0], (ULONG)CHANNEL_REGISTERED);
  EXPECT_EQ(table_.pfnFrameDone, ScriptedCallback);

  CPCIBaseDevice::StartChannel(d_.get(), 0);
  EXPECT_EQ(table_.nState[0], (ULONG)CHANNEL_RUNNING);
  EXPECT_EQ(pci::SynchronizeCount(slot_), 1u);  // nRunning became 1
  CPCIBaseDevice::StartChannel(d_.get(), 1);
  EXPECT_EQ(table_.nRunning, 2u);
  EXPECT_EQ(pci::SynchronizeCount(slot_), 1u);

  CPCIBaseDevice::StopChannel(d_.get(), 1);
  EXPECT_EQ(pci::SynchronizeCount(slot_), 1u);  // two were running
  CPCIBaseDevice::StopChannel(d_.get(), 0);
  EXPECT_EQ(pci::SynchronizeCount(slot_), 2u);  // the last one waits out the interrupt
  EXPECT_EQ(table_.nRunning, 0u);
  EXPECT_EQ(table_.nState[0], (ULONG)CHANNEL_FREE);
  CPCIBaseDevice::StopChannel(d_.get(), 0);  // again: never below 0
  EXPECT_EQ(table_.nRunning, 0u);

  CPCIBaseDevice::UnregisterChannel(d_.get(), 1);
  EXPECT_EQ(table_.nRegistered, 1u);
  EXPECT_EQ(table_.pfnFrameDone, ScriptedCallback);
  CPCIBaseDevice::UnregisterChannel(d_.get(), 0);
  EXPECT_EQ(table_.nRegistered, 0u);
  EXPECT_EQ(table_.pfnFrameDone, nullptr);
  EXPECT_EQ(table_.pPin[0], nullptr);
}

TEST_F(IsrDpcTest, RowsNeverRegisteredChangeNothing) {
  FakePin a;
  Run(4, a);
  // A stream whose power-up failed still stops and unregisters its row.
  CPCIBaseDevice::StartChannel(d_.get(), 6);
  CPCIBaseDevice::StopChannel(d_.get(), 6);
  CPCIBaseDevice::UnregisterChannel(d_.get(), 6);
  EXPECT_EQ(table_.nRegistered, 1u);
  EXPECT_EQ(table_.nRunning, 1u);
  EXPECT_EQ(table_.pfnFrameDone, ScriptedCallback);
  // Registering the same row twice counts it once, starting it twice too.
  CPCIBaseDevice::StopChannel(d_.get(), 4);
  Register(4, a);
  EXPECT_EQ(table_.nRegistered, 1u);
  CPCIBaseDevice::StartChannel(d_.get(), 4);
  CPCIBaseDevice::StartChannel(d_.get(), 4);
  EXPECT_EQ(table_.nRunning, 1u);
  CPCIBaseDevice::StartChannel(d_.get(), 40);  // past the table
  CPCIBaseDevice::UnregisterChannel(d_.get(), 40);
  EXPECT_EQ(table_.nRegistered, 1u);
}

// ---------------------------------------------------------------------------------------
// Threaded: interrupts while channels start and stop.

TEST(IsrDpcThreaded, InterruptsWhileChannelsStartAndStop) {
  machine::ResetMachine();
  pci::Reset();
  machine::SetMode(machine::Mode::Threaded);
  machine::UseRealClock();
  {
    board::EncoderBoard b;
    pci::Slot* slot = pci::PlugIn(b);
    std::unique_ptr<TestDevice> d(new TestDevice());
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    ChannelTable table{};
    ASSERT_EQ(Wire(d.get(), slot, &id, &table), STATUS_SUCCESS);
    CallbackScript script;
    g_script = &script;
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
      while (!stop) {
        b.RaiseStatus(INT_DMA_DONE);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
    FakePin pins[4];
    for (int k = 0; k < 4; ++k)
      CPCIBaseDevice::RegisterChannel(d.get(), k, pins[k].pin(), &pins[k].lock, &pins[k].pending, &pins[k].done,
                                      &pins[k].semaphore, ScriptedCallback);
    // At least 200 rounds, and on until the interrupt has come often enough to have met
    // them: a loaded machine may run its delivery thread late, however many rounds pass.
    // (The real-time bound only ends a broken run.)
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int round = 0;
    for (; round < 200 || pci::Deliveries(slot) < 20; ++round) {
      if (std::chrono::steady_clock::now() > giveUp) break;
      int row = round % 4;
      CPCIBaseDevice::StartChannel(d.get(), row);
      CPCIBaseDevice::StopChannel(d.get(), row);
    }
    stop = true;
    raiser.join();
    for (int k = 0; k < 4; ++k) CPCIBaseDevice::UnregisterChannel(d.get(), k);
    IoDisconnectInterrupt(d->m_pInterrupt);
    machine::WaitForDpcsIdle();
    EXPECT_EQ(table.nRunning, 0u);
    EXPECT_EQ(table.nRegistered, 0u);
    EXPECT_GE(pci::Deliveries(slot), 20u) << "in " << round << " rounds";
    MmUnmapIoSpace(d->m_pBar[0], 0x10000);
    pci::Unplug(slot);
    g_script = nullptr;
  }
  pci::Reset();
  machine::ResetMachine();
}

}  // namespace
