#ifndef ORV_PLATFORM_TRACE_H_
#define ORV_PLATFORM_TRACE_H_

#include <cstdint>

// Trace facility of the common services.
//
// Every traced function keeps a history and a function stack in the thread
// block, whether or not tracing is on; entry, exit and text records reach the
// trace file only while tracing is active. Tracing is switched on by
// svcProgramInit when the environment variable VKT_TRACE names a file.

#if defined(__GNUC__)
#define ORV_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ORV_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

constexpr int32_t kTraceComponent = 16;
constexpr uint32_t kTraceEntryMark = 0xF0000000u;
constexpr uint32_t kTraceTextOptionBits = 0xC0000u;
constexpr int32_t kTraceStackCapacity = 64;
constexpr uint32_t kTraceHistoryCapacity = 64;  // the history is a ring

// Process-wide trace switches and the services' status word.
struct ProcessAnchor {
  int32_t traceOn;
  int32_t traceSecond;
  int32_t traceGlobal;
  int32_t status;
};

// Per-thread trace state: each thread has its own (thread_local), from
// traceAttachThread on.
struct ThreadBlock {
  int32_t tracingActive;
  int32_t depth;  // function stack depth; may exceed the capacity
  uint32_t functionStack[kTraceStackCapacity];
  uint32_t historyIndex;  // next history slot, modulo the capacity
  uint32_t history[kTraceHistoryCapacity];
  int32_t traceWord;
  uint32_t traceOptions;
  uint32_t tracePoint;  // function number * 65536 + component
  int32_t detail;
};

extern ProcessAnchor svcProcessAnchor;

// The calling thread's block, or null before svcProgramInit.
ThreadBlock* svcThreadBlock();

// Trace records. trcText formats with the thread block's trace point and
// detail word; callers use ORV_TRACE_TEXT, which applies the gating rules.
void trcEntry(ThreadBlock* block, int32_t component, int32_t functionNumber);
void trcExit(ThreadBlock* block, int32_t component, int32_t functionNumber, int32_t result);
void trcText(const char* format, ...) ORV_PRINTF_FORMAT(1, 2);

// The entry and exit halves of the convention: history, function stack and,
// while tracing is active, the entry or exit record.
void traceEnter(int32_t functionNumber);
void traceLeave(int32_t functionNumber, int32_t result);

// True when a trace text would be written now: the anchor's on word and its
// second or global word are set, the thread block exists, and either the
// thread's trace word is set with one of the text option bits or the global
// word is set.
bool traceTextEnabled();

// Sets the thread block's trace point and detail word ahead of a trace text.
void traceSetPoint(int32_t functionNumber, int32_t detail);

#define ORV_TRACE_TEXT(functionNumber, detail, ...)  \
  do {                                              \
    if (traceTextEnabled()) {                       \
      traceSetPoint((functionNumber), (detail));    \
      trcText(__VA_ARGS__);                         \
    }                                               \
  } while (0)

// Traces the system's text for error number `error`: "<where>errno '<n>':
// <text>", or "<where>strerror_r failed <code>" when there is no text.
// `where` ("" for nothing) names the site.
void traceErrorNumber(int32_t functionNumber, int32_t detail, const char* where, int32_t error);

// Writes the entry half on construction and the exit half, with the result
// given to result(), on destruction: `return scope.result(rc);`.
class TraceScope {
 public:
  explicit TraceScope(int32_t functionNumber) : functionNumber_(functionNumber) {
    traceEnter(functionNumber_);
  }
  ~TraceScope() { traceLeave(functionNumber_, result_); }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

  int32_t result(int32_t rc) {
    result_ = rc;
    return rc;
  }

 private:
  int32_t functionNumber_;
  int32_t result_ = 0;
};

// Opens the trace file and switches tracing on (path non-null), or switches
// it off and closes the file (path null). svcProgramInit calls it with the
// value of VKT_TRACE; tests call it directly. Returns 0, or errno when the
// file cannot be opened (tracing then stays off).
int32_t traceStart(const char* path);
void traceStop();

// Writes a record of the services themselves (a message shown, a failure
// record) while the trace file is open.
void traceServiceRecord(const char* kind, const char* text);

// Gives the calling thread its block if it has none (svcProgramInit does
// this for the main thread); never null.
ThreadBlock* traceAttachThread();

#endif  // ORV_PLATFORM_TRACE_H_
