#include "platform/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/runtime.h"
#include "platform/seams.h"
#include "platform/trace.h"

namespace {

// Each block is preceded by a header that records its size, so that the
// whole block can be wiped when it is released.
struct alignas(16) BlockHeader {
  uint64_t size;
  uint64_t magic;
};

constexpr uint64_t kBlockMagic = 0x4F52564D454D4F52ull;  // "ORVMEMOR"

std::atomic<int64_t> blocksOutstanding{0};

const char* programName = nullptr;

// Saved and used by the same thread, just before its failure record.
struct FileContext {
  const char* sourceName = "";
  int32_t line = 0;
};
thread_local FileContext savedContext;

}  // namespace

int32_t svcGetMem(int32_t, int32_t, int32_t probe, uint64_t size, int32_t, void** blockOut) {
  if (blockOut == nullptr) return kMemoryNoMemory;
  *blockOut = nullptr;
  int32_t injected = 0;
  if (seamFailsCall(kFaultAlloc, probe, &injected)) return kMemoryNoMemory;
  if (size > SIZE_MAX - sizeof(BlockHeader) - 1) return kMemoryNoMemory;
  void* raw = std::malloc(static_cast<size_t>(size) + sizeof(BlockHeader));
  if (raw == nullptr) return kMemoryNoMemory;
  BlockHeader* header = static_cast<BlockHeader*>(raw);
  header->size = size;
  header->magic = kBlockMagic;
  ++blocksOutstanding;
  *blockOut = header + 1;
  return 0;
}

int32_t svcFreeMem(int32_t, int32_t, int32_t, void* block) {
  if (block == nullptr) return 0;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  if (header->magic != kBlockMagic) {
    // Not one of ours (or released twice): refuse rather than corrupt the heap.
    std::fputs("orvseal: internal error: release of a block the services did not give\n",
               stderr);
    std::abort();
  }
  size_t size = static_cast<size_t>(header->size);
  osSecureWipe(header, size + sizeof(BlockHeader));
  std::free(header);
  --blocksOutstanding;
  return 0;
}

int64_t memoryBlocksOutstanding() { return blocksOutstanding; }

void* obtainOrRecord(int32_t probe, uint64_t size, const char* sourceName, int32_t line,
                     int32_t recordProbe) {
  void* block = nullptr;
  if (svcGetMem(0, kMemoryComponent, probe, size, 0, &block) != 0 || block == nullptr) {
    svcSaveFileContext(sourceName, line);
    svcRecordFailure(recordProbe, kMemoryNoMemory, 0, 0, 0, 0);
    return nullptr;
  }
  return block;
}

void svcSaveFileContext(const char* sourceName, int32_t line) {
  savedContext.sourceName = sourceName != nullptr ? sourceName : "";
  savedContext.line = line;
}

void svcRecordFailure(int32_t probe, int32_t reason, uint16_t, int32_t, int32_t, int32_t) {
  if (platformSeams.failureRecorded != nullptr) {
    platformSeams.failureRecorded(savedContext.sourceName, savedContext.line, probe, reason);
  }
  char text[256];
  std::snprintf(text, sizeof text, "probe %d reason %d at %s:%d", probe, reason,
                savedContext.sourceName, savedContext.line);
  traceServiceRecord("FAILURE", text);
  // A library's caller owns the console: only a program of ours writes there.
  const char* program = svcProgramName();
  if (program != nullptr && !platformSeams.consoleQuiet) {
    std::fprintf(stderr, "%s: failure record: %s\n", program, text);
  }
}

void svcSetProgramName(const char* name) { programName = name; }

const char* svcProgramName() { return programName; }
