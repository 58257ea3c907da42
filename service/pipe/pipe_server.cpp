#include "service/pipe/pipe_server.h"
#include "common/reason.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "service/log/log_budget.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/pipe/give_way_rules.h"
#include "service/pipe/pipe_deadline.h"
#include "service/trust/caller.h"
#include "service/trust/caller_check.h"
#include "service/trust/trust.h"

namespace varnelo {

// Authenticated users and SYSTEM full access, anonymous denied, below-medium integrity cannot
// write.
const wchar_t kPipeSddl[] = L"D:(A;;GA;;;AU)(A;;GA;;;SY)(D;;GA;;;AN)S:(ML;;NW;;;ME)";

namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX;
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE | PIPE_WAIT;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kCreateRetryDelayMs = 1000;
constexpr DWORD kConnectRetryDelayMs = 100;
constexpr DWORD kStopCancelIntervalMs = 10;
// How long one client may take to deliver its request, and to take its answer (the write, then
// the flush). Past that the connection is dropped without an answer; it holds only its own
// instance meanwhile.
constexpr DWORD kRequestTimeoutMs = 3000;
constexpr DWORD kAnswerTimeoutMs = 3000;
// How long a complete request waits for its caller's verdict.
constexpr DWORD kCheckTimeoutMs = 3000;
// Caller checks running at once, those whose connection has given up on them included.
constexpr LONG kMaxCallerChecks = 2 * static_cast<LONG>(kPipeInstances);
// How often the counts of unauthenticated lines left out are looked at, to be written once
// their window has ended.
constexpr DWORD kLeftOutReportIntervalMs = 5000;
// The budget kind of connections dropped before their caller was known to be trusted.
constexpr char kDroppedKind[] = "dropped before being trusted";

bool IsStopRequested(HANDLE stop_event) {
  return ::WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0;
}

SecurityDescriptor BuildPipeSD() {
  SecurityDescriptor sd = SecurityDescriptor::FromSddl(kPipeSddl);
  if (!sd) ServiceLog("BuildPipeSD failed err=%lu", sd.error());
  return sd;
}

// `first`: this process holds no instance yet, so none may exist (another process squatting the
// name makes the creation fail). The instance limit is the service's own count, so once the first
// instance is made nobody can add one beside the service's.
UniqueHandle CreatePipeInstance(const SecurityDescriptor& sd, bool first) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), FALSE};
  const DWORD open_mode = kPipeOpenMode | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return UniqueHandle(::CreateNamedPipeW(kPipeName, open_mode, kPipeMode,
                                         static_cast<DWORD>(kPipeInstances), kPipeBufferSize,
                                         kPipeBufferSize, 0, sd ? &sa : nullptr));
}

enum class ReadResult { kComplete, kTooLarge, kGone, kTimedOut };

// Reads until the request is complete. `incomplete` runs after each read that left it incomplete.
template <typename Incomplete>
ReadResult ReadRequest(HANDLE pipe, const PipeDeadline& deadline, char* buffer, size_t* received,
                       Incomplete incomplete) {
  for (;;) {
    DWORD got = 0;
    if (deadline.expired() ||
        !::ReadFile(pipe, buffer + *received, static_cast<DWORD>(kRequestBufferSize - *received),
                    &got, nullptr) ||
        got == 0) {
      return deadline.expired() ? ReadResult::kTimedOut : ReadResult::kGone;
    }
    *received += got;
    const FrameState state = CheckFrame(buffer, *received);
    if (state == FrameState::kComplete) return ReadResult::kComplete;
    if (state == FrameState::kTooLarge) return ReadResult::kTooLarge;
    incomplete();
  }
}

// What a connection is doing: only a connection waiting on its client or on its caller's verdict
// may give way to another.
enum class Stage { kListening, kRequest, kCheck, kCommand, kAnswer };

const char* StageName(Stage stage) {
  return stage == Stage::kAnswer ? "answer" : stage == Stage::kCheck ? "check" : "request";
}

DWORD LimitOf(Stage stage) {
  return stage == Stage::kAnswer  ? kAnswerTimeoutMs
         : stage == Stage::kCheck ? kCheckTimeoutMs
                                  : kRequestTimeoutMs;
}

// The caller's verdict as the command sees it.
struct Judgement {
  enum Outcome { kTrusted, kRefused, kDropped } outcome;
  std::string reason;
};

// One pipe instance and the connection on it, served by a thread of its own.
struct Slot {
  UniqueHandle pipe;
  UniqueHandle thread;
  UniqueHandle give_way;  // set when the connection must make room for another
  // Guarded by PipeServer::lock_.
  Stage stage = Stage::kListening;
  ULONGLONG waiting_since = 0;
  bool gave_way = false;
  PipeDeadline* deadline = nullptr;
  std::shared_ptr<CallerCheck> check;
  std::wstring user;          // the caller's account
  std::wstring native_image;  // the caller's image, native path
};

bool IsKnownTrusted(const Slot& slot) {
  return slot.check && slot.check->verdict() == CallerCheck::Verdict::kTrusted;
}

// Where a connection stands for giving way (give_way_rules.h). Until its caller is known to be
// trusted, a connection from an image whose callers were refused lately counts as refused.
GiveWayRank RankOf(const Slot& slot, const CallerChecks& checks) {
  const CallerCheck::Verdict verdict =
      slot.check ? slot.check->verdict() : CallerCheck::Verdict::kPending;
  if (verdict == CallerCheck::Verdict::kTrusted) return GiveWayRank::kTrusted;
  if (verdict == CallerCheck::Verdict::kRefused || checks.PathRefusedLately(slot.native_image)) {
    return GiveWayRank::kRefused;
  }
  return slot.check ? GiveWayRank::kBeingJudged : GiveWayRank::kUnjudged;
}

class PipeServer {
 public:
  PipeServer(HANDLE stop_event, RequestAnswer answer)
      : stop_event_(stop_event),
        answer_(std::move(answer)),
        checks_(std::make_shared<CallerChecks>(kMaxCallerChecks)) {}
  void Run();

 private:
  struct ConnectionStart {
    PipeServer* server;
    Slot* slot;
  };
  static DWORD WINAPI ConnectionThread(void* start);

  bool CreateInstances();
  void StartConnections();
  void ServeConnections(Slot* slot);
  void Serve(Slot* slot, const std::shared_ptr<const Caller>& caller);
  void StartCheckAtOnce(Slot* slot, const std::shared_ptr<const Caller>& caller);
  bool WaitWhileConnected(Slot* slot, HANDLE object, ULONGLONG deadline);
  Judgement Judge(Slot* slot, const std::shared_ptr<const Caller>& caller);
  void AnswerJudged(Reply& reply, const Caller& caller, const RequestMap& request,
                    const std::string& cmd, const Judgement& judgement);
  void Answer(Slot* slot, const Caller& caller, const Reply& reply);
  void LetGoOfConnections();

  // A stage with a time limit on the client, during which the connection may have to give way.
  class ClientWait {
   public:
    ClientWait(PipeServer* server, Slot* slot, Stage stage, DWORD limit_ms);
    ~ClientWait();
    ClientWait(const ClientWait&) = delete;
    ClientWait& operator=(const ClientWait&) = delete;
    const PipeDeadline& deadline() const { return deadline_; }

   private:
    PipeServer* server_;
    Slot* slot_;
    PipeDeadline deadline_;
  };

  bool EnterStage(Slot* slot, Stage stage);
  void MakeRoomFor(const Slot* newcomer);
  void LogDropped(const Slot* slot, const Caller& caller, Stage stage);
  template <typename WriteLines>
  void LogUnauthenticated(const std::string& kind, WriteLines write_lines);
  void ReportLeftOut(const std::vector<UnauthenticatedLogBudget::LeftOut>& ended);

  HANDLE stop_event_;
  SecurityDescriptor sd_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex lock_;
  const RequestAnswer answer_;
  const std::shared_ptr<CallerChecks> checks_;
  // The log lines of callers nobody has authenticated, within their budget.
  std::mutex budget_lock_;
  UnauthenticatedLogBudget budget_;
};

PipeServer::ClientWait::ClientWait(PipeServer* server, Slot* slot, Stage stage, DWORD limit_ms)
    : server_(server), slot_(slot), deadline_(slot->pipe.get(), limit_ms) {
  const std::lock_guard<std::mutex> lock(server_->lock_);
  slot_->stage = stage;
  slot_->waiting_since = ::GetTickCount64();
  slot_->deadline = &deadline_;
  if (slot_->gave_way) deadline_.Expire();
}

PipeServer::ClientWait::~ClientWait() {
  {
    const std::lock_guard<std::mutex> lock(server_->lock_);
    slot_->deadline = nullptr;
  }
  deadline_.Stop();
}

// False, and the stage unchanged, when the connection has already given way: nothing more is
// done for it, and no command runs.
bool PipeServer::EnterStage(Slot* slot, Stage stage) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (stage == Stage::kListening) {
    slot->gave_way = false;
    slot->check.reset();
    slot->user.clear();
    slot->native_image.clear();
    ::ResetEvent(slot->give_way.get());
  } else if (slot->gave_way) {
    return false;
  }
  slot->stage = stage;
  slot->waiting_since = ::GetTickCount64();
  return true;
}

// Called as a connection is made: when no instance is left listening, a connection that waits
// (on its client, or on its caller's verdict) gives way, so the next client finds an instance
// (give_way_rules.h). A connection whose command runs is never cut off.
void PipeServer::MakeRoomFor(const Slot* newcomer) {
  const std::lock_guard<std::mutex> lock(lock_);
  std::vector<InstanceState> instances;
  size_t newcomer_at = 0;
  for (const std::unique_ptr<Slot>& slot : slots_) {
    if (slot.get() == newcomer) newcomer_at = instances.size();
    InstanceState state;
    state.listening = slot->stage == Stage::kListening;
    state.waiting = slot->stage == Stage::kRequest || slot->stage == Stage::kCheck ||
                    slot->stage == Stage::kAnswer;
    state.gave_way = slot->gave_way;
    state.rank = RankOf(*slot, *checks_);
    state.waiting_since = slot->waiting_since;
    state.user = slot->user;
    instances.push_back(std::move(state));
  }
  const int chosen = ChooseGiveWay(instances, newcomer_at);
  if (chosen < 0) return;
  Slot& slot = *slots_[static_cast<size_t>(chosen)];
  slot.gave_way = true;
  if (slot.deadline != nullptr) slot.deadline->Expire();
  ::SetEvent(slot.give_way.get());
}

void PipeServer::ReportLeftOut(const std::vector<UnauthenticatedLogBudget::LeftOut>& ended) {
  for (const UnauthenticatedLogBudget::LeftOut& left_out : ended) {
    ServiceLog(
        "HandleConnection WARNING: lines of %llu unauthenticated connections left out "
        "(at most %u per %llu s): %s",
        static_cast<unsigned long long>(left_out.count), kUnauthenticatedEventsPerWindow,
        static_cast<unsigned long long>(kUnauthenticatedWindowMs / 1000), left_out.kind.c_str());
  }
}

// The lines of an event of `kind` from a caller nobody has authenticated, within its budget.
template <typename WriteLines>
void PipeServer::LogUnauthenticated(const std::string& kind, WriteLines write_lines) {
  std::vector<UnauthenticatedLogBudget::LeftOut> ended;
  bool admitted = false;
  {
    const std::lock_guard<std::mutex> lock(budget_lock_);
    admitted = budget_.Admit(kind, ::GetTickCount64(), &ended);
  }
  ReportLeftOut(ended);
  if (admitted) write_lines();
}

// A connection known to be trusted is always logged; anyone else's within the budget.
void PipeServer::LogDropped(const Slot* slot, const Caller& caller, Stage stage) {
  bool gave_way = false, trusted = false;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    gave_way = slot->gave_way;
    trusted = IsKnownTrusted(*slot);
  }
  const auto write_lines = [&] {
    if (gave_way) {
      ServiceLog("HandleConnection: dropped pid=%lu stage=%s to make room, every instance busy",
                 caller.pid(), StageName(stage));
    } else {
      ServiceLog("HandleConnection: timeout pid=%lu stage=%s limit_ms=%lu", caller.pid(),
                 StageName(stage), LimitOf(stage));
    }
  };
  if (trusted) {
    write_lines();
  } else {
    LogUnauthenticated(kDroppedKind, write_lines);
  }
}

// Writes the answer and waits for the client to take it, within the answer's limit.
void PipeServer::Answer(Slot* slot, const Caller& caller, const Reply& reply) {
  const std::string& text = reply.text();
  const ClientWait wait(this, slot, Stage::kAnswer, kAnswerTimeoutMs);
  DWORD written = 0;
  if (!wait.deadline().expired()) {
    ::WriteFile(slot->pipe.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  // Returns once the client has read the answer, has gone, or has had its time.
  if (!wait.deadline().expired()) ::FlushFileBuffers(slot->pipe.get());
  if (wait.deadline().expired() && !IsStopRequested(stop_event_)) {
    LogDropped(slot, caller, Stage::kAnswer);
  }
}

// A client that sends its request in pieces has its caller judged while it sends the rest, so by
// the time its connection might have to give way it is known whether it is trusted. Only when a
// check can start at once; otherwise the verdict is asked for once the request is complete.
void PipeServer::StartCheckAtOnce(Slot* slot, const std::shared_ptr<const Caller>& caller) {
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (slot->check) return;
  }
  if (::WaitForSingleObject(checks_->available(), 0) != WAIT_OBJECT_0) return;
  std::shared_ptr<CallerCheck> check = CallerCheck::Start(caller, checks_);
  const std::lock_guard<std::mutex> lock(lock_);
  slot->check = std::move(check);
}

// Waits until `object` is signalled (true), or until the stop, the connection's call to give way
// or `deadline` (a GetTickCount64 value) comes first (false).
bool PipeServer::WaitWhileConnected(Slot* slot, HANDLE object, ULONGLONG deadline) {
  const ULONGLONG now = ::GetTickCount64();
  const HANDLE handles[] = {object, stop_event_, slot->give_way.get()};
  const DWORD timeout_ms = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  return ::WaitForMultipleObjects(3, handles, FALSE, timeout_ms) == WAIT_OBJECT_0;
}

// The verdict on the caller of a complete request, waited for within the check's limit. A check
// still running holds no door: the connection may give way meanwhile, and the stop does not wait.
Judgement PipeServer::Judge(Slot* slot, const std::shared_ptr<const Caller>& caller) {
  if (!EnterStage(slot, Stage::kCheck)) return {Judgement::kDropped, std::string()};
  const ULONGLONG deadline = ::GetTickCount64() + kCheckTimeoutMs;
  std::shared_ptr<CallerCheck> check;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    check = slot->check;
  }
  if (!check) {
    if (!WaitWhileConnected(slot, checks_->available(), deadline)) {
      return {Judgement::kDropped, std::string()};
    }
    check = CallerCheck::Start(caller, checks_);
    const std::lock_guard<std::mutex> lock(lock_);
    slot->check = check;
  }
  if (check->verdict() == CallerCheck::Verdict::kPending &&
      !WaitWhileConnected(slot, check->done(), deadline)) {
    return {Judgement::kDropped, std::string()};
  }
  if (check->verdict() != CallerCheck::Verdict::kTrusted) {
    return {Judgement::kRefused, check->reason()};
  }
  // Judged perhaps while the request was still coming: the process that opened the connection
  // must still be there now that the request is complete.
  Reason reason;
  if (!IsCallerStillConnected(*caller, &reason)) return {Judgement::kRefused, reason.c_str()};
  return {Judgement::kTrusted, std::string()};
}

// The "conn" line of a judged request, then the refusal of an untrusted caller, or the answer.
void PipeServer::AnswerJudged(Reply& reply, const Caller& caller, const RequestMap& request,
                              const std::string& cmd, const Judgement& judgement) {
  const std::string logged = LoggedCommand(cmd);
  if (judgement.outcome != Judgement::kTrusted) {
    LogUnauthenticated(judgement.reason, [&] {
      ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());
      ServiceLog("rejected pid=%lu: %s", caller.pid(), judgement.reason.c_str());
    });
    WriteErrorResponse(reply, kErrUnauthorizedCaller, kCodeUnauthorizedCaller);
    return;
  }
  ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());
  answer_(reply, caller, request, cmd);
}

void PipeServer::Serve(Slot* slot, const std::shared_ptr<const Caller>& caller) {
  char buffer[kRequestBufferSize];
  size_t received = 0;
  ReadResult result;
  {
    const ClientWait wait(this, slot, Stage::kRequest, kRequestTimeoutMs);
    result = ReadRequest(slot->pipe.get(), wait.deadline(), buffer, &received,
                         [&] { StartCheckAtOnce(slot, caller); });
  }
  if (IsStopRequested(stop_event_)) return;
  Reply reply;
  switch (result) {
    case ReadResult::kGone:
      return;  // the client went away before finishing its request
    case ReadResult::kTimedOut:
      LogDropped(slot, *caller, Stage::kRequest);
      return;
    case ReadResult::kTooLarge:
      WriteErrorResponse(reply, kErrRequestTooLarge, kCodeRequestTooLarge);
      break;
    case ReadResult::kComplete: {
      const RequestMap request = ParseRequest(buffer, received);
      const auto cmd = request.find("cmd");
      if (cmd == request.end()) {
        WriteErrorResponse(reply, kErrMissingCmd, kCodeMissingCmd);  // nobody is checked for it
        break;
      }
      const Judgement judgement = Judge(slot, caller);
      if (IsStopRequested(stop_event_)) return;
      // A connection that has given way runs no command, even one already judged.
      if (judgement.outcome == Judgement::kDropped || !EnterStage(slot, Stage::kCommand)) {
        LogDropped(slot, *caller, Stage::kCheck);
        return;
      }
      AnswerJudged(reply, *caller, request, cmd->second, judgement);
      break;
    }
  }
  if (IsStopRequested(stop_event_) || !reply.given()) return;
  Answer(slot, *caller, reply);
}

// One instance's life: listen, take hold of the caller as it connects, serve it, listen again.
// The instance is kept across connections, so the pipe's name is never free while the service
// runs.
void PipeServer::ServeConnections(Slot* slot) {
  const HANDLE pipe = slot->pipe.get();
  while (!IsStopRequested(stop_event_)) {
    EnterStage(slot, Stage::kListening);
    const bool connected =
        ::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    const DWORD connect_error = ::GetLastError();
    if (IsStopRequested(stop_event_)) break;
    if (connected) {
      // No longer listening from here on, so the others know to make room while this caller is
      // taken hold of.
      EnterStage(slot, Stage::kRequest);
      const std::shared_ptr<const Caller> caller =
          std::make_shared<const Caller>(Caller::AtConnection(pipe, PreciseSystemTime()));
      {
        const std::lock_guard<std::mutex> lock(lock_);
        slot->user = caller->user();
        slot->native_image = caller->native_image();
      }
      MakeRoomFor(slot);
      Serve(slot, caller);
    } else if (connect_error != ERROR_NO_DATA) {
      // ERROR_NO_DATA: a client came and went before the connection was taken up.
      ::WaitForSingleObject(stop_event_, kConnectRetryDelayMs);
    }
    ::DisconnectNamedPipe(pipe);
  }
}

DWORD WINAPI PipeServer::ConnectionThread(void* param) {
  const std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(param));
  start->server->ServeConnections(start->slot);
  return 0;
}

// The first instance must be the name's only one; until it can be made, that is retried every
// second. The others are made beside it.
bool PipeServer::CreateInstances() {
  UniqueHandle first;
  while (!first) {
    first = CreatePipeInstance(sd_, true);
    if (first) break;
    ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
    if (::WaitForSingleObject(stop_event_, kCreateRetryDelayMs) == WAIT_OBJECT_0) return false;
  }
  UniqueHandle pipe = std::move(first);
  while (pipe) {
    std::unique_ptr<Slot> slot(new Slot);
    slot->pipe = std::move(pipe);
    slot->give_way.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!slot->give_way) {
      ServiceLog("CreateEvent(give way) failed err=%lu", ::GetLastError());
      break;
    }
    slots_.push_back(std::move(slot));
    if (slots_.size() == kPipeInstances) break;
    pipe = CreatePipeInstance(sd_, false);
    if (!pipe) ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
  }
  return !slots_.empty();
}

void PipeServer::StartConnections() {
  for (std::unique_ptr<Slot>& slot : slots_) {
    std::unique_ptr<ConnectionStart> start(new ConnectionStart{this, slot.get()});
    slot->thread.reset(::CreateThread(nullptr, 0, ConnectionThread, start.get(), 0, nullptr));
    if (!slot->thread) {
      ServiceLog("CreateThread(pipe connection) failed err=%lu", ::GetLastError());
      continue;
    }
    static_cast<void>(start.release());  // the thread owns it now
  }
}

// Ends listening and every connection at once: their pipe calls are cancelled until each thread
// has returned (a call that starts just after one cancel is caught by the next). A connection
// waiting for its caller's verdict sees the stop event itself.
void PipeServer::LetGoOfConnections() {
  std::vector<HANDLE> threads;
  for (const std::unique_ptr<Slot>& slot : slots_) {
    if (slot->thread) threads.push_back(slot->thread.get());
  }
  if (threads.empty()) return;
  do {
    for (const std::unique_ptr<Slot>& slot : slots_) ::CancelIoEx(slot->pipe.get(), nullptr);
  } while (::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                    kStopCancelIntervalMs) == WAIT_TIMEOUT);
}

void PipeServer::Run() {
  sd_ = BuildPipeSD();
  ServiceLog("pipe server starting at %ls", kPipeName);
  if (!checks_->available()) {
    ServiceLog("CreateSemaphore(caller checks) failed err=%lu", ::GetLastError());
  }
  if (!IsStopRequested(stop_event_) && CreateInstances()) {
    StartConnections();
    while (::WaitForSingleObject(stop_event_, kLeftOutReportIntervalMs) == WAIT_TIMEOUT) {
      const std::lock_guard<std::mutex> lock(budget_lock_);
      ReportLeftOut(budget_.TakeEnded(::GetTickCount64(), false));
    }
    LetGoOfConnections();
  }
  {
    const std::lock_guard<std::mutex> lock(budget_lock_);
    ReportLeftOut(budget_.TakeEnded(::GetTickCount64(), true));
  }
  ServiceLog("pipe server exiting");
}

}  // namespace

DWORD WINAPI PipeServerThread(void* param) {
  const std::unique_ptr<PipeServerArgs> args(static_cast<PipeServerArgs*>(param));
  PipeServer server(args->stop_event.get(), std::move(args->answer));
  server.Run();
  return 0;
}

}  // namespace varnelo
