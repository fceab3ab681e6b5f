#include "lib/orv/config_syntax.h"

#include <cstring>

#include "platform/messages.h"

size_t byteOrderMarkLength(const char* text, size_t length) {
  return length >= kByteOrderMarkLength &&
                 std::memcmp(text, kByteOrderMark, kByteOrderMarkLength) == 0
             ? kByteOrderMarkLength
             : 0;
}

const char* configValueEnd(const char* value, const char* end) {
  const char* cursor = value;
  for (; cursor < end; ++cursor) {
    if (*cursor == '#' && cursor > value && isConfigWhitespace(cursor[-1])) break;
  }
  while (cursor > value && isConfigWhitespace(cursor[-1])) --cursor;
  return cursor;
}

TextCheck checkConfigText(const char* data, size_t length, bool atFileStart) {
  TextCheck check;
  if (atFileStart && length >= 2) {
    const unsigned char first = static_cast<unsigned char>(data[0]);
    const unsigned char second = static_cast<unsigned char>(data[1]);
    if ((first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF) || first == 0 ||
        second == 0) {
      check.problem = TextProblem::kUtf16;
      check.line = 1;
      return check;
    }
  }
  // memchr finds the rare bytes fast; lines are counted only for a problem.
  const char* end = data + length;
  const char* nul = static_cast<const char*>(std::memchr(data, '\0', length));
  const char* problemEnd = nul != nullptr ? nul : end;
  const char* lone = nullptr;
  for (const char* cr = data; cr < problemEnd; ++cr) {
    cr = static_cast<const char*>(std::memchr(cr, '\r', static_cast<size_t>(problemEnd - cr)));
    if (cr == nullptr) break;
    if (cr + 1 == end || cr[1] != '\n') {
      lone = cr;
      break;
    }
  }
  const char* at = lone != nullptr ? lone : nul;
  if (at == nullptr) return check;
  check.problem = at == lone ? TextProblem::kLoneCarriageReturn : TextProblem::kNulByte;
  check.line = 1;
  for (const char* p = data; p < at; ++p) check.line += *p == '\n';
  return check;
}

uint32_t textProblemMessage(TextProblem problem) {
  return problem == TextProblem::kUtf16              ? kMsgUtf16
         : problem == TextProblem::kLoneCarriageReturn ? kMsgLoneCarriageReturn
                                                       : kMsgNotText;
}
