#ifndef ORV_CMD_SHELL_OPTIONS_H_
#define ORV_CMD_SHELL_OPTIONS_H_

#include <cstddef>
#include <climits>
#include <cstdint>
#include <vector>

// The command-line reader of both commands. An option is a '-' and a name.
// orvseal's options are recognised by the name's letters in any case with
// whatever follows them ignored (-f, -F and -file name the option "f"; -SP
// and -spx name "sp"); an option marked `exact` only by its spelling.

// One option a command accepts: a text, a number, or a switch.
struct OptionRule {
  const char* name;              // without the '-': "f", "sf"
  const char** text = nullptr;   // receives the value, which must not begin with '-'
  int32_t* number = nullptr;     // receives an optionally signed decimal number
  int32_t lowest = INT32_MIN;    // a number outside lowest..highest is at fault
  int32_t highest = INT32_MAX;
  bool exact = false;            // recognised by its exact spelling alone
  bool* flag = nullptr;          // a switch: set, and no value follows
  std::vector<const char*>* all = nullptr;  // every value given, in order (with text)
};

// Reads argv[first] .. argv[argc - 1]: options with their values and, when
// `operands` is non-null, any number of operands (arguments that do not
// begin with '-'). An empty argument ends what is read; the rest is ignored.
// A number beyond the 32-bit range is clamped to INT32_MIN or INT32_MAX, so
// it can never come out as a small valid value. Returns 0, or the index of
// the argument at fault (an unknown option, a missing or invalid value, an
// operand that is not allowed). Fields read before a fault keep their values.
int32_t readOptions(int32_t argc, const char* const* argv, int32_t first, const OptionRule* rules,
                    size_t ruleCount, std::vector<const char*>* operands);

#endif  // ORV_CMD_SHELL_OPTIONS_H_
