#ifndef ORV_PLATFORM_PROGRAM_H_
#define ORV_PLATFORM_PROGRAM_H_

#include <cstdint>

// Program start and end of the common services.

// A memory sub-pool handle: a 64-bit word followed by a 32-bit word, 12 bytes.
#pragma pack(push, 4)
struct SubpoolHandle {
  uint64_t pool;
  uint32_t tag;
};
#pragma pack(pop)

static_assert(sizeof(SubpoolHandle) == 12, "SubpoolHandle layout");

// The default sub-pool handle that the services export.
extern const SubpoolHandle svcMiniSubpool;

// The services' own version.
constexpr const char* kServicesVersion = "9.3.1.0";

// svcInitialize's first two arguments: the services level this program was
// built for and the set of services it uses (messages 1, memory 2, trace 4).
constexpr int32_t kServicesLevel = 48;
constexpr int32_t kServicesWanted = 7;

// Codes of svcInitialize.
constexpr int32_t kInitNoMemory = 0x20006037;
constexpr int32_t kInitBadLevel = 0x20008066;
constexpr int32_t kInitBadArguments = 0x20008067;
constexpr int32_t kAnchorStatusUnavailable = 0x20806301;

// 0 exactly when `version` equals the services' own version.
int32_t svcCheckConsistency(const char* version);

// Prepares the calling thread's trace block and, when VKT_TRACE names a file,
// switches tracing on. argc and argv are kept for the trace's start record.
// 0, or kProgramBadEnvironment (shown: ORV911AE) when VKT_TRACE holds no
// valid text, which names no file and is not taken for unset either.
constexpr int32_t kProgramBadEnvironment = 24;
int32_t svcProgramInit(int32_t argc, char** argv, int32_t reserved);

// Checks the level and service set and fills *subpool from svcMiniSubpool.
// 0, or one of the codes above.
int32_t svcInitialize(int32_t level, int32_t services, int32_t zero1, int32_t zero2,
                      void* null1, void* null2, void* null3, SubpoolHandle* subpool);

// One line on standard output with the program's name, the version and
// "Copyright".
void svcDisplayCopyright();

// The same line on standard error, for a run whose standard output is data
// for scripts.
void svcDisplayCopyrightOnStderr();

// Ends the program's use of the services: wipes and releases the initial
// keys the PBE service still holds and closes the trace file.
int32_t svcProgramTerm(int32_t reserved);

#endif  // ORV_PLATFORM_PROGRAM_H_
