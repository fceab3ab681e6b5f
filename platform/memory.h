#ifndef ORV_PLATFORM_MEMORY_H_
#define ORV_PLATFORM_MEMORY_H_

#include <cstddef>
#include <cstdint>

// Memory of the common services. Blocks are wiped when released, so a
// released buffer never keeps a credential.

constexpr int32_t kMemoryComponent = 16;
constexpr int32_t kMemoryNoMemory = 2071;  // also the reason of a failure record

// Stores a new block of `size` bytes in *blockOut (null on failure) and
// returns 0, or kMemoryNoMemory. `probe` names the allocating site.
int32_t svcGetMem(int32_t zero1, int32_t component, int32_t probe, uint64_t size,
                  int32_t zero2, void** blockOut);

// Wipes and releases a block of svcGetMem; a null block is ignored.
int32_t svcFreeMem(int32_t zero1, int32_t component, int32_t zero2, void* block);

// The failure record: svcSaveFileContext names the failing site, then
// svcRecordFailure writes the record (while tracing, one line in the trace
// file; in a program that named itself with svcSetProgramName, one on
// standard error as well).
void svcSaveFileContext(const char* sourceName, int32_t line);
void svcRecordFailure(int32_t probe, int32_t reason, uint16_t zero1, int32_t zero2,
                      int32_t zero3, int32_t zero4);

// Names the program that runs, for its copyright line and its failure
// records; a process that names none (a program that links the orvcred
// library) gets no line of the services on its console.
void svcSetProgramName(const char* name);

// The name set by svcSetProgramName, or null.
const char* svcProgramName();

// The probe of the failure record of a block that could not be had.
constexpr int32_t kMemoryFailureProbe = 250;

// svcGetMem, and when no block results, the failure record of
// `sourceName`:`line` under `recordProbe`. The new block, or null.
void* obtainOrRecord(int32_t probe, uint64_t size, const char* sourceName, int32_t line,
                     int32_t recordProbe = kMemoryFailureProbe);

// Blocks obtained and not yet released, for leak checks.
int64_t memoryBlocksOutstanding();

#endif  // ORV_PLATFORM_MEMORY_H_
