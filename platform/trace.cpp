#include "platform/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/runtime.h"

ProcessAnchor svcProcessAnchor = {0, 0, 0, 0};

namespace {

FILE* traceFile = nullptr;

// The calling thread's block lives as long as the thread; a thread has none
// until traceAttachThread.
thread_local ThreadBlock threadBlock;
thread_local bool threadBlockAttached = false;

struct FunctionName {
  int32_t number;
  const char* name;
};

// Every function number that a command or library traces, by name; one
// missing here shows as "function(n)" (tests/e2e/test_orvcred.py looks).
constexpr FunctionName kFunctionNames[] = {
    {154, "getStanzaParam"},     {157, "loadStanza"},        {162, "findConfigFilePath"},
    {163, "readConfigFile"},     {164, "parseConfigText"},   {368, "getKeyFileParam"},
    {370, "protectionRun"},      {371, "rewriteCredentialLine"}, {380, "orvcredMain"},
};

const char* functionName(int32_t number) {
  for (const FunctionName& entry : kFunctionNames) {
    if (entry.number == number) return entry.name;
  }
  return number == 0 ? "services" : "function";
}

uint32_t functionIdentifier(int32_t functionNumber) {
  return static_cast<uint32_t>(kTraceComponent) * 1024u + static_cast<uint32_t>(functionNumber);
}

// One trace line: time, process, function, record kind, then the detail.
// Control characters in the detail are escaped so a record stays one line.
void writeRecord(int32_t functionNumber, const char* kind, const char* detail) {
  if (traceFile == nullptr) return;
  char stamp[32];
  osTimestamp(stamp, sizeof stamp);
  std::fprintf(traceFile, "%s pid %lld %s(%d) %s", stamp, static_cast<long long>(osProcessId()),
               functionName(functionNumber), functionNumber, kind);
  if (detail != nullptr) {
    std::fputc(' ', traceFile);
    for (const char* p = detail; *p != '\0'; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (c == '\n') {
        std::fputs("\\n", traceFile);
      } else if (c == '\r') {
        std::fputs("\\r", traceFile);
      } else if (c < 0x20 || c == 0x7F) {
        std::fprintf(traceFile, "\\x%02X", c);
      } else {
        std::fputc(c, traceFile);
      }
    }
  }
  std::fputc('\n', traceFile);
  std::fflush(traceFile);
}

}  // namespace

ThreadBlock* svcThreadBlock() { return threadBlockAttached ? &threadBlock : nullptr; }

ThreadBlock* traceAttachThread() {
  threadBlockAttached = true;
  return &threadBlock;
}

int32_t traceStart(const char* path) {
  traceStop();
  if (path == nullptr) return 0;
  // Binary append: one "\n" per record on every platform.
  FILE* file = osOpenAppend(path);
  if (file == nullptr) return errno != 0 ? errno : EIO;
  traceFile = file;
  svcProcessAnchor.traceOn = 1;
  svcProcessAnchor.traceGlobal = 1;
  ThreadBlock* block = traceAttachThread();
  if (block != nullptr) {
    block->tracingActive = 1;
    block->traceWord = 1;
    block->traceOptions = kTraceTextOptionBits;
  }
  return 0;
}

void traceStop() {
  svcProcessAnchor.traceOn = 0;
  svcProcessAnchor.traceSecond = 0;
  svcProcessAnchor.traceGlobal = 0;
  ThreadBlock* block = svcThreadBlock();
  if (block != nullptr) {
    block->tracingActive = 0;
    block->traceWord = 0;
    block->traceOptions = 0;
  }
  if (traceFile != nullptr) {
    std::fclose(traceFile);
    traceFile = nullptr;
  }
}

void traceServiceRecord(const char* kind, const char* text) {
  writeRecord(0, kind, text);
}

void trcEntry(ThreadBlock* block, int32_t component, int32_t functionNumber) {
  if (block == nullptr || component != kTraceComponent) return;
  writeRecord(functionNumber, "ENTRY", nullptr);
}

void trcExit(ThreadBlock* block, int32_t component, int32_t functionNumber, int32_t result) {
  if (block == nullptr || component != kTraceComponent) return;
  char detail[32];
  std::snprintf(detail, sizeof detail, "rc=%d", result);
  writeRecord(functionNumber, "EXIT", detail);
}

void trcText(const char* format, ...) {
  ThreadBlock* block = svcThreadBlock();
  if (block == nullptr || format == nullptr) return;
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char kind[32];
  std::snprintf(kind, sizeof kind, "TEXT detail=%d", block->detail);
  writeRecord(static_cast<int32_t>(block->tracePoint >> 16), kind, text);
  // Trace texts may hold paths and messages, never secrets; still, keep no copy.
  osSecureWipe(text, sizeof text);
}

void traceEnter(int32_t functionNumber) {
  ThreadBlock* block = svcThreadBlock();
  if (block == nullptr) return;
  uint32_t mark = kTraceEntryMark | functionIdentifier(functionNumber);
  block->history[block->historyIndex % kTraceHistoryCapacity] = mark;
  ++block->historyIndex;
  if (block->depth >= 0 && block->depth < kTraceStackCapacity) {
    block->functionStack[block->depth] = mark;
  }
  ++block->depth;
  if (block->tracingActive != 0) trcEntry(block, kTraceComponent, functionNumber);
}

void traceLeave(int32_t functionNumber, int32_t result) {
  ThreadBlock* block = svcThreadBlock();
  if (block == nullptr) return;
  --block->depth;
  block->history[block->historyIndex % kTraceHistoryCapacity] =
      static_cast<uint32_t>(result) * 65536u + functionIdentifier(functionNumber);
  ++block->historyIndex;
  if (block->tracingActive != 0) trcExit(block, kTraceComponent, functionNumber, result);
}

bool traceTextEnabled() {
  if (svcProcessAnchor.traceOn == 0) return false;
  if (svcProcessAnchor.traceSecond == 0 && svcProcessAnchor.traceGlobal == 0) return false;
  ThreadBlock* block = svcThreadBlock();
  if (block == nullptr) return false;
  return (block->traceWord != 0 && (block->traceOptions & kTraceTextOptionBits) != 0) ||
         svcProcessAnchor.traceGlobal != 0;
}

void traceSetPoint(int32_t functionNumber, int32_t detail) {
  ThreadBlock* block = svcThreadBlock();
  if (block == nullptr) return;
  block->tracePoint =
      static_cast<uint32_t>(functionNumber) * 65536u + static_cast<uint32_t>(kTraceComponent);
  block->detail = detail;
}

void traceErrorNumber(int32_t functionNumber, int32_t detail, const char* where, int32_t error) {
  // The text is made whether or not tracing is on, so both paths behave alike.
  char errorText[1024] = {};
  int32_t rc = osStrerror(errorText, sizeof errorText, error);
  errorText[sizeof errorText - 1] = '\0';
  if (rc != 0) {
    ORV_TRACE_TEXT(functionNumber, detail, "%sstrerror_r failed %d", where, rc);
  } else {
    ORV_TRACE_TEXT(functionNumber, detail, "%serrno '%d': %s", where, error, errorText);
  }
}
