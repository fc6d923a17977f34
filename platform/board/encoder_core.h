// The encoder board's second half: the command mailbox and the encoder's firmware
// processor behind it, the host-to-board DMA that brings the firmware image in, the SDI
// receiver's four-wire register port on bank B, and the signal source that feeds the
// receiver.
//
// The core lives inside EncoderBoard and runs under the board's lock: register handlers
// change state and post events (responses, transfer-done interrupts) to the board's
// thread; nothing here blocks or calls back into the driver.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/board/h264_model.h"

#include "platform/kernel/ntdef.h"

namespace platform::board {

class EncoderBoard;

// ---- Firmware image ----------------------------------------------------------------------
// The encoder's image format: a magic word, the payload length N, N payload words and a
// check word that makes the sum of all N + 3 words 0 (mod 2^32). Words after the check
// word are ignored (the download pads its last chunk to an even length).
constexpr ULONG kFirmwareMagic = 0x46584C56;  // "VLXF" read little-endian
std::vector<ULONG> MakeFirmwareImage(const std::vector<ULONG>& payload);
// The image as the download's text file holds it: eight lowercase hex digits and CR LF
// per word.
std::string FirmwareHexText(const std::vector<ULONG>& words);
// A small valid image with a recognisable payload of `payloadWords` words.
std::vector<ULONG> SampleFirmwareImage(size_t payloadWords = 300);
// True when `words` starts with a complete image of this format.
bool FirmwareImageValid(const std::vector<ULONG>& words);

// ---- Signal source -------------------------------------------------------------------------
// What the SDI input carries. Rates are what the receiver reports: the field rate for
// the 540-line formats.
enum class InputFormat {
  kNone,
  k480i,     // 720 x 480 at 30 (code 0x16)
  k576i,     // 720 x 576 at 25 (code 0x18)
  k480iAlt,  // code 0x1E, register 33 = 525
  k576iAlt,  // code 0x1E, register 33 = 625
  k720p60,
  k720p50,
  k720p30,
  k720p25,
  k720p24,
  k1080i60,  // 1920 x 540 at 60
  k1080i50,
  k1080i48,
  k1080p30,
  k1080p25,
  k1080p24,
  k1080p60,  // code 0x2B with register 31 = 1920
  k1080p50,  // code 0x2D with register 31 = 1920
};

// The receiver registers a format shows (fill values of the unused bits are ours).
struct ReceiverFormatRegisters {
  USHORT reg6;   // mode code in bits 8-13
  USHORT reg31;  // line value
  USHORT reg33;  // 576 / 480 discrimination for code 0x1E
  USHORT reg34;  // bit 13 = fractional
};
ReceiverFormatRegisters RegistersFor(InputFormat format, bool fractional);

// ---- What the firmware was told ------------------------------------------------------------
struct MailboxRecord {
  ULONG words[9];  // Command, Arg1..Arg7, Checksum
  ULONG command() const { return words[0]; }
  ULONG arg(int i) const { return words[i]; }
};

struct EncoderStreamState {
  // From CONFIG_STREAM (the first of the stream's two selectors).
  ULONG width = 0, height = 0, frameRate = 0, gop = 0, quantiser = 0, mode = 0, progressive = 0;
  ULONG bitRateKbits = 0;  // Arg5 (bit rate >> 10)
  ULONGLONG keepMask = 0;  // from FRAME_RATE (or CONFIG_STREAM Arg6:Arg7)
  bool started = false;
};

struct EncoderState {
  bool imageValid = false;  // the downloaded words form an image of ours
  bool started = false;     // the processor runs the image (boot handshake answered)
  bool booted = false;      // VENDOR_CMD_BOOT received by a started processor
  // CONFIG_INPUT flags.
  ULONG inputArg2 = 0, inputArg3 = 0;
  ULONG boardArg3 = 0;                 // CONFIG_BOARD
  std::vector<ULONG> configSelectors;  // in order of arrival
  bool configEnded = false;
  // Preview.
  bool previewOn = false, previewStarted = false;
  ULONG previewWidth = 0, previewHeight = 0, previewRate = 0;
  ULONGLONG previewMask = 0;
  EncoderStreamState stream[2];  // main, sub
  // OSD.
  std::array<std::string, 3> osdText;
  std::array<ULONG, 3> osdTextArg1{};
  ULONG osdTimeArg1 = 0;
  ULONG osdTimeCommands = 0;
  ULONG audioInputCommands = 0;
  ULONG audioInput = 0;  // bank B bit 7 when the last AUDIO_INPUT arrived
  // The data path: what the producers made and what became of it.
  ULONG previewPictures = 0;  // announced
  ULONG streamPackets[2] = {};
  ULONG audioPackets = 0;
  ULONG droppedResponses = 0;  // their source's room was full
  ULONG doneCommands = 0;      // preview and stream acknowledgements accepted
  ULONG chunks = 0;            // board-to-host chunks moved
  ULONG frameNumber = 0;       // the next test-pattern frame
};

// A response as the mailbox announces it; preview and stream responses carry the words
// the board-to-host DMA moves.
struct Response {
  ULONG type = 0, word = 0, length = 0, tag = 0;
  std::shared_ptr<const std::vector<ULONG>> payload;
};

// The signal's frame geometry and rate.
struct SignalTiming {
  ULONG width = 0, height = 0, frameRate = 0;
};
SignalTiming TimingOf(InputFormat format);

// ---- The core ---------------------------------------------------------------------------------
class EncoderCore {
 public:
  explicit EncoderCore(EncoderBoard& board);

  // Register behaviour (window 0, aligned offsets): OnRead returns the value the read
  // answers with (`stored` for registers without behaviour).
  ULONG OnRead(ULONG offset, ULONG stored);
  void OnWrite(ULONG offset, ULONG value, ULONG previous);

  // Bank B lines as the host drives them (bit 3 data out, 4 clock, 5 select); the
  // receiver's data-in line (bit 2) as it drives it.
  void DriveReceiverPort(ULONG bankBLevels);
  bool ReceiverDataIn() const { return !receiverPresent_ || din_; }

  // ---- test controls and records (each takes the board's lock) ----
  void SetSignal(InputFormat format, bool fractional = false);
  InputFormat signal() const;
  // An absent receiver never drives its data line: every read gives 0xFFFF.
  void SetReceiverPresent(bool present);
  USHORT ReceiverRegister(ULONG address) const;
  void SetReceiverRegister(ULONG address, USHORT value);
  // Receiver transactions as decoded from the wire: "R 006 = 2B00", "W 039 = 00F1".
  std::vector<std::string> ReceiverTransactions() const;

  // The mailbox reads busy for the next `reads` status reads.
  void SetBusyReads(ULONG reads);
  // After each command the mailbox stays busy for this many status reads (default 1).
  void SetCommandBusyWindow(ULONG reads);
  void SetStuckBusy(bool stuck);
  // The next `count` configure-done responses are lost (kAll: every one).
  static constexpr ULONG kAll = 0xFFFFFFFFu;
  void DropResponses(ULONG count);
  // Responses and transfer-done interrupts come this long after their cause (100 ns).
  void SetResponseDelay(LONGLONG delay);
  void SetChunkDelay(LONGLONG delay);
  // Transfer-done of firmware chunks is lost from chunk `first` (0-based) on.
  void DropChunkDoneFrom(ULONG first);
  // The processor runs whatever image it was given.
  void SetAcceptAnyImage(bool any);
  // One word of the image is damaged on its way in.
  void CorruptImageWord(size_t index);
  // The processor runs and has booted without a download (for tests of the mailbox alone).
  void SetRunning();

  // ---- data path controls ----
  // Announces a response with its payload as the producers do (type 1 stream, 2 preview).
  void QueueTransfer(ULONG type, ULONG word, std::vector<ULONG> payload);
  // A bus error (status bits 20 / 21): the transfer in progress is abandoned; after the
  // host's recovery the next response follows.
  void InjectBusError(ULONG bits);
  // The next `count` board-to-host chunks raise these status bits along with their
  // transfer-done.
  void CombineWithChunkDone(ULONG bits, ULONG count = 1);
  // A source's responses (preview, main, sub, audio) waiting beyond this many are dropped,
  // the newest first (default 32 each); a command's answer is never dropped.
  void SetResponseQueueLimit(size_t limit);
  // The producers follow the encoder's start and stop commands (default on).
  void SetProducersEnabled(bool on);
  // Replay: the producers draw and encode one GOP (the preview one cycle of as many
  // pictures) and then send the same pictures and access units round again, so that the
  // board's own work stops counting when the host's path is measured. The streams stay
  // valid H.264 (each round starts at an IDR); the pictures' numbers repeat. A stream
  // keeps the rounds of its last few settings (up to a bound in bytes): settings it had
  // before are sent from their round again, from its IDR, without the engine.
  void SetReplay(bool on);
  // Access units the H.264 engine made, per stream (kept when recording is on).
  void SetRecordAccessUnits(bool on);
  std::vector<std::vector<uint8_t>> AccessUnits(int stream) const;

  // Every command the mailbox latched, in order (also those the firmware ignored).
  std::vector<MailboxRecord> Commands() const;
  void ClearCommands();
  std::vector<ULONG> DownloadedWords() const;
  // Lengths (words) of the firmware chunks in order.
  std::vector<ULONG> ChunkLengths() const;
  EncoderState state() const;
  // Processor time the board-to-host DMA's copies took so far (ns). They run on the
  // thread that starts a chunk (the driver's), so a measurement of the driver's share
  // takes them off that thread's time.
  uint64_t DmaCopyNanoseconds() const { return dmaCopyNs_.load(std::memory_order_relaxed); }

 private:
  void ResetModel();
  void Command(const MailboxRecord& r);
  void Configure(const MailboxRecord& r);
  void QueueResponse(ULONG type, ULONG word);
  void Enqueue(Response r);
  void DeliverResponse();
  void ReleaseResponse();
  void TakeResponse();
  void Done(const MailboxRecord& r);
  void StartTransferChunk();
  void UpdateProducers();
  void ScheduleFrame(ULONG epoch);
  void ScheduleAudio(ULONG epoch);
  void FrameTick(ULONG epoch);
  void AudioTick(ULONG epoch);
  void ProduceStream(int s, ULONG frame, ULONG sourceRate);
  void StartChunk();
  void Boot();
  ULONG& Reg(ULONG offset);

  EncoderBoard& board_;
  EncoderState state_;
  ULONG generation_ = 0;  // counts system resets
  // Mailbox.
  ULONG busyReads_ = 0;
  ULONG busyWindow_ = 1;
  bool stuckBusy_ = false;
  ULONG dropResponses_ = 0;
  LONGLONG responseDelay_ = 0;
  std::vector<MailboxRecord> commands_;
  std::deque<Response> responseQueue_;
  std::optional<Response> current_;  // announced, not yet released
  bool transferTaken_ = false;       // current_ was taken: its words move, its DONE is due
  ULONG transferWords_ = 0;          // words of current_ moved so far
  bool transferChecked_ = false;     // its DMA set-up was checked
  size_t responseLimit_ = 32;
  ULONG nextTag_ = 0;
  bool busErrorRecovery_ = false;
  ULONG transferEpoch_ = 0;  // a bus error cancels the chunks on their way
  ULONG combineBits_ = 0, combineCount_ = 0;
  std::atomic<uint64_t> dmaCopyNs_{0};
  // Replay: what the first round made, by position in the round.
  bool replay_ = false;
  struct ReplayPacket {
    std::shared_ptr<const std::vector<ULONG>> payload;
    int type = 0;
  };
  std::vector<ReplayPacket> replayStream_[2];
  H264Settings replaySettings_[2];  // of the round kept
  // Whole rounds of earlier settings, the most recent first: at most kKeptRounds of
  // them and kKeptBytes of packets a stream (a round at an absurd bit rate is not kept).
  struct KeptRound {
    H264Settings settings;
    std::vector<ReplayPacket> packets;
    size_t bytes = 0;
  };
  static constexpr size_t kKeptRounds = 8;
  static constexpr size_t kKeptBytes = 32u << 20;
  std::deque<KeptRound> keptRounds_[2];
  bool replayLive_[2] = {};         // the stream sends the kept round (since its last reset)
  size_t replayNext_[2] = {};
  std::vector<std::shared_ptr<const std::vector<ULONG>>> replayPreview_;
  std::vector<std::shared_ptr<const std::vector<ULONG>>> replayFields_;  // two a position
  // Producers.
  bool producersEnabled_ = true;
  bool producing_ = false;
  ULONG producerEpoch_ = 0;
  ULONGLONG audioSamples_ = 0;
  LONGLONG producerStart_ = 0;              // machine time the producers started
  ULONGLONG framesDue_ = 0, audioDue_ = 0;  // ticks scheduled since then
  H264Model h264_[2];
  bool recordAccessUnits_ = false;
  std::vector<std::vector<uint8_t>> accessUnits_[2];
  // Firmware.
  std::vector<ULONG> image_;
  std::vector<ULONG> chunkLengths_;
  LONGLONG chunkDelay_ = 0;
  bool chunkFault_ = false;  // a chunk of this download broke the loader's rule
  ULONG dropChunkFrom_ = 0xFFFFFFFFu;
  bool acceptAny_ = false;
  size_t corruptWord_ = SIZE_MAX;
  // Receiver.
  InputFormat format_ = InputFormat::kNone;
  bool receiverPresent_ = true;
  std::vector<USHORT> receiverRegs_ = std::vector<USHORT>(4096, 0);
  std::vector<std::string> receiverLog_;
  bool cs_ = true, clk_ = false, din_ = true;
  bool inTransfer_ = false;
  int bit_ = 0;
  ULONG commandWord_ = 0, dataWord_ = 0;
};

}  // namespace platform::board
